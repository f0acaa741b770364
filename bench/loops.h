// The measured loops, shared by the timing benchmarks and the instruction
// counter. Each returns a checksum so that nothing is optimised away.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "encoders.h"
#include "viredovozu.h"

#ifdef VIREDOVOZU_HAVE_LIBARCHIVE
#include <archive.h>
#include <archive_entry.h>
#endif

namespace bench {

using testenc::Fmt;

// A sink that reads every byte.
inline uint64_t touch(const void *data, size_t len) {
    const auto *p = static_cast<const unsigned char *>(data);
    uint64_t acc = 0;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc += w;
    }
    for (; i < len; ++i) acc += p[i];
    return acc;
}

// ---- in-memory reader
inline uint64_t walk(cpioread_ctx *ctx) {
    cpio_simple_entity e;
    uint64_t sum = 0;
    for (auto *p = cpioread_first(ctx, &e); p; p = cpioread_next(ctx, &e))
        sum += uint64_t(e.name[0]) + e.filesize + e.mtime + e.mode;
    return sum;
}

inline uint64_t list_mem(const std::string &img) {
    cpioread_ctx ctx;
    if (!cpioread_init(&ctx, img.data())) std::abort();
    return walk(&ctx);
}

// The same walk with a bound: nothing outside the image is read.
inline uint64_t list_bounded(const std::string &img) {
    cpioread_ctx ctx;
    if (!cpioread_init_bounded(&ctx, img.data(), img.size())) std::abort();
    return walk(&ctx);
}

inline uint64_t find_mem(const std::string &img, const char *name) {
    cpioread_ctx ctx;
    cpio_simple_entity e;
    if (!cpioread_init(&ctx, img.data()) || !cpioread_find(&ctx, &e, name)) std::abort();
    return e.filesize;
}

// ---- block reader over memory
struct MemSource {
    const char *p;
    uint64_t n;
};

inline int32_t mem_read(void *user, void *dst, uint32_t bs, uint32_t first, uint32_t count) {
    const auto *s = static_cast<const MemSource *>(user);
    const uint64_t off = uint64_t{first} * bs;
    if (off >= s->n) return 0;
    const uint64_t want = uint64_t{count} * bs, avail = s->n - off;
    if (avail >= want) {
        std::memcpy(dst, s->p + off, want);
        return int32_t(count);
    }
    const uint64_t blocks = (avail + bs - 1) / bs;
    std::memcpy(dst, s->p + off, avail);
    std::memset(static_cast<char *>(dst) + avail, 0, blocks * bs - avail);
    return int32_t(blocks);
}
inline void *mem_alloc(void *, uint32_t size) { return std::malloc(size); }
inline void mem_free(void *, void *p) { std::free(p); }

struct BlockReader {
    MemSource src;
    cpioreadex_ctx ctx;
    BlockReader(const std::string &img, uint32_t bs) : src{img.data(), img.size()} {
        if (!cpioreadex_init(&ctx, bs, mem_read, &src, mem_alloc, mem_free, nullptr)) std::abort();
    }
    ~BlockReader() { cpioreadex_deinit(&ctx); }
};

inline uint64_t list_blocks(const std::string &img, uint32_t bs) {
    BlockReader r(img, bs);
    char name[256];
    cpio_extended_entity e;
    cpioreadex_init_entity(&e, name, sizeof name);
    uint64_t sum = 0;
    for (auto *p = cpioreadex_first(&r.ctx, &e); p; p = cpioreadex_next(&r.ctx, &e))
        sum += uint64_t(name[0]) + e.filesize + e.mtime + e.mode;
    return sum;
}

inline uint64_t find_blocks(const std::string &img, uint32_t bs, const char *name) {
    BlockReader r(img, bs);
    char buf[256];
    cpio_extended_entity e;
    cpioreadex_init_entity(&e, buf, sizeof buf);
    if (!cpioreadex_find(&r.ctx, &e, name)) std::abort();
    return e.filesize;
}

inline void sink_touch(void *user, const void *data, uint32_t len) {
    *static_cast<uint64_t *>(user) += touch(data, len);
}

inline uint64_t stream_blocks(const std::string &img, uint32_t bs) {
    BlockReader r(img, bs);
    cpio_extended_entity e;
    cpioreadex_init_entity(&e, nullptr, 0);
    uint64_t sum = 0;
    for (auto *p = cpioreadex_first(&r.ctx, &e); p; p = cpioreadex_next(&r.ctx, &e))
        if (cpioreadex_do_data(&r.ctx, &e, 0, e.filesize, sink_touch, &sum) != 0) std::abort();
    return sum;
}

// The in-memory reader hands out pointers into the image: no copy at all.
inline uint64_t stream_mem(const std::string &img) {
    cpioread_ctx ctx;
    cpio_simple_entity e;
    uint64_t sum = 0;
    if (!cpioread_init(&ctx, img.data())) std::abort();
    for (auto *p = cpioread_first(&ctx, &e); p; p = cpioread_next(&ctx, &e)) sum += touch(e.data, e.filesize);
    return sum;
}

// The floor of streaming: the copy a read callback must make, in 64 KiB
// pieces, and the sink reading it.
inline uint64_t stream_memcpy(const std::string &img) {
    static char buf[1 << 16];
    uint64_t sum = 0;
    for (size_t at = 0; at < img.size(); at += sizeof buf) {
        const size_t n = img.size() - at < sizeof buf ? img.size() - at : sizeof buf;
        std::memcpy(buf, img.data() + at, n);
        sum += touch(buf, n);
    }
    return sum;
}

// ---- the floor of listing: convert namesize and filesize, step on
inline uint32_t hex8(const char *p) {
    uint32_t v = 0;
    for (int i = 0; i < 8; ++i) v = v * 16 + uint32_t(p[i] <= '9' ? p[i] - '0' : (p[i] | 0x20) - 'a' + 10);
    return v;
}
inline uint32_t oct(const char *p, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = v * 8 + uint32_t(p[i] - '0');
    return v;
}
inline uint64_t list_floor(Fmt f, const std::string &img, uint32_t entries) {
    const char *p = img.data();
    uint64_t sum = 0;
    for (uint32_t i = 0; i < entries; ++i) {
        uint32_t ns, fs;
        switch (f) {
            case Fmt::newc:
                ns = hex8(p + 94), fs = hex8(p + 54);
                p += ((110 + ns + 3) & ~3u) + ((fs + 3) & ~3u);
                break;
            case Fmt::odc:
                ns = oct(p + 59, 6), fs = oct(p + 65, 11);
                p += 76 + ns + fs;
                break;
            default: {
                const auto *b = reinterpret_cast<const unsigned char *>(p);
                ns = b[20] | b[21] << 8;
                fs = uint32_t(b[22] | b[23] << 8) << 16 | (b[24] | b[25] << 8);
                p += 26 + ((ns + 1) & ~1u) + ((fs + 1) & ~1u);
            }
        }
        sum += ns + fs;
    }
    return sum;
}

#ifdef VIREDOVOZU_HAVE_LIBARCHIVE
struct ArchiveReader {
    archive *a = archive_read_new();
    explicit ArchiveReader(const std::string &img) {
        archive_read_support_format_cpio(a);
        if (archive_read_open_memory(a, img.data(), img.size()) != ARCHIVE_OK) std::abort();
    }
    ~ArchiveReader() { archive_read_free(a); }
};

inline uint64_t list_libarchive(const std::string &img) {
    ArchiveReader r(img);
    archive_entry *e;
    uint64_t sum = 0;
    while (archive_read_next_header(r.a, &e) == ARCHIVE_OK)
        sum += uint64_t(archive_entry_pathname(e)[0]) + uint64_t(archive_entry_size(e)) +
               uint64_t(archive_entry_mtime(e)) + archive_entry_mode(e);
    return sum;
}

// libarchive over a read callback that copies 64 KiB at a time, the copy
// that the block reader's callback makes too.
struct CopyingSource {
    const std::string *img;
    size_t at = 0;
    char buf[1 << 16];
    static la_ssize_t read(archive *, void *user, const void **out) {
        auto *s = static_cast<CopyingSource *>(user);
        const size_t n = s->img->size() - s->at < sizeof s->buf ? s->img->size() - s->at : sizeof s->buf;
        std::memcpy(s->buf, s->img->data() + s->at, n);
        s->at += n;
        *out = s->buf;
        return la_ssize_t(n);
    }
};

inline uint64_t drain(archive *a) {
    archive_entry *e;
    uint64_t sum = 0;
    while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
        const void *buf;
        size_t len;
        la_int64_t off;
        while (archive_read_data_block(a, &buf, &len, &off) == ARCHIVE_OK) sum += touch(buf, len);
    }
    return sum;
}

inline uint64_t stream_libarchive_copying(const std::string &img) {
    static CopyingSource src;
    src.img = &img;
    src.at = 0;
    archive *a = archive_read_new();
    archive_read_support_format_cpio(a);
    if (archive_read_open(a, &src, nullptr, CopyingSource::read, nullptr) != ARCHIVE_OK) std::abort();
    const uint64_t sum = drain(a);
    archive_read_free(a);
    return sum;
}

inline uint64_t stream_libarchive(const std::string &img) {
    ArchiveReader r(img);
    return drain(r.a);
}

#endif

}  // namespace bench
