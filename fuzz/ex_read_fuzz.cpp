// The block reader over any bytes, through a memory read callback. Eight
// control bytes lead the input: block size, name buffer size, callback
// behaviour, where to measure the size during the walk, and the offset and
// length of one data range per entry; the rest is the archive.
//
// Oracles: the window never holds more than four blocks; a walk moves
// forward only and reports exactly what the format table reads at each
// offset; it ends only where the table sees a bad magic, the trailer, or
// an entry the reader must refuse (a name past the delivered blocks, sizes
// that wrap); the sink sees exactly the archive's bytes of the range asked
// for, and failure only where the callback delivers nothing more; a search
// finds the first entry of a name; the size is measured exactly when the
// walk reaches a trailer.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "viredovozu.h"

namespace {

using Mode = MemorySource::Mode;

struct Target {
    const unsigned char *image;
    size_t size;
    uint32_t bs;
    Mode mode;
    const cpio_ops *ops;
    size_t hl;
    fz::Padded pad;

    Target(const unsigned char *img, size_t n, uint32_t block_size, Mode m, const cpio_ops *o)
        : image(img),
          size(n),
          bs(block_size),
          mode(m),
          ops(o),
          hl(fz::header_len(o)),
          pad(img, n, 4 * size_t{block_size} + 256) {}

    // Whether this callback behaviour makes the window's contents depend on
    // the offset alone (not on the walk's history).
    bool predictable() const { return mode != Mode::one_block; }
    uint64_t limit() const { return uint64_t{bs} * 0x7FFFFFFF; }
    uint64_t delivered_end() const { return (uint64_t{size} + bs - 1) / bs * bs; }

    // Bytes the window holds as delivered from offset o after fetching it.
    uint64_t delivered_from(uint64_t o) const {
        const uint64_t window_end = (o / bs + 4) * bs;
        const uint64_t end = mode == Mode::endless ? window_end : std::min(window_end, delivered_end());
        return end > o ? end - o : 0;
    }

    // What the reader must find at o: an entry (filled into x), or not.
    bool entry_at(uint64_t o, cpio_extended_entity *x) const {
        if (o > limit() || o >= size) return false;  // past the image: zeros, no magic
        const unsigned char *h = pad.at(o);
        if (!ops->is_valid_hdr(h) || ops->is_trailer(h)) return false;
        cpio_extended_entity t{};
        t.magic = cpio_entity_magic;
        ops->fill_extended_entity(h, &t, o);
        *x = t;
        return hl + t.namesize <= delivered_from(o) && t.next_offset > o;
    }
    bool trailer_at(uint64_t o) const {
        return o <= limit() && o < size && ops->is_valid_hdr(pad.at(o)) && ops->is_trailer(pad.at(o));
    }

    // The name as the reader copies it: up to its NUL, cut to namesize - 1.
    std::string expected_name(uint64_t o, uint32_t namesize) const {
        std::string s;
        for (uint32_t i = 0; i + 1 < namesize && pad.at(o + hl)[i] != 0; ++i) s += static_cast<char>(pad.at(o + hl)[i]);
        return s;
    }
    unsigned char byte_at(uint64_t o) const { return o < size ? image[o] : 0; }
};

void same_numbers(const cpio_extended_entity &a, const cpio_extended_entity &b) {
    FZ_CHECK(a.hdr_offset == b.hdr_offset && a.next_offset == b.next_offset && a.data_offset == b.data_offset);
    FZ_CHECK(a.namesize == b.namesize && a.mtime == b.mtime && a.mode == b.mode && a.filesize == b.filesize &&
             a.gid == b.gid && a.uid == b.uid && a.nlink == b.nlink && a.ino == b.ino && a.devmajor == b.devmajor &&
             a.devminor == b.devminor && a.rdevmajor == b.rdevmajor && a.rdevminor == b.rdevminor);
}

struct Seen {
    cpio_extended_entity e;
    bool refused;  // the name did not fit the buffer
    std::string name;
};

// One data range of an entry: the sink must see exactly the archive's
// bytes, and failure must mean that nothing more was delivered.
void check_range(cpioreadex_ctx *ctx, const Target &t, const cpio_extended_entity &e, uint32_t offset,
                 uint32_t length) {
    // A source that never ends would stream gigabytes of zeros.
    if (t.mode == Mode::endless && length > (1u << 16)) length = 1u << 16;
    fz::Sink sink{ctx, {}, 0};
    const int32_t r = cpioreadex_do_data(ctx, &e, offset, length, fz::Sink::cb, &sink);
    FZ_CHECK(ctx->window_count <= 4);
    if (offset > e.filesize) {
        FZ_CHECK(r == -1 && sink.chunks == 0);
        return;
    }
    const uint32_t n = std::min(length, e.filesize - offset);
    FZ_CHECK(r == 0 || r == -1);
    FZ_CHECK(sink.got.size() <= n);
    if (n == 0) FZ_CHECK(r == 0 && sink.chunks == 0);
    const uint64_t from = e.data_offset + offset;
    for (size_t i = 0; i < sink.got.size(); ++i)
        FZ_CHECK(static_cast<unsigned char>(sink.got[i]) == t.byte_at(from + i));
    if (r == 0) FZ_CHECK(sink.got.size() == n);
    if (r == -1 && t.predictable()) {
        const uint64_t stop = from + sink.got.size();
        FZ_CHECK(stop > t.limit() || (t.mode != Mode::endless && stop >= t.delivered_end()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::Input in(data, size);
    const uint32_t asked_bs = fz::block_size_from(in.byte());
    const uint8_t cap_byte = in.byte();
    const Mode mode = static_cast<Mode>(in.byte() % 4);
    const uint8_t measure_at = in.byte();
    const uint16_t range_offset = in.u16(), range_length = in.u16();
    const fz::Bytes image(in.rest(), in.rest_size());
    const uint32_t bs = asked_bs == 0 ? 512 : asked_bs;
    const uint32_t cap = cap_byte == 255 ? 1u << 16 : cap_byte;
    std::unique_ptr<char[]> name_buf(cap_byte == 0 ? nullptr : new char[cap]);

    MemorySource src{image.data(), image.size(), mode};
    cpioreadex_ctx ctx;
    // Detection sees block 0 completed with zeros.
    const cpio_ops *ops = image.size() == 0 ? nullptr : fz::detect(image.data(), std::min<size_t>(image.size(), bs));
    if (src.init(&ctx, asked_bs) == nullptr) {
        FZ_CHECK(ops == nullptr && ctx.ops == nullptr && ctx.window == nullptr);
        return 0;
    }
    FZ_CHECK(ctx.ops == ops && ctx.block_size == bs && ctx.window_count == 0);
    const Target t(image.data(), image.size(), bs, mode, ops);

    // The walk, past names that do not fit the buffer.
    std::vector<Seen> seen;
    cpio_extended_entity e;
    cpioreadex_init_entity(&e, name_buf.get(), cap);
    uint64_t at = 0;
    const size_t max_steps = image.size() / t.hl + 2;
    for (size_t step = 0;; ++step) {
        FZ_CHECK(step <= max_steps);
        if (step == measure_at) {
            // A measurement in the middle of a walk moves only the window.
            const cpio_extended_entity before = e;
            (void)cpioreadex_get_size(&ctx);
            FZ_CHECK(std::memcmp(&before, &e, sizeof e) == 0);
        }
        const cpio_extended_entity before = e;
        const std::string old_name = name_buf ? std::string(name_buf.get(), cap) : std::string();
        cpio_extended_entity *r = step == 0 ? cpioreadex_first(&ctx, &e) : cpioreadex_next(&ctx, &e);
        FZ_CHECK(ctx.window_count <= 4);
        FZ_CHECK(e.magic == cpio_entity_magic && e.name_buf == name_buf.get() && e.name_buf_size == cap);
        const bool moved = e.hdr_offset != before.hdr_offset || e.next_offset != before.next_offset;
        cpio_extended_entity want;
        if (r == nullptr && !moved) {
            // The walk ends: where the table sees no entry the reader may take.
            if (t.predictable()) FZ_CHECK(!t.entry_at(at, &want));
            break;
        }
        FZ_CHECK(r == nullptr || r == &e);
        // Offsets only grow, and the window holds the header.
        FZ_CHECK(e.hdr_offset == at && (seen.empty() || at > seen.back().e.hdr_offset));
        FZ_CHECK(e.next_offset > e.hdr_offset && e.data_offset >= e.hdr_offset + t.hl);
        FZ_CHECK(ctx.window_first == at / bs);
        if (t.predictable()) FZ_CHECK(t.entry_at(at, &want));
        cpio_extended_entity table{};
        t.ops->fill_extended_entity(t.pad.at(at), &table, at);
        same_numbers(e, table);
        Seen s{e, r == nullptr, {}};
        if (r == nullptr) {
            // Refused for its name alone: the buffer is untouched.
            FZ_CHECK(name_buf != nullptr && cap < e.namesize);
            FZ_CHECK(std::string(name_buf.get(), cap) == old_name);
        } else if (name_buf) {
            s.name = name_buf.get();
            FZ_CHECK(s.name.size() < cap && s.name == t.expected_name(at, e.namesize));
        }
        seen.push_back(s);
        at = e.next_offset;
    }

    // Data: every entry whole, then a range from the input.
    for (const Seen &s : seen) {
        check_range(&ctx, t, s.e, 0, s.e.filesize);
        check_range(&ctx, t, s.e, range_offset % (uint64_t{s.e.filesize} + 2),
                    range_length == 0xFFFF ? 0xFFFFFFFFu : range_length);
    }

    // The size: a walk without names that reaches a trailer.
    const uint64_t measured = cpioreadex_get_size(&ctx);
    FZ_CHECK(ctx.window_count <= 4);
    FZ_CHECK(measured == ~uint64_t{0} || (measured % bs == 0 && measured > 0));
    if (t.predictable()) {
        uint64_t o = 0;
        cpio_extended_entity x;
        while (t.entry_at(o, &x)) o = x.next_offset;
        if (t.trailer_at(o)) {
            FZ_CHECK(measured != ~uint64_t{0} && measured > o);
            if (mode != Mode::endless) FZ_CHECK(measured <= t.delivered_end());
        } else {
            FZ_CHECK(measured == ~uint64_t{0});
        }
    }

    // Searches find the first entry of each name, unless a name that does
    // not fit the buffer comes first.
    if (name_buf && t.predictable()) {
        for (size_t i = 0; i < seen.size(); ++i) {
            if (seen[i].refused) continue;
            size_t first = 0;
            while (!seen[first].refused && seen[first].name != seen[i].name) ++first;
            cpio_extended_entity f;
            cpioreadex_init_entity(&f, name_buf.get(), cap);
            cpio_extended_entity *r = cpioreadex_find(&ctx, &f, seen[i].name.c_str());
            if (seen[first].refused) {
                FZ_CHECK(r == nullptr);
            } else {
                FZ_CHECK(r == &f && f.hdr_offset == seen[first].e.hdr_offset);
            }
        }
        cpio_extended_entity f;
        cpioreadex_init_entity(&f, name_buf.get(), cap);
        FZ_CHECK(cpioreadex_find(&ctx, &f, "TRAILER!!!") == nullptr);
    }
    FZ_CHECK(ctx.window_count <= 4);
    cpioreadex_deinit_entity(&e);
    cpioreadex_deinit(&ctx);
    return 0;
}
