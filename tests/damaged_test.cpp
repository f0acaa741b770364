// A corpus of damaged archives, read by both readers with a bound: the
// bounded in-memory reader, and the block reader at several block sizes
// over a memory source. For each format a small valid archive is cut at
// every byte offset and damaged field by field. Every reading must end with
// the failure results of its interface and lose no entry that lies wholly
// before the damage. Images are exact-size heap blocks and the block
// reader's window is uninitialised heap memory, so that AddressSanitizer
// and valgrind (CI runs this test under memcheck) see a read outside the
// image or a decision taken on a byte that was never delivered.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "encoders.h"
#include "heap_bytes.h"
#include "memory_source.h"
#include "viredovozu.h"

using namespace testenc;

namespace {

const std::vector<Entry> sample = {file("a", "xyz"), file("dir/file.txt", "seventeen bytes!!"), file("empty", "")};
const uint32_t block_sizes[] = {64, 512, 4096};
constexpr uint64_t failed = ~uint64_t{0};

// Where each entry of an encoded archive lies.
struct Layout {
    std::vector<size_t> hdr, data_end;
    size_t trailer;  // the trailer's header
};

Layout layout(Fmt f, const std::vector<Entry> &entries) {
    Layout l;
    std::string so_far;
    for (const Entry &e : entries) {
        const std::string one = encode_entry(f, e);
        l.hdr.push_back(so_far.size());
        l.data_end.push_back(so_far.size() + cpio_find_ops_for_img__(one.data())->get_data_offs(one.data()) +
                             e.data.size());
        so_far += one;
    }
    l.trailer = so_far.size();
    return l;
}

struct MemReading {
    bool init;
    std::vector<std::string> names, data;
};

MemReading read_in_memory(const HeapBytes &image) {
    MemReading r{};
    cpioread_ctx ctx;
    r.init = cpioread_init_bounded(&ctx, image.get(), image.size()) == &ctx;
    if (!r.init) return r;
    cpio_simple_entity e;
    for (auto *p = cpioread_first(&ctx, &e); p != nullptr; p = cpioread_next(&ctx, &e)) {
        r.names.emplace_back(e.name);
        r.data.emplace_back(reinterpret_cast<const char *>(e.data), e.filesize);
    }
    EXPECT_EQ(r.names.size(), ctx.count);
    for (size_t i = 0; i < r.names.size(); ++i) {
        EXPECT_EQ(cpioread_find(&ctx, &e, r.names[i].c_str()), &e) << r.names[i];
    }
    return r;
}

struct ExReading {
    bool init;
    std::vector<std::string> names, data;
    std::vector<int32_t> data_results;
    uint64_t size;
};

void append(void *user, const void *data, uint32_t len) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), len);
}

// A walk, every entry's data, and the size. The walk must end by itself.
ExReading read_by_blocks(const HeapBytes &image, uint32_t bs) {
    ExReading r{};
    MemorySource src{reinterpret_cast<const unsigned char *>(image.get()), image.size()};
    cpioreadex_ctx ctx;
    r.init = src.init(&ctx, bs) == &ctx;
    if (!r.init) return r;
    std::vector<char> name(4 * bs);
    cpio_extended_entity e;
    cpioreadex_init_entity(&e, name.data(), static_cast<uint32_t>(name.size()));
    const auto *bytes_of = static_cast<const char *>(image.get());
    for (auto *p = cpioreadex_first(&ctx, &e); p != nullptr; p = cpioreadex_next(&ctx, &e)) {
        if (r.names.size() > image.size()) {
            ADD_FAILURE() << "the walk does not end";
            break;
        }
        r.names.emplace_back(name.data());
        std::string bytes;
        r.data_results.push_back(cpioreadex_do_data(&ctx, &e, 0, e.filesize, append, &bytes));
        // Delivered bytes are the image's, or the zeros that complete its
        // last block.
        std::string want(bytes.size(), '\0');
        for (size_t i = 0; i < bytes.size(); ++i)
            if (e.data_offset + i < image.size()) want[i] = bytes_of[e.data_offset + i];
        EXPECT_EQ(bytes, want);
        if (r.data_results.back() == 0) {
            EXPECT_EQ(bytes.size(), e.filesize);
        }
        r.data.push_back(bytes);
    }
    r.size = cpioreadex_get_size(&ctx);
    cpioreadex_deinit(&ctx);
    return r;
}

void expect_leading_entries(const std::vector<std::string> &names, const std::vector<std::string> &data, size_t count) {
    ASSERT_GE(names.size(), count);
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(names[i], sample[i].name);
        EXPECT_EQ(data[i], sample[i].data);
    }
}

class DamagedCorpus : public ::testing::TestWithParam<Fmt> {};

TEST_P(DamagedCorpus, CutAtEveryOffset) {
    const Fmt f = GetParam();
    const std::string archive = encode(f, sample);
    const Layout l = layout(f, sample);
    const size_t hl = header_len(f);
    const size_t magic_len = f == Fmt::newc || f == Fmt::odc ? 6 : 2;
    for (size_t cut = 0; cut <= archive.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(archive.size()));
        HeapBytes image(archive.substr(0, cut));
        size_t whole = 0;  // entries that lie wholly before the cut
        while (whole < sample.size() && l.data_end[whole] <= cut) ++whole;

        const MemReading m = read_in_memory(image);
        EXPECT_EQ(m.init, cut >= magic_len);
        if (m.init) {
            EXPECT_EQ(m.names.size(), whole);
            expect_leading_entries(m.names, m.data, whole);
        }

        for (uint32_t bs : block_sizes) {
            SCOPED_TRACE("block size " + std::to_string(bs));
            const ExReading x = read_by_blocks(image, bs);
            EXPECT_EQ(x.init, cut >= magic_len);
            if (!x.init) continue;
            // An entry cut short may still be reported (its header and name
            // among the zeros that complete the last block); at most one.
            expect_leading_entries(x.names, x.data, whole);
            EXPECT_LE(x.names.size(), whole + 1);
            for (size_t i = 0; i < whole; ++i) EXPECT_EQ(x.data_results[i], 0);
            // The size is known once the trailer's test lies inside.
            if (cut >= l.trailer + hl + 10) {
                EXPECT_NE(x.size, failed);
            } else {
                EXPECT_EQ(x.size, failed);
            }
        }
    }
}

// One damage to one entry of the sample.
struct Damage {
    const char *name;
    std::function<void(Entry &, Fmt)> apply;
    bool block_reader_stops;  // the block reader, too, returns nothing from it on
};

const Damage damages[] = {
    {"namesize_0", [](Entry &e, Fmt) { e.namesize = 0; }, false},
    {"namesize_1", [](Entry &e, Fmt) { e.namesize = 1; }, false},
    {"namesize_max", [](Entry &e, Fmt) { e.namesize = 0xFFFFFFFFu; }, true},
    // newc: header, name and padding wrap to 0, 1 and 4 bytes.
    {"namesize_wraps_to_0", [](Entry &e, Fmt) { e.namesize = 0xFFFFFF92u; }, true},
    {"namesize_wraps_to_4", [](Entry &e, Fmt) { e.namesize = 0xFFFFFF93u; }, true},
    {"namesize_wraps_past", [](Entry &e, Fmt) { e.namesize = 0xFFFFFFF0u; }, true},
    // Sizes whose 32-bit sum wraps to 0, the entry shared with the readers'
    // own tests.
    {"entry_size_wraps_to_0",
     [](Entry &e, Fmt f) {
         const std::string name = e.name;
         e = wrapping_entry(f);
         e.name = name;
     },
     false},
    {"filesize_max", [](Entry &e, Fmt) { e.filesize = 0xFFFFFFFFu; }, false},
    {"filesize_pad_wraps", [](Entry &e, Fmt) { e.filesize = 0xFFFFFFFDu; }, false},
    {"name_without_nul",
     [](Entry &e, Fmt) {
         e.no_nul = true;
         e.namesize = static_cast<uint32_t>(e.name.size());
     },
     false},
    {"bad_magic", [](Entry &e, Fmt) { e.magic = "\x30\x37\x30\x37\x30\x32"; }, true},
    {"zeroed_magic", [](Entry &e, Fmt) { e.magic = std::string(6, '\0'); }, true},
};

TEST_P(DamagedCorpus, FieldByField) {
    const Fmt f = GetParam();
    for (const Damage &d : damages) {
        for (size_t at = 0; at < sample.size(); ++at) {
            SCOPED_TRACE(std::string(d.name) + " in entry " + std::to_string(at));
            std::vector<Entry> entries = sample;
            d.apply(entries[at], f);
            if (entries[at].magic && f != Fmt::newc && f != Fmt::odc)
                entries[at].magic = entries[at].magic->substr(0, 2);
            HeapBytes image(encode(f, entries));

            const MemReading m = read_in_memory(image);
            if (at == 0 && entries[at].magic) {
                EXPECT_FALSE(m.init);
            } else {
                ASSERT_TRUE(m.init);
                EXPECT_EQ(m.names.size(), at);
                expect_leading_entries(m.names, m.data, at);
            }

            for (uint32_t bs : block_sizes) {
                SCOPED_TRACE("block size " + std::to_string(bs));
                const ExReading x = read_by_blocks(image, bs);
                if (at == 0 && entries[at].magic) {
                    EXPECT_FALSE(x.init);
                    continue;
                }
                ASSERT_TRUE(x.init);
                expect_leading_entries(x.names, x.data, at);
                if (d.block_reader_stops) {
                    EXPECT_EQ(x.names.size(), at);
                    EXPECT_EQ(x.size, failed);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllFormats, DamagedCorpus, ::testing::ValuesIn(all_formats),
                         [](const auto &info) { return std::string(fmt_name(info.param)); });

}  // namespace
