// The block reader: window requests, walks, searches, sizes and data
// transfers, over archives of every format.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "block_source.h"
#include "encoders.h"
#include "viredovozu.h"

using namespace testenc;

namespace {

using Reads = std::vector<ReadRequest>;

bool all_zero(const void *p, size_t n) {
    const auto *b = static_cast<const unsigned char *>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i]) return false;
    return true;
}

// Four entries with headers at 0, 124, 1264 and 3376 and the trailer at
// 3488, padded to 8 blocks of 512 bytes. The third entry holds 2,000 bytes
// of data from offset 1376.
std::string eight_block_archive() {
    std::string a = encode(Fmt::newc, {file("a", std::string(12, 'a')), file("b", std::string(1028, 'b')),
                                       file("c", std::string(2000, 'c')), file("d", "")});
    a.resize(4096, '\0');
    return a;
}

struct Reader : ::testing::Test {
    BlockSource src;
    cpioreadex_ctx ctx{};
    cpio_extended_entity e{};
    char name[64] = {};

    void open(std::string archive, uint32_t block_size = 512) {
        src = BlockSource(std::move(archive));
        ASSERT_EQ(src.init(&ctx, block_size), &ctx);
        cpioreadex_init_entity(&e, name, sizeof name);
    }
    void TearDown() override {
        if (ctx.window) cpioreadex_deinit(&ctx);
        EXPECT_EQ(src.frees.size(), src.allocs.size() - (src.fail_alloc ? src.allocs.size() : 0));
    }
};

TEST_F(Reader, WalkAsksForBlocksByTheWindowRules) {
    open(eight_block_archive());
    EXPECT_EQ(src.allocs, std::vector<uint32_t>{2048});
    EXPECT_EQ(src.reads, (Reads{{0, 0, 1}}));
    EXPECT_EQ(ctx.window_count, 0u);

    ASSERT_EQ(cpioreadex_first(&ctx, &e), &e);
    EXPECT_EQ(e.hdr_offset, 0u);
    EXPECT_STREQ(name, "a");
    EXPECT_EQ(src.reads.back(), (ReadRequest{0, 0, 4}));
    EXPECT_EQ(ctx.window_count, 4u);

    const size_t before = src.reads.size();
    ASSERT_EQ(cpioreadex_next(&ctx, &e), &e);
    EXPECT_EQ(e.hdr_offset, 124u);
    EXPECT_EQ(src.reads.size(), before) << "block 0 is in slot 0 of a full window";

    ASSERT_EQ(cpioreadex_next(&ctx, &e), &e);
    EXPECT_EQ(e.hdr_offset, 1264u);
    EXPECT_EQ(e.data_offset, 1376u);
    EXPECT_EQ(src.reads.back(), (ReadRequest{2, 4, 2})) << "shift by 2, then top up";
    EXPECT_EQ(ctx.window_first, 2u);
    EXPECT_EQ(ctx.window_count, 4u);

    ASSERT_EQ(cpioreadex_next(&ctx, &e), &e);
    EXPECT_EQ(e.hdr_offset, 3376u);
    EXPECT_EQ(src.reads.back(), (ReadRequest{0, 6, 4})) << "block 6 is past the window: reset";
    EXPECT_EQ(ctx.window_count, 2u);
    EXPECT_TRUE(all_zero(ctx.window + 1024, 1024));

    EXPECT_EQ(cpioreadex_next(&ctx, &e), nullptr) << "the trailer";
    EXPECT_EQ(src.reads.back(), (ReadRequest{2, 8, 2}));
    EXPECT_EQ(cpioreadex_next(&ctx, &e), nullptr);
    EXPECT_EQ(src.reads.back(), (ReadRequest{2, 8, 2}));
    EXPECT_EQ(e.hdr_offset, 3376u) << "the entity stays on the last entry";
    EXPECT_STREQ(name, "d");

    EXPECT_EQ(cpioreadex_get_size(&ctx), 4096u);
    ASSERT_EQ(cpioreadex_first(&ctx, &e), &e) << "a new walk goes back to block 0";
    EXPECT_EQ(src.reads.back(), (ReadRequest{0, 0, 4}));
}

TEST_F(Reader, GetSizeIsWhereTheDeliveredBlocksEndAtTheTrailer) {
    const std::string two = encode(Fmt::newc, {file("a", std::string(12, 'a')), file("b", std::string(1028, 'b'))});
    ASSERT_EQ(two.size(), 1388u);
    struct Case {
        std::string archive;
        uint64_t want;
    } cases[] = {
        {two + std::string(10240 - two.size(), '\0'), 3072},
        {two, 1536},
        {encode(Fmt::newc, {}), 512},
        {eight_block_archive().substr(0, 2000), ~uint64_t{0}},  // cut inside the third entry's data
    };
    for (const Case &c : cases) {
        BlockSource s(c.archive);
        cpioreadex_ctx x{};
        ASSERT_EQ(s.init(&x, 512), &x);
        EXPECT_EQ(cpioreadex_get_size(&x), c.want) << c.archive.size();
        cpioreadex_deinit(&x);
    }
}

TEST_F(Reader, SearchNeedsEveryNameUpToTheMatchToFit) {
    open(encode(Fmt::newc, {file("a.txt", "1"), file("dir/bbbbbb", "22"), file("c", "333")}));
    cpioreadex_init_entity(&e, name, 8);
    EXPECT_EQ(cpioreadex_find(&ctx, &e, "c"), nullptr);
    EXPECT_EQ(e.namesize, 11u);
    EXPECT_EQ(e.filesize, 2u);
    EXPECT_STREQ(name, "a.txt");
    ASSERT_EQ(cpioreadex_next(&ctx, &e), &e);
    EXPECT_STREQ(name, "c");

    cpioreadex_init_entity(&e, name, sizeof name);
    EXPECT_EQ(cpioreadex_find(&ctx, &e, "nope"), nullptr);
    EXPECT_STREQ(name, "c") << "every entry up to the trailer was examined";
    ASSERT_EQ(cpioreadex_find(&ctx, &e, "dir/bbbbbb"), &e);
    EXPECT_EQ(e.filesize, 2u);
    EXPECT_EQ(cpioreadex_find(&ctx, &e, "TRAILER!!!"), nullptr);
    EXPECT_EQ(cpioreadex_find(&ctx, &e, nullptr), nullptr);

    cpioreadex_init_entity(&e, nullptr, 0);
    int n = 0;
    for (auto *p = cpioreadex_first(&ctx, &e); p; p = cpioreadex_next(&ctx, &e)) ++n;
    EXPECT_EQ(n, 3) << "without a name buffer every entry is returned";
}

TEST_F(Reader, DataChunksFollowTheWindow) {
    open(eight_block_archive());
    ASSERT_EQ(cpioreadex_find(&ctx, &e, "c"), &e);
    EXPECT_EQ(ctx.window_first, 2u);
    const size_t before = src.reads.size();
    Sink sink;
    EXPECT_EQ(cpioreadex_do_data(&ctx, &e, 10, 5000, Sink::cb, &sink), 0);
    EXPECT_EQ(sink.sizes(), (std::vector<size_t>{1686, 304}));
    EXPECT_EQ(sink.all(), std::string(1990, 'c'));
    EXPECT_EQ(src.reads.size(), before + 1);
    EXPECT_EQ(src.reads.back(), (ReadRequest{0, 6, 4}));
}

TEST_F(Reader, DataRangesAreCutAtTheEntrysEnd) {
    open(encode(Fmt::newc, {file("k", std::string(1024, 'k'))}));
    ASSERT_EQ(cpioreadex_first(&ctx, &e), &e);
    struct Case {
        uint32_t offset, length;
        int32_t result;
        std::vector<size_t> chunks;
    } cases[] = {
        {1000, 100, 0, {24}}, {1024, 10, 0, {}}, {5, 0, 0, {}}, {1025, 1, -1, {}}, {0, 1024, 0, {1024}},
    };
    for (const Case &c : cases) {
        Sink sink;
        EXPECT_EQ(cpioreadex_do_data(&ctx, &e, c.offset, c.length, Sink::cb, &sink), c.result) << c.offset;
        EXPECT_EQ(sink.sizes(), c.chunks) << c.offset;
    }
}

TEST_F(Reader, DataCutOffInsideTheArchiveFailsWithoutRepeatedReads) {
    std::string a = encode(Fmt::newc, {file("big", std::string(5000, 'x'))});
    open(a.substr(0, 1500));
    ASSERT_EQ(cpioreadex_first(&ctx, &e), &e);
    Sink sink;
    const size_t before = src.reads.size();
    EXPECT_EQ(cpioreadex_do_data(&ctx, &e, 0, 5000, Sink::cb, &sink), -1);
    EXPECT_LE(src.reads.size(), before + 2);
    // Only delivered blocks reach the sink: 3 blocks from offset 112, the
    // last of them completed with zeros by the source.
    EXPECT_EQ(sink.all().size(), 1536u - 116);
    EXPECT_EQ(sink.all().substr(0, 1384), std::string(1384, 'x'));
}

TEST_F(Reader, UninitialisedEntitiesAreRefusedWithoutCallbacks) {
    open(eight_block_archive());
    const size_t calls = src.calls();
    cpio_extended_entity raw{};
    raw.filesize = 10;
    Sink sink;
    EXPECT_EQ(cpioreadex_first(&ctx, &raw), nullptr);
    EXPECT_EQ(cpioreadex_next(&ctx, &raw), nullptr);
    EXPECT_EQ(cpioreadex_find(&ctx, &raw, "a"), nullptr);
    EXPECT_EQ(cpioreadex_do_data(&ctx, &raw, 0, 5, Sink::cb, &sink), -1);
    ASSERT_EQ(cpioreadex_first(&ctx, &e), &e);
    cpioreadex_deinit_entity(&e);
    EXPECT_TRUE(all_zero(&e, sizeof e));
    const size_t after_first = src.calls();
    EXPECT_EQ(cpioreadex_next(&ctx, &e), nullptr);
    EXPECT_EQ(src.calls(), after_first);
    EXPECT_GT(after_first, calls);
    EXPECT_TRUE(sink.chunks.empty());

    cpioreadex_init_entity(&e, name, sizeof name);
    EXPECT_EQ(e.magic, cpio_entity_magic);
    EXPECT_EQ(cpioreadex_do_data(&ctx, &e, 0, 5, Sink::cb, &sink), 0);
    EXPECT_EQ(cpioreadex_do_data(&ctx, &e, 1, 5, Sink::cb, &sink), -1);
}

TEST_F(Reader, DeinitReleasesTheWindowOnceAndClearsTheContext) {
    open(eight_block_archive());
    unsigned char *window = ctx.window;
    cpioreadex_deinit(&ctx);
    EXPECT_EQ(src.frees, std::vector<void *>{window});
    EXPECT_TRUE(all_zero(&ctx, sizeof ctx));
}

TEST(ReaderInit, RefusesBadArgumentsAndUnreadableArchives) {
    const std::string good = encode(Fmt::newc, {file("a", "b")});
    struct Case {
        const char *what;
        uint32_t block_size;
        int32_t detection;  // -1: the source answers normally
        std::string archive;
        bool ok;
        std::vector<uint32_t> allocs;
        size_t reads, frees;
    } cases[] = {
        {"default", 0, -1, good, true, {2048}, 1, 0},
        {"1024", 1024, -1, good, true, {4096}, 1, 0},
        {"64 is the smallest", 64, -1, good, true, {256}, 1, 0},
        {"2^29 is the largest", 1u << 29, -1, good, true, {1u << 31}, 1, 0},
        {"not a power of two", 3, -1, good, false, {}, 0, 0},
        {"not a power of two", 6, -1, good, false, {}, 0, 0},
        {"too small for a header", 32, -1, good, false, {}, 0, 0},
        {"2^30 overflows", 1u << 30, -1, good, false, {}, 0, 0},
        {"2^31 overflows", 1u << 31, -1, good, false, {}, 0, 0},
        {"detection delivers 0", 512, 0, good, false, {2048}, 1, 1},
        {"detection delivers 2", 512, 2, good, false, {2048}, 1, 1},
        {"unknown format", 512, -1, "not an archive at all", false, {2048}, 1, 1},
    };
    for (const Case &c : cases) {
        BlockSource src(c.archive);
        src.detection_result = c.detection;
        cpioreadex_ctx ctx;
        std::memset(&ctx, 0xAB, sizeof ctx);
        cpioreadex_ctx *r = src.init(&ctx, c.block_size);
        EXPECT_EQ(r != nullptr, c.ok) << c.what;
        EXPECT_EQ(src.allocs, c.allocs) << c.what;
        EXPECT_EQ(src.reads.size(), c.reads) << c.what;
        EXPECT_EQ(src.frees.size(), c.frees) << c.what;
        if (r) {
            EXPECT_EQ(ctx.ops, &cpio_ops__newc);
            EXPECT_EQ(ctx.window_count, 0u);
            cpioreadex_deinit(&ctx);
        } else {
            EXPECT_EQ(ctx.ops, nullptr) << c.what;
            EXPECT_TRUE(all_zero(&ctx, sizeof ctx)) << c.what;
        }
    }
}

TEST(ReaderInit, NullCallbacksAndFailedAllocation) {
    BlockSource src(encode(Fmt::newc, {}));
    cpioreadex_ctx ctx{};
    EXPECT_EQ(cpioreadex_init(&ctx, 512, nullptr, &src, BlockSource::alloc_cb, BlockSource::free_cb, &src), nullptr);
    EXPECT_EQ(cpioreadex_init(&ctx, 512, BlockSource::read_cb, &src, nullptr, BlockSource::free_cb, &src), nullptr);
    EXPECT_EQ(cpioreadex_init(&ctx, 512, BlockSource::read_cb, &src, BlockSource::alloc_cb, nullptr, &src), nullptr);
    EXPECT_EQ(src.calls(), 0u);
    src.fail_alloc = true;
    EXPECT_EQ(src.init(&ctx, 512), nullptr);
    EXPECT_EQ(src.allocs.size(), 1u);
    EXPECT_TRUE(src.reads.empty());
    EXPECT_TRUE(src.frees.empty());
}

TEST(ReaderLimits, OffsetsReachBlockSizeTimes0x7FFFFFFFAndNoFurther) {
    BlockSource src(encode(Fmt::newc, {file("a", "b")}));
    cpioreadex_ctx ctx{};
    ASSERT_EQ(src.init(&ctx, 512), &ctx);
    cpio_extended_entity e{};
    cpioreadex_init_entity(&e, nullptr, 0);
    const uint64_t limit = uint64_t{512} * 0x7FFFFFFF;
    e.next_offset = limit;
    EXPECT_EQ(cpioreadex_next(&ctx, &e), nullptr);
    EXPECT_EQ(src.reads.back(), (ReadRequest{0, 0x7FFFFFFF, 4}));
    const size_t reads = src.reads.size();
    e.next_offset = limit + 1;
    EXPECT_EQ(cpioreadex_next(&ctx, &e), nullptr);
    EXPECT_EQ(src.reads.size(), reads);
    e.filesize = 10;
    e.data_offset = limit - 4;
    Sink sink;
    EXPECT_EQ(cpioreadex_do_data(&ctx, &e, 0, 10, Sink::cb, &sink), -1) << "the range runs past the limit";
    cpioreadex_deinit(&ctx);
}

TEST(ReaderLimits, HeadersBeyondFourGiB) {
    // The first entry's data runs past 4 GiB; the blocks in between are
    // synthesised, never stored.
    BlockSource src;
    Entry big = file("big", "");
    big.filesize = 0xFFFFFFF0u;
    src.place(0, encode_entry(Fmt::newc, big));
    const uint64_t second = 116 + uint64_t{0xFFFFFFF0u};
    ASSERT_GT(second, uint64_t{1} << 32);
    src.place(second, encode(Fmt::newc, {file("after-4g", "tail data")}));

    cpioreadex_ctx ctx{};
    ASSERT_EQ(src.init(&ctx, 4096), &ctx);
    char name[32];
    cpio_extended_entity e{};
    cpioreadex_init_entity(&e, name, sizeof name);
    ASSERT_EQ(cpioreadex_first(&ctx, &e), &e);
    EXPECT_EQ(e.next_offset, second);
    Sink tail;
    EXPECT_EQ(cpioreadex_do_data(&ctx, &e, 0xFFFFFFE0u, 0x100, Sink::cb, &tail), 0);
    EXPECT_EQ(tail.all(), src.bytes(116 + uint64_t{0xFFFFFFE0u}, 16));
    ASSERT_EQ(cpioreadex_next(&ctx, &e), &e);
    EXPECT_STREQ(name, "after-4g");
    EXPECT_EQ(e.hdr_offset, second);
    Sink sink;
    EXPECT_EQ(cpioreadex_do_data(&ctx, &e, 0, 100, Sink::cb, &sink), 0);
    EXPECT_EQ(sink.all(), "tail data");
    EXPECT_EQ(cpioreadex_next(&ctx, &e), nullptr);
    ASSERT_EQ(cpioreadex_find(&ctx, &e, "after-4g"), &e);
    EXPECT_EQ(cpioreadex_get_size(&ctx), (second + 124 + 124 + 4095) / 4096 * 4096);
    cpioreadex_deinit(&ctx);
}

TEST(ReaderLimits, AHugeFilesizeDeliversExactlyTheRestOfTheData) {
    BlockSource src;
    Entry big = file("huge", "");
    big.filesize = 0xFFFFFFFFu;
    src.place(0, encode_entry(Fmt::newc, big));
    src.set_length(116 + uint64_t{0xFFFFFFFFu} + 512);
    cpioreadex_ctx ctx{};
    ASSERT_EQ(src.init(&ctx, 512), &ctx);
    cpio_extended_entity e{};
    cpioreadex_init_entity(&e, nullptr, 0);
    ASSERT_EQ(cpioreadex_first(&ctx, &e), &e);
    Sink sink;
    EXPECT_EQ(cpioreadex_do_data(&ctx, &e, 0xFFFFFFF0u, 0x100, Sink::cb, &sink), 0);
    EXPECT_EQ(sink.all().size(), 15u);
    EXPECT_EQ(sink.all(), src.bytes(116 + uint64_t{0xFFFFFFF0u}, 15));
    cpioreadex_deinit(&ctx);
}

// Callbacks that break their contract never drive the window outside its
// four slots.
TEST(ReaderCallbacks, CountsOutsideTheRangeAskedForAreClamped) {
    const std::string archive = eight_block_archive();
    for (auto reply : {BlockSource::Reply::more_than_asked, BlockSource::Reply::negative}) {
        BlockSource src(archive);
        src.reply = reply;
        cpioreadex_ctx ctx{};
        ASSERT_EQ(src.init(&ctx, 512), &ctx) << "the detection read answers 1 either way";
        char name[16];
        cpio_extended_entity e{};
        cpioreadex_init_entity(&e, name, sizeof name);
        int n = 0;
        for (auto *p = cpioreadex_first(&ctx, &e); p; p = cpioreadex_next(&ctx, &e)) {
            EXPECT_LE(ctx.window_count, 4u);
            Sink sink;
            EXPECT_EQ(cpioreadex_do_data(&ctx, &e, 0, e.filesize, Sink::cb, &sink), 0);
            EXPECT_EQ(sink.all(), archive.substr(e.data_offset, e.filesize));
            ++n;
        }
        EXPECT_LE(ctx.window_count, 4u);
        EXPECT_EQ(n, reply == BlockSource::Reply::negative ? 0 : 4);
        cpioreadex_deinit(&ctx);
    }
}

// Damaged archives in every format, at several block sizes: each ends with
// the failure results, and entries before the damage stay readable.
struct Damage {
    const char *what;
    std::string (*make)(Fmt);
    int good_entries[4];  // entries a walk returns before it ends, by format
    bool size_fails;      // get_size gives all bits set
};

std::string first_then(Fmt f, const Entry &second) { return encode(f, {file("ok", "1"), second}); }

const Damage damages[] = {
    // newc's 32-bit padded name size wraps and the entry would not advance;
    // odc and bin sum in 64 bits, so their entry is read and the walk ends
    // far past the archive's end.
    {"sizes that wrap in 32 bits", [](Fmt f) { return first_then(f, wrapping_entry(f)); }, {1, 2, 2, 2}, true},
    {"namesize far beyond the window",
     [](Fmt f) {
         Entry e = file("n", "x");
         e.namesize = f == Fmt::bin_le || f == Fmt::bin_be ? 0xFFFF : 0777777;
         return first_then(f, e);
     },
     {1, 1, 1, 1},
     true},
    {"name without its NUL",
     [](Fmt f) {
         Entry e = file("abcdef", "");
         e.no_nul = true;
         e.namesize = 6;
         return encode(f, {e, file("next", "2")});
     },
     {2, 2, 2, 2},
     false},
    {"cut inside the magic",
     [](Fmt f) { return first_then(f, file("x", "")).substr(0, encode_entry(f, file("ok", "1")).size() + 1); },
     {1, 1, 1, 1},
     true},
    {"cut inside a name (the rest reads as zeros)",
     [](Fmt f) {
         const std::string first = encode_entry(f, file("ok", "1"));
         return first_then(f, file(std::string(200, 'n'), "")).substr(0, first.size() + header_len(f) + 50);
     },
     {2, 2, 2, 2},
     true},
    {"cut inside the data",
     [](Fmt f) { return encode(f, {file("ok", std::string(3000, 'd'))}).substr(0, 1200); },
     {1, 1, 1, 1},
     true},
    {"bad magic after the first entry",
     [](Fmt f) {
         Entry bad = file("bad", "");
         bad.magic = "QQ";
         return first_then(f, bad);
     },
     {1, 1, 1, 1},
     true},
    {"names of 1000 bytes at many alignments",
     [](Fmt f) {
         std::vector<Entry> es;
         for (int i = 0; i < 12; ++i) es.push_back(file(std::string(1000, char('a' + i)), std::string(i * 37, 'd')));
         return encode(f, es);
     },
     {12, 12, 12, 12},
     false},
};

class Damaged : public ::testing::TestWithParam<std::tuple<Fmt, uint32_t, Damage>> {};

TEST_P(Damaged, EndsWithTheFailureResults) {
    const auto [fmt, block_size, damage] = GetParam();
    BlockSource src(damage.make(fmt));
    cpioreadex_ctx ctx{};
    ASSERT_EQ(src.init(&ctx, block_size), &ctx);
    std::vector<char> name(1024);
    cpio_extended_entity e{};
    cpioreadex_init_entity(&e, name.data(), uint32_t(name.size()));
    int n = 0;
    uint64_t last = 0;
    for (auto *p = cpioreadex_first(&ctx, &e); p; p = cpioreadex_next(&ctx, &e), ++n) {
        ASSERT_LT(n, 100) << "the walk must end";
        if (n) {
            EXPECT_GT(e.hdr_offset, last);
        }
        last = e.hdr_offset;
        EXPECT_LT(std::strlen(name.data()), name.size());
        Sink sink;
        cpioreadex_do_data(&ctx, &e, 0, e.filesize, Sink::cb, &sink);
        for (const std::string &c : sink.chunks) EXPECT_LE(c.size(), 4 * block_size);
    }
    EXPECT_EQ(n, damage.good_entries[static_cast<int>(fmt)]);
    EXPECT_EQ(cpioreadex_find(&ctx, &e, "no such name"), nullptr);
    EXPECT_EQ(cpioreadex_get_size(&ctx) == ~uint64_t{0}, damage.size_fails);
    cpioreadex_deinit(&ctx);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, Damaged,
                         ::testing::Combine(::testing::ValuesIn(all_formats), ::testing::Values(512u, 4096u),
                                            ::testing::ValuesIn(damages)),
                         [](const auto &info) {
                             std::string s = std::string(fmt_name(std::get<0>(info.param))) + "_" +
                                             std::to_string(std::get<1>(info.param)) + "_" +
                                             std::get<2>(info.param).what;
                             for (char &c : s)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return s;
                         });

}  // namespace
