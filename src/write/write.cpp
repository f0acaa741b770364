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
constexpr uint32_t copy_len = 4096;

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
    FILE *file;
    uint32_t mtime;                   // of entries written from buffers and of links
    int32_t ino, devmajor, devminor;  // of the next entry
    cpio_link_group *links;
    int error;     // errno of the first failure that damaged the archive, or 0
    bool regular;  // the path named a regular file when it was opened
    char path[path_max + 1];
    byte copy_buf[copy_len];
    byte zero_pad[block_len];  // never written to
};

namespace {

// Eight upper-case hexadecimal digits, most significant first.
void spell(byte *at, uint32_t v) {
    static constexpr char digits[] = "0123456789ABCDEF";
    for (uint32_t i = newc::field_width; i-- > 0; v >>= 4) at[i] = static_cast<byte>(digits[v & 15]);
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

bool put(cpiowrite_ctx *ctx, const void *p, size_t n) {
    if (n == 0) return true;
    errno = 0;
    if (std::fwrite(p, n, 1, ctx->file) == 1) return true;
    return fail(ctx, errno);
}

// Zero bytes up to the next multiple of align (a power of two, at most
// block_len) of the stream position.
bool pad(cpiowrite_ctx *ctx, uint32_t align) {
    errno = 0;
    const off_t at = ftello(ctx->file);
    if (at < 0) return fail(ctx, errno);
    const uint32_t used = static_cast<uint32_t>(static_cast<uint64_t>(at) & (align - 1));
    return used == 0 || put(ctx, ctx->zero_pad, align - used);
}

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
    return put(ctx, h, sizeof h) && put(ctx, name, namesize) && pad(ctx, newc::align);
}

// Copies exactly size bytes of fd: a file that grew since its stat gives
// no more than its header declared; one that shrank fails the add.
bool copy_file(cpiowrite_ctx *ctx, int fd, uint32_t size) {
    for (uint32_t left = size; left != 0;) {
        const size_t want = left < copy_len ? left : copy_len;
        const ssize_t got = read(fd, ctx->copy_buf, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail(ctx, errno);
        }
        if (got == 0) return fail(ctx, EIO);
        if (!put(ctx, ctx->copy_buf, static_cast<size_t>(got))) return false;
        left -= static_cast<uint32_t>(got);
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
    // Every hard link of a group gets nlink count + 1, wherever it lies.
    bool moved = false;
    for (const cpio_link_group *g = ctx->links; g != nullptr; g = g->next) {
        byte nlink[newc::field_width];
        spell(nlink, g->count + 1);
        for (uint32_t i = 0; i < g->count; ++i) {
            moved = true;
            errno = 0;
            if (fseeko(ctx->file, static_cast<off_t>(g->offsets[i] + newc::nlink), SEEK_SET) != 0)
                fail(ctx, errno);
            else
                put(ctx, nlink, sizeof nlink);
        }
    }
    // A trailer written anywhere but at the end would overwrite an entry.
    bool at_end = true;
    if (moved) {
        errno = 0;
        at_end = fseeko(ctx->file, 0, SEEK_END) == 0;
        if (!at_end) fail(ctx, errno);
    }
    if (at_end) {
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
        // Header and name end on a multiple of 4, so padding to 512 pads to 4.
        put(ctx, h, sizeof h) && put(ctx, viredovozu::trailer_name, trailer_namesize) && pad(ctx, block_len);
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
    errno = 0;
    const off_t at = ftello(ctx->file);
    if (at < 0) {
        if (errno == 0) errno = EIO;
        return 0;
    }
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
