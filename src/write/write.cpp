// The newc writer. Every entry goes through _cpio_begin_entry (header, name,
// padding to 4), then its data and padding to 4 again. cpiowrite_finish
// rewrites the nlink of every recorded hard link, appends the trailer and
// pads the archive to a multiple of 512.
//
// Every stream call is checked. The first failure after bytes reached the
// archive is kept in the context, and cpiowrite_finish reports it: a
// damaged archive is never reported as complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "formats/bytes.h"
#include "formats/newc_layout.h"
#include "viredovozu.h"

namespace {

using viredovozu::byte;
namespace newc = viredovozu::newc;

// The longest path, and the longest name that the adders' first test lets
// through. The emission is tighter: namesize (the NUL counted) at most 259.
constexpr size_t path_max = 259;
constexpr size_t name_max = 259;
constexpr size_t namesize_max = 259;

// The inode numbers an entry can carry.
constexpr int32_t ino_first = 1;
constexpr int32_t ino_last = 0x7FFFFFFE;

constexpr uint32_t block_len = 512;  // the archive ends on a multiple of it
// The context buffers the archive itself and hands the stream whole
// buffers, which start at multiples of buf_len in the file: the kernel
// sees large aligned writes. Files are read straight into the buffer.
constexpr uint32_t buf_len = 256 * 1024;

// The trailer's name with its NUL.
constexpr uint32_t trailer_namesize = sizeof viredovozu::trailer_name;

}  // namespace

// The hard-link entries of one identity (ino, devmajor, devminor), newest
// group first. offsets[0..count) are where the headers of the entries
// written completely begin.
struct cpio_link_group {
    cpio_link_group *next;
    int32_t ino, devmajor, devminor;
    uint32_t count;
    uint32_t capacity;  // elements allocated at offsets
    int64_t *offsets;
};

struct cpiowrite_ctx {
    FILE *file;                       // unbuffered: the context buffers
    uint64_t pos;                     // bytes of the archive so far
    uint32_t buffered;                // of them, in buf and not yet written
    uint32_t mtime;                   // of entries written from buffers and of links
    int32_t ino, devmajor, devminor;  // of the next entry
    cpio_link_group *links;
    int error;     // errno of the first failure that damaged the archive, or 0
    bool regular;  // the path named a regular file when it was opened
    char path[path_max + 1];
    byte zero_pad[block_len];  // never written to
    byte buf[buf_len];
};

namespace {

// Eight upper-case hexadecimal digits, most significant first, spelled
// all at once: one nibble per byte, then "0"-"9" or "A"-"F" for each.
void spell(byte *at, uint32_t v) {
    uint64_t x = __builtin_bswap32(v);  // the most significant byte first
    x = (x | x << 16) & 0x0000FFFF0000FFFFull;
    x = (x | x << 8) & 0x00FF00FF00FF00FFull;
    x = ((x >> 4) & 0x000F000F000F000Full) | ((x & 0x000F000F000F000Full) << 8);
    const uint64_t letters = ((x + 0x0606060606060606ull) & 0x1010101010101010ull) >> 4;
    x += 0x3030303030303030ull + letters * 7;
    if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
    std::memcpy(at, &x, newc::field_width);
}

struct HeaderValues {
    uint32_t ino, mode, uid, gid, nlink, mtime, filesize, devmajor, devminor, namesize;
};

// rdevmajor, rdevminor and check are always 0.
void fill_header(byte (&h)[newc::header_len], const HeaderValues &v) {
    std::memcpy(h, newc::magic, newc::magic_len);
    spell(h + newc::ino, v.ino);
    spell(h + newc::mode, v.mode);
    spell(h + newc::uid, v.uid);
    spell(h + newc::gid, v.gid);
    spell(h + newc::nlink, v.nlink);
    spell(h + newc::mtime, v.mtime);
    spell(h + newc::filesize, v.filesize);
    spell(h + newc::devmajor, v.devmajor);
    spell(h + newc::devminor, v.devminor);
    spell(h + newc::rdevmajor, 0);
    spell(h + newc::rdevminor, 0);
    spell(h + newc::namesize, v.namesize);
    spell(h + newc::check, 0);
}

// Keeps the first failure that damaged the archive (EIO when the failing
// call left no errno) and leaves errno at this one.
bool fail(cpiowrite_ctx *ctx, int err) {
    if (err == 0) err = EIO;
    if (ctx->error == 0) ctx->error = err;
    errno = err;
    return false;
}

// The context is used by one thread at a time: its stream needs no lock.
size_t write_stream(const void *p, size_t n, FILE *file) {
#ifdef __GLIBC__
    return fwrite_unlocked(p, n, 1, file);
#else
    return std::fwrite(p, n, 1, file);
#endif
}

bool write_out(cpiowrite_ctx *ctx, const void *p, size_t n) {
    errno = 0;
    return write_stream(p, n, ctx->file) == 1 || fail(ctx, errno);
}

// Writes what the buffer holds.
bool flush(cpiowrite_ctx *ctx) {
    const uint32_t n = ctx->buffered;
    ctx->buffered = 0;
    return n == 0 || write_out(ctx, ctx->buf, n);
}

// Appends n bytes to the archive. Whole buffers' worth past a flush go to
// the stream directly, without a copy.
bool put(cpiowrite_ctx *ctx, const void *p, size_t n) {
    const auto *src = static_cast<const byte *>(p);
    ctx->pos += n;
    while (n != 0) {
        if (ctx->buffered == 0 && n >= buf_len) {
            const size_t direct = n - n % buf_len;
            if (!write_out(ctx, src, direct)) return false;
            src += direct;
            n -= direct;
            continue;
        }
        const size_t k = n < buf_len - ctx->buffered ? n : buf_len - ctx->buffered;
        std::memcpy(ctx->buf + ctx->buffered, src, k);
        ctx->buffered += static_cast<uint32_t>(k);
        src += k;
        n -= k;
        if (ctx->buffered == buf_len && !flush(ctx)) return false;
    }
    return true;
}

// Zero bytes from pos up to the next multiple of align (a power of two,
// at most block_len).
uint32_t pad_len(uint64_t pos, uint32_t align) { return static_cast<uint32_t>(-pos & (align - 1)); }

bool pad(cpiowrite_ctx *ctx, uint32_t align) { return put(ctx, ctx->zero_pad, pad_len(ctx->pos, align)); }

bool name_given(const char *name) {
    if (name != nullptr) return true;
    errno = EFAULT;
    return false;
}

// The adders' first test, before they look at anything else.
bool name_passes(const char *name) {
    if (!name_given(name)) return false;
    if (std::strlen(name) <= name_max) return true;
    errno = ENAMETOOLONG;
    return false;
}

// The emission's tests: the name first, then the inode number.
bool entry_allowed(const char *name, int32_t ino) {
    if (!name_given(name)) return false;
    if (std::strlen(name) + 1 > namesize_max) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (ino < ino_first || ino > ino_last) {
        errno = EMFILE;
        return false;
    }
    return true;
}

cpio_link_group *find_group(const cpiowrite_ctx *ctx, int32_t ino, int32_t devmajor, int32_t devminor) {
    for (cpio_link_group *g = ctx->links; g != nullptr; g = g->next)
        if (g->ino == ino && g->devmajor == devmajor && g->devminor == devminor) return g;
    return nullptr;
}

// Header, name and padding to 4 of one entry, with the context's inode
// number (advanced by one once the tests pass, whether or not the writes
// succeed) and device numbers. The nlink is 1 plus the count of the link
// group of the context's identity. Refused (nothing written, counter
// unchanged): ENAMETOOLONG, EMFILE.
bool _cpio_begin_entry(cpiowrite_ctx *ctx, const char *name, uint32_t filesize, uint16_t mode, uint32_t uid,
                       uint32_t gid, uint32_t mtime) {
    if (!entry_allowed(name, ctx->ino)) return false;
    const uint32_t namesize = static_cast<uint32_t>(std::strlen(name) + 1);
    const cpio_link_group *g = find_group(ctx, ctx->ino, ctx->devmajor, ctx->devminor);
    byte h[newc::header_len];
    fill_header(h, {
                       .ino = static_cast<uint32_t>(ctx->ino),
                       .mode = mode,
                       .uid = uid,
                       .gid = gid,
                       .nlink = g != nullptr ? g->count + 1 : 1,
                       .mtime = mtime,
                       .filesize = filesize,
                       .devmajor = static_cast<uint32_t>(ctx->devmajor),
                       .devminor = static_cast<uint32_t>(ctx->devminor),
                       .namesize = namesize,
                   });
    ++ctx->ino;
    // Header, name and padding leave in one write.
    byte entry[newc::header_len + namesize_max + newc::align];
    const uint32_t len = newc::header_len + namesize;
    const uint32_t padded = len + pad_len(ctx->pos + len, newc::align);
    std::memcpy(entry, h, sizeof h);
    std::memcpy(entry + newc::header_len, name, namesize);
    std::memset(entry + len, 0, padded - len);
    return put(ctx, entry, padded);
}

// Copies exactly size bytes of fd, read straight into the buffer: a file
// that grew since its stat gives no more than its header declared; one
// that shrank fails the add.
bool copy_file(cpiowrite_ctx *ctx, int fd, uint32_t size) {
    for (uint32_t left = size; left != 0;) {
        const uint32_t room = buf_len - ctx->buffered;
        const ssize_t got = read(fd, ctx->buf + ctx->buffered, left < room ? left : room);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail(ctx, errno);
        }
        if (got == 0) return fail(ctx, EIO);
        ctx->buffered += static_cast<uint32_t>(got);
        ctx->pos += static_cast<uint64_t>(got);
        left -= static_cast<uint32_t>(got);
        if (ctx->buffered == buf_len && !flush(ctx)) return false;
    }
    return true;
}

void release(cpiowrite_ctx *ctx) {
    for (cpio_link_group *g = ctx->links; g != nullptr;) {
        cpio_link_group *next = g->next;
        std::free(g->offsets);
        std::free(g);
        g = next;
    }
    std::free(ctx);
}

// Room for one more offset in g; false (errno from the allocator) leaves g
// as it was.
bool reserve(cpio_link_group *g) {
    if (g->count < g->capacity) return true;
    if (g->capacity > UINT32_MAX / 2) {
        errno = ENOMEM;
        return false;
    }
    const uint32_t capacity = g->capacity * 2;
    void *grown = std::realloc(g->offsets, capacity * sizeof *g->offsets);
    if (grown == nullptr) return false;
    g->offsets = static_cast<int64_t *>(grown);
    g->capacity = capacity;
    return true;
}

// A new group at the head of the list, with room for one offset.
cpio_link_group *add_group(cpiowrite_ctx *ctx, int32_t ino, int32_t devmajor, int32_t devminor) {
    auto *g = static_cast<cpio_link_group *>(std::calloc(1, sizeof(cpio_link_group)));
    if (g == nullptr) return nullptr;
    g->offsets = static_cast<int64_t *>(std::malloc(sizeof *g->offsets));
    if (g->offsets == nullptr) {
        std::free(g);
        return nullptr;
    }
    g->capacity = 1;
    g->ino = ino;
    g->devmajor = devmajor;
    g->devminor = devminor;
    g->next = ctx->links;
    ctx->links = g;
    return g;
}

}  // namespace

cpiowrite_ctx *cpiowrite_start(const char *path) {
    if (path == nullptr) {
        errno = EFAULT;
        return nullptr;
    }
    const size_t len = std::strlen(path);
    if (len > path_max) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    auto *ctx = static_cast<cpiowrite_ctx *>(std::calloc(1, sizeof(cpiowrite_ctx)));
    if (ctx == nullptr) return nullptr;
    // "e": the descriptor is not inherited by programs the caller runs.
    ctx->file = std::fopen(path, "wbe");
    if (ctx->file == nullptr) {
        const int err = errno;
        std::free(ctx);
        errno = err;
        return nullptr;
    }
    std::setvbuf(ctx->file, nullptr, _IONBF, 0);
    struct stat st {};
    ctx->regular = fstat(fileno(ctx->file), &st) == 0 && S_ISREG(st.st_mode);
    std::memcpy(ctx->path, path, len + 1);
    ctx->mtime = static_cast<uint32_t>(std::time(nullptr));
    ctx->ino = 0x100000;
    ctx->devmajor = 0;
    ctx->devminor = 30;
    return ctx;
}

int cpiowrite_finish(cpiowrite_ctx *ctx) {
    if (ctx == nullptr) return 0;  // errno stays that of the failed start
    // The trailer, padding to 512 (header and name end on a multiple of 4,
    // so this pads to 4 as well), and everything buffered out to the file.
    byte h[newc::header_len];
    fill_header(h, {.ino = 0,
                    .mode = 0,
                    .uid = 0,
                    .gid = 0,
                    .nlink = 1,
                    .mtime = 0,
                    .filesize = 0,
                    .devmajor = 0,
                    .devminor = 0,
                    .namesize = trailer_namesize});
    (void)(put(ctx, h, sizeof h) && put(ctx, viredovozu::trailer_name, trailer_namesize) && pad(ctx, block_len));
    flush(ctx);
    // Then every hard link of a group gets nlink count + 1, wherever it lies.
    for (const cpio_link_group *g = ctx->links; g != nullptr; g = g->next) {
        byte nlink[newc::field_width];
        spell(nlink, g->count + 1);
        for (uint32_t i = 0; i < g->count; ++i) {
            errno = 0;
            if (fseeko(ctx->file, static_cast<off_t>(g->offsets[i] + newc::nlink), SEEK_SET) != 0)
                fail(ctx, errno);
            else
                write_out(ctx, nlink, sizeof nlink);
        }
    }
    errno = 0;
    if (std::fflush(ctx->file) != 0) fail(ctx, errno);
    if (std::ferror(ctx->file)) fail(ctx, EIO);
    errno = 0;
    if (std::fclose(ctx->file) != 0) fail(ctx, errno);
    const int err = ctx->error;
    release(ctx);
    if (err != 0) {
        errno = err;
        return 0;
    }
    return 1;
}

void cpiowrite_abort(cpiowrite_ctx *ctx) {
    if (ctx == nullptr) return;
    const int err = errno;
    if (ctx->file != nullptr) std::fclose(ctx->file);
    // Only what was a regular file is removed: never a device or a FIFO
    // that the path named.
    if (ctx->regular && ctx->path[0] != '\0') unlink(ctx->path);
    release(ctx);
    errno = err;
}

int32_t cpiowrite_get_ino(const cpiowrite_ctx *ctx) { return ctx->ino; }
int32_t cpiowrite_get_devmajor(const cpiowrite_ctx *ctx) { return ctx->devmajor; }
int32_t cpiowrite_get_devminor(const cpiowrite_ctx *ctx) { return ctx->devminor; }
uint32_t cpiowrite_get_mtime(const cpiowrite_ctx *ctx) { return ctx->mtime; }

namespace {

int set_field(int32_t &field, int32_t value) {
    if (value < 0) {
        errno = EINVAL;
        return 0;
    }
    field = value;
    return 1;
}

}  // namespace

int cpiowrite_set_ino(cpiowrite_ctx *ctx, int32_t value) { return set_field(ctx->ino, value); }
int cpiowrite_set_devmajor(cpiowrite_ctx *ctx, int32_t value) { return set_field(ctx->devmajor, value); }
int cpiowrite_set_devminor(cpiowrite_ctx *ctx, int32_t value) { return set_field(ctx->devminor, value); }

int cpiowrite_set_mtime(cpiowrite_ctx *ctx, uint32_t value) {
    ctx->mtime = value;
    return 1;
}

int cpiowrite_add_file(cpiowrite_ctx *ctx, const char *name, uint16_t mode, const char *path) {
    if (!name_passes(name)) return 0;
    struct stat st {};
    if (stat(path, &st) != 0) return 0;
    // The header holds 32 bits of size.
    if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
        errno = EFBIG;
        return 0;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const uint32_t size = static_cast<uint32_t>(st.st_size);
    const bool ok =
        _cpio_begin_entry(ctx, name, size, mode, st.st_uid, st.st_gid, static_cast<uint32_t>(st.st_mtime)) &&
        copy_file(ctx, fd, size) && pad(ctx, newc::align);
    const int err = errno;
    close(fd);
    errno = err;
    return ok ? 1 : 0;
}

int cpiowrite_add_data(cpiowrite_ctx *ctx, const char *name, uint16_t mode, uint32_t uid, uint32_t gid,
                       const void *data, uint32_t len) {
    if (!name_passes(name)) return 0;
    if (data == nullptr && len != 0) {
        errno = EFAULT;
        return 0;
    }
    const bool ok =
        _cpio_begin_entry(ctx, name, len, mode, uid, gid, ctx->mtime) && put(ctx, data, len) && pad(ctx, newc::align);
    return ok ? 1 : 0;
}

int cpiowrite_add_data2(cpiowrite_ctx *ctx, const char *name, uint16_t mode, uint32_t uid, uint32_t gid,
                        const void *data1, uint32_t len1, const void *data2, uint32_t len2) {
    if (!name_passes(name)) return 0;
    if ((data1 == nullptr && len1 != 0) || (data2 == nullptr && len2 != 0)) {
        errno = EFAULT;
        return 0;
    }
    const uint64_t total = uint64_t{len1} + len2;
    if (total > UINT32_MAX) {
        errno = EFBIG;
        return 0;
    }
    const bool ok = _cpio_begin_entry(ctx, name, static_cast<uint32_t>(total), mode, uid, gid, ctx->mtime) &&
                    put(ctx, data1, len1) && put(ctx, data2, len2) && pad(ctx, newc::align);
    return ok ? 1 : 0;
}

int cpiowrite_add_datav(cpiowrite_ctx *ctx, const char *name, uint16_t mode, uint32_t uid, uint32_t gid,
                        const cpio_span *spans, int32_t span_count) {
    if (!name_passes(name)) return 0;
    if (span_count < 0) {
        errno = EINVAL;
        return 0;
    }
    if (spans == nullptr && span_count != 0) {
        errno = EFAULT;
        return 0;
    }
    // Every span is looked at before the total is judged: a bad span wins
    // over an overflowing total.
    uint64_t total = 0;
    for (int32_t i = 0; i < span_count; ++i) {
        if (spans[i].data == nullptr && spans[i].len != 0) {
            errno = EFAULT;
            return 0;
        }
        total += spans[i].len;
    }
    if (total > UINT32_MAX) {
        errno = EFBIG;
        return 0;
    }
    if (!_cpio_begin_entry(ctx, name, static_cast<uint32_t>(total), mode, uid, gid, ctx->mtime)) return 0;
    for (int32_t i = 0; i < span_count; ++i)
        if (!put(ctx, spans[i].data, spans[i].len)) return 0;
    return pad(ctx, newc::align) ? 1 : 0;
}

int cpiowrite_add_hardlink(cpiowrite_ctx *ctx, const char *name, uint16_t mode, uint32_t uid, uint32_t gid,
                           int32_t devmajor, int32_t devminor, int32_t ino) {
    // The emission's tests run before the group is touched, so that a
    // refused link leaves no trace.
    if (!name_passes(name) || !entry_allowed(name, ino)) return 0;
    const auto at = static_cast<int64_t>(ctx->pos);
    cpio_link_group *g = find_group(ctx, ino, devmajor, devminor);
    if (g == nullptr) {
        g = add_group(ctx, ino, devmajor, devminor);
        if (g == nullptr) return 0;
    } else if (!reserve(g)) {
        return 0;
    }
    g->offsets[g->count] = at;

    const int32_t kept_ino = ctx->ino, kept_devmajor = ctx->devmajor, kept_devminor = ctx->devminor;
    ctx->ino = ino;
    ctx->devmajor = devmajor;
    ctx->devminor = devminor;
    const bool ok = _cpio_begin_entry(ctx, name, 0, mode, uid, gid, ctx->mtime) && pad(ctx, newc::align);
    ctx->ino = kept_ino;
    ctx->devmajor = kept_devmajor;
    ctx->devminor = kept_devminor;
    if (!ok) return 0;
    ++g->count;
    return 1;
}
