// The bounded in-memory reader over any bytes: init, a full walk, searches,
// and every byte of every entry's data touched, on an exact-size heap copy
// so that AddressSanitizer sees any read outside the image.
//
// Oracles: a reference walk, written here from the table slots on a
// zero-padded copy, gives the same entries; every record lies inside the
// image with a NUL-terminated name; count equals the walk's length; a
// search finds the first entry of each name and nothing that is not
// there; where the walk ends at a trailer, the unbounded reader gives the
// same count, entries and pointers.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "viredovozu.h"

namespace {

// The header offsets of the entries that the bounded reader must return,
// and whether the walk ends at a trailer.
struct Reference {
    std::vector<uint64_t> offsets;
    bool trailer = false;
};

Reference reference_walk(const cpio_ops *ops, const unsigned char *image, size_t size) {
    Reference ref;
    const size_t hl = fz::header_len(ops);
    const fz::Padded pad(image, size, 256);
    for (uint64_t o = 0; o + hl <= size;) {
        const unsigned char *h = pad.at(o);
        if (!ops->is_valid_hdr(h)) break;
        if (o + hl + 10 <= size && ops->is_trailer(h)) {
            ref.trailer = true;
            break;
        }
        cpio_extended_entity x{};
        ops->fill_extended_entity(h, &x, o);
        const uint64_t name_end = hl + x.namesize, data_offs = x.data_offset - o, data_end = data_offs + x.filesize;
        if (x.namesize == 0 || o + name_end > size || image[o + name_end - 1] != 0) break;
        if (data_offs < name_end || o + data_end > size) break;
        // The in-memory walk steps by the 32-bit entry size, which must not
        // wrap back into the entry.
        const uint64_t entry_size = ops->get_entry_size(h);
        if (entry_size < data_end) break;
        ref.offsets.push_back(o);
        o += entry_size;
    }
    return ref;
}

std::string name_from_input(const uint8_t *data, size_t size) {
    if (size == 0) return {};
    const size_t at = data[size - 1] % size;
    std::string s;
    for (size_t i = at; i < size && s.size() < 64 && data[i] != 0; ++i) s += static_cast<char>(data[i]);
    return s;
}

volatile unsigned sink_sum;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const fz::Bytes image(data, size);
    const unsigned char *const begin = image.data(), *const end = begin + size;
    cpioread_ctx ctx;
    std::memset(&ctx, 0xA5, sizeof ctx);
    const cpio_ops *ops = fz::detect(begin, size);
    if (cpioread_init_bounded(&ctx, begin, size) == nullptr) {
        FZ_CHECK(ops == nullptr);
        FZ_CHECK(ctx.ops == nullptr && ctx.image == nullptr && ctx.end == nullptr && ctx.count == 0 &&
                 ctx.current == nullptr);
        cpio_simple_entity e;
        FZ_CHECK(cpioread_first(&ctx, &e) == nullptr && cpioread_next(&ctx, &e) == nullptr);
        return 0;
    }
    FZ_CHECK(ctx.ops == ops && ctx.image == begin && ctx.end == end && ctx.current == nullptr);
    const size_t hl = fz::header_len(ops);
    const Reference ref = reference_walk(ops, begin, size);
    FZ_CHECK(ctx.count == ref.offsets.size());

    // The walk, twice: first restarts it.
    std::vector<cpio_simple_entity> walked;
    for (int round = 0; round < 2; ++round) {
        walked.clear();
        cpio_simple_entity e;
        for (auto *p = cpioread_first(&ctx, &e); p != nullptr; p = cpioread_next(&ctx, &e)) {
            FZ_CHECK(p == &e);
            FZ_CHECK(walked.size() < ref.offsets.size());
            const auto *name = reinterpret_cast<const unsigned char *>(e.name);
            FZ_CHECK(name - hl == begin + ref.offsets[walked.size()]);
            FZ_CHECK(ctx.current == name - hl);
            FZ_CHECK(e.namesize >= 1 && e.namesize <= static_cast<size_t>(end - name) && name[e.namesize - 1] == 0);
            FZ_CHECK(e.data >= name + e.namesize && e.filesize <= static_cast<size_t>(end - e.data));
            cpio_simple_entity t;
            ops->fill_simple_entity(name - hl, &t);
            FZ_CHECK(t.name == e.name && t.namesize == e.namesize && t.mtime == e.mtime && t.mode == e.mode &&
                     t.filesize == e.filesize && t.data == e.data);
            unsigned sum = 0;
            for (uint32_t i = 0; i < e.filesize; ++i) sum += e.data[i];
            sink_sum = sum + static_cast<unsigned>(std::strlen(e.name));
            walked.push_back(e);
        }
        FZ_CHECK(walked.size() == ctx.count);
        FZ_CHECK(ctx.current == nullptr && cpioread_next(&ctx, &e) == nullptr);
    }

    // Searches: each name finds its first entry; a name from the input
    // finds its first entry or, when no entry has it, nothing.
    auto first_named = [&](const std::string &s) -> const cpio_simple_entity * {
        for (const auto &w : walked)
            if (w.namesize == s.size() + 1 && std::memcmp(w.name, s.data(), s.size() + 1) == 0) return &w;
        return nullptr;
    };
    std::vector<std::string> names;
    for (const auto &w : walked) names.emplace_back(w.name, w.namesize - 1);
    names.push_back(name_from_input(data, size));
    names.emplace_back("TRAILER!!!");
    for (const std::string &s : names) {
        if (s.empty() || std::strlen(s.c_str()) != s.size()) continue;
        cpio_simple_entity f;
        const cpio_simple_entity *want = first_named(s);
        const cpio_simple_entity *got = cpioread_find(&ctx, &f, s.c_str());
        FZ_CHECK((got != nullptr) == (want != nullptr));
        if (got) FZ_CHECK(f.name == want->name && f.data == want->data && f.filesize == want->filesize);
    }

    // An archive that ends at its trailer is read alike without the bound.
    if (ref.trailer) {
        cpioread_ctx plain{};
        FZ_CHECK(cpioread_init(&plain, begin) == &plain);
        FZ_CHECK(plain.ops == ctx.ops && plain.count == ctx.count && plain.end == nullptr);
        cpio_simple_entity e;
        size_t i = 0;
        for (auto *p = cpioread_first(&plain, &e); p != nullptr; p = cpioread_next(&plain, &e), ++i) {
            FZ_CHECK(i < walked.size());
            FZ_CHECK(e.name == walked[i].name && e.data == walked[i].data && e.filesize == walked[i].filesize);
        }
        FZ_CHECK(i == walked.size());
    }
    return 0;
}
