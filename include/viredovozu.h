/*
 * viredovozu: read and write cpio archives.
 *
 * Reads newc ("070701"), odc ("070707") and the old binary format (either
 * byte order); writes newc. Three ways in:
 *
 *   cpioread_*    an archive held whole in memory, parsed in place;
 *   cpioreadex_*  an archive read block by block through caller callbacks,
 *                 with 64-bit offsets and at most four blocks held;
 *   cpiowrite_*   a newc archive written to a file.
 *
 * Readers set no errno and allocate nothing themselves. The writer reports
 * failures through its result and errno. No function keeps global state:
 * different contexts may be used from different threads at once, one thread
 * per context. The format tables and the list of format names are constant.
 *
 * Untrusted input: cpioread_init trusts its image and takes no length; a
 * damaged archive can make it read outside the image. Read untrusted
 * archives with the bounded in-memory reader (cpioread_init_bounded), which
 * reads nothing outside the size it is given, or with the block reader
 * (cpioreadex_*), which reads nothing outside its window.
 */
#ifndef VIREDOVOZU_H
#define VIREDOVOZU_H

#include <stddef.h>
#include <stdint.h>

#define VIREDOVOZU_VERSION_MAJOR 1
#define VIREDOVOZU_VERSION_MINOR 0
#define VIREDOVOZU_VERSION_PATCH 0

#if defined(_WIN32)
#define VIREDOVOZU_API
#else
#define VIREDOVOZU_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Format layer
 * ------------------------------------------------------------------------- */

/* Tag of an initialised cpio_extended_entity. */
#define cpio_entity_magic ((uint32_t)0xC910A61Cu)

/* One entry of an archive held in memory. name and data point into the
 * caller's image and live as long as it does; nothing is copied. namesize
 * counts the name's terminating NUL as the header states it. */
typedef struct cpio_simple_entity {
    const char *name;
    uint32_t namesize, mtime, mode, filesize;
    const unsigned char *data;
} cpio_simple_entity;

/* One entry of an archive read by blocks. magic, name_buf and name_buf_size
 * are set by cpioreadex_init_entity and never by the readers; every other
 * field is the entry's, filled by the readers. Offsets are 64-bit byte
 * offsets from the archive's start. odc and bin entries carry no device
 * numbers: the four device fields are 0 for them. */
typedef struct cpio_extended_entity {
    uint32_t magic;
    uint64_t hdr_offset, next_offset, data_offset;
    char *name_buf;         /* caller's buffer for the name, or NULL */
    uint32_t name_buf_size; /* capacity of name_buf in bytes */
    uint32_t namesize, mtime, mode, filesize, gid, uid, nlink, ino, devmajor,
        devminor, rdevmajor, rdevminor;
} cpio_extended_entity;

/* The operations of one format, called on a header held in memory. Headers
 * are trusted: only the magic is tested, numeric fields convert without
 * validation. Each operation reads only what it needs:
 *   probe, is_valid_hdr   the magic, byte by byte, stopping at the first
 *                         byte that differs (6 bytes, 2 for bin);
 *   is_trailer            the first ten bytes of the name;
 *   get_name              nothing: returns the address of the name;
 *   name_equal            the header, then len bytes of the name only when
 *                         len equals namesize;
 *   fill_extended_entity  the header, then at most namesize bytes of the
 *                         name, only when it copies the name.
 * fill_extended_entity returns the record, or NULL when name_buf is set and
 * name_buf_size < namesize (the record already holds the new entry's values
 * and offsets; name_buf is untouched). A name with no NUL within its
 * namesize bytes is cut to namesize - 1 bytes and terminated; a namesize of
 * 0 gives the empty name, or NULL when name_buf_size is 0. */
typedef struct cpio_ops {
    int (*probe)(const void *image);
    int (*is_valid_hdr)(const void *hdr);
    int (*is_trailer)(const void *hdr);
    const char *(*get_name)(const void *hdr);
    uint32_t (*get_entry_size)(const void *hdr);
    uint32_t (*get_data_offs)(const void *hdr);
    int (*name_equal)(const void *hdr, const char *name, uint32_t len);
    void (*fill_simple_entity)(const void *hdr, cpio_simple_entity *entity);
    cpio_extended_entity *(*fill_extended_entity)(const void *hdr,
                                                  cpio_extended_entity *entity,
                                                  uint64_t hdr_offset);
} cpio_ops;

VIREDOVOZU_API extern const cpio_ops cpio_ops__newc, cpio_ops__odc,
    cpio_ops__bin;

/* The table of the image's format (newc, then odc, then bin are tried), or
 * NULL. Reads at most the first six bytes; they must be readable. */
VIREDOVOZU_API const cpio_ops *cpio_find_ops_for_img__(const void *image);

/* "newc", "odc", "bin", then NULL; constant and library-owned. */
VIREDOVOZU_API const char *const *skarnel_supported_formats(void);

/* ---------------------------------------------------------------------------
 * In-memory reader
 *
 * The context borrows the image: it must stay readable and unchanged while
 * the context or any record filled from it is used. Nothing to release.
 * After cpioread_init the image is trusted: it must hold every visited
 * header and name and end with a trailer or with bytes that are not a
 * header. After cpioread_init_bounded nothing is trusted (see there).
 * ------------------------------------------------------------------------- */

typedef struct cpioread_ctx {
    const cpio_ops *ops;          /* format table; NULL after a failed init */
    const unsigned char *image;   /* first byte of the image */
    uint32_t count;               /* entries before the trailer */
    const unsigned char *current; /* header last walked to, or NULL */
    const unsigned char *end;     /* one past the image's last byte, or NULL:
                                     no bound (cpioread_init) */
} cpioread_ctx;

/* Detects the format and counts the entries of a trusted image; sets end
 * to NULL (no bound). Returns ctx, or NULL when no format recognises the
 * image (ctx then holds NULLs and count 0). Counting stops at the trailer,
 * at a header with a bad magic, or right after an entry whose size
 * computes to 0 (which is counted). */
VIREDOVOZU_API cpioread_ctx *cpioread_init(cpioread_ctx *ctx,
                                           const void *image);

/* cpioread_init over the size bytes at image, for archives that are not
 * trusted. Sets end to image + size; init, find, first and next then read
 * no byte outside those size bytes, whatever they hold. An entry counts,
 * and is returned, only when its header, its whole name (namesize bytes,
 * the last of them a NUL) and its data (filesize bytes from where the
 * name's padding ends, even when filesize is 0) lie inside the image, and
 * its sizes do not wrap; the first entry that does not is
 * treated as a bad header: counting and walking end in front of it, and
 * the entries before it stay readable. The trailer is recognised only when
 * the ten bytes of its test lie inside; an image that ends without one
 * simply ends the walk. So every returned record has a NUL-terminated name
 * and filesize readable bytes at data, all inside the image. An image of
 * fewer than six bytes is detected without reading past it (it can be a
 * bin image with no entry). Returns ctx, or NULL when no format recognises
 * the image or image is NULL (ctx then holds NULLs and count 0). On a
 * well-formed image count, entries and pointers are those of
 * cpioread_init. */
VIREDOVOZU_API cpioread_ctx *
cpioread_init_bounded(cpioread_ctx *ctx, const void *image, size_t size);

/* Fills entity with the first entry, in archive order, whose name equals
 * name byte for byte; returns entity, or NULL when there is none or name is
 * NULL or empty. Does not move a walk. */
VIREDOVOZU_API cpio_simple_entity *
cpioread_find(cpioread_ctx *ctx, cpio_simple_entity *entity, const char *name);

/* Starts a walk: fills entity with the first entry and returns it, or NULL
 * when the archive has no entries. */
VIREDOVOZU_API cpio_simple_entity *cpioread_first(cpioread_ctx *ctx,
                                                  cpio_simple_entity *entity);

/* Continues the walk: fills entity with the next entry and returns it, or
 * NULL when the walk has ended (or none was started). A walk returns
 * exactly count entries. */
VIREDOVOZU_API cpio_simple_entity *cpioread_next(cpioread_ctx *ctx,
                                                 cpio_simple_entity *entity);

/* ---------------------------------------------------------------------------
 * Block reader
 *
 * Every byte is brought in through read_fn, block by block, into a window of
 * four blocks obtained once from alloc_fn. Callbacks are called
 * synchronously from inside the operations, with the caller's pointer first.
 * ------------------------------------------------------------------------- */

/* Store block_count (1 to 4) consecutive blocks starting at first_block at
 * dst; return how many whole blocks were stored (0 to block_count). Fewer
 * means the archive ends there; complete a partial last block with zeros.
 * A result outside 0 to block_count is clamped into that range. */
typedef int32_t (*cpioreadex_read_fn)(void *read_user, void *dst,
                                      uint32_t block_size,
                                      uint32_t first_block,
                                      uint32_t block_count);
typedef void *(*cpioreadex_alloc_fn)(void *alloc_user, uint32_t size);
typedef void (*cpioreadex_free_fn)(void *alloc_user, void *ptr);
/* Receives a run of entry data. data points into the window and is valid
 * only during the call. */
typedef void (*cpioreadex_data_fn)(void *data_user, const void *data,
                                   uint32_t len);

typedef struct cpioreadex_ctx {
    const cpio_ops *ops;
    uint32_t block_size, window_first, window_count;
    unsigned char *window; /* 4 * block_size bytes from alloc_fn */
    cpioreadex_read_fn read_fn;
    void *read_user;
    cpioreadex_alloc_fn alloc_fn;
    cpioreadex_free_fn free_fn;
    void *alloc_user;
} cpioreadex_ctx;

/* Initialises ctx: block_size 0 means 512; otherwise it must be a power of
 * two from 64 to 2^29 (smaller blocks cannot hold a header, larger ones
 * would overflow the allocation size). Allocates 4 * block_size bytes,
 * reads block 0 and detects the format. Returns ctx, or NULL on a bad block
 * size or NULL callback (no callback called), a failed allocation, a
 * detection read that does not return 1, or an unknown format (the window
 * is then released). Headers and data are reached at offsets up to
 * block_size * 0x7FFFFFFF. */
VIREDOVOZU_API cpioreadex_ctx *
cpioreadex_init(cpioreadex_ctx *ctx, uint32_t block_size,
                cpioreadex_read_fn read_fn, void *read_user,
                cpioreadex_alloc_fn alloc_fn, cpioreadex_free_fn free_fn,
                void *alloc_user);

/* Releases the window through free_fn and zeroes ctx. Only for a context
 * whose init succeeded, once. */
VIREDOVOZU_API void cpioreadex_deinit(cpioreadex_ctx *ctx);

/* Zeroes entity, tags it with cpio_entity_magic and records the caller's
 * name buffer (NULL: names are not copied). */
VIREDOVOZU_API void cpioreadex_init_entity(cpio_extended_entity *entity,
                                           char *name_buf,
                                           uint32_t name_buf_size);

/* Zeroes entity; the name buffer itself is not touched. */
VIREDOVOZU_API void cpioreadex_deinit_entity(cpio_extended_entity *entity);

/* Read the first entry, or the one after the entity's, into entity. Return
 * entity, or NULL: entity not initialised, a bad magic, the trailer, an
 * offset beyond the limit, a name that does not fit name_buf (the entity
 * then holds the entry's numbers and offsets, and the next call continues
 * after it), or a damaged entry: one whose sizes wrap so that it would not
 * advance, or whose name runs past the window when it is copied. On NULL
 * for the other reasons the entity keeps what it held. */
VIREDOVOZU_API cpio_extended_entity *
cpioreadex_first(cpioreadex_ctx *ctx, cpio_extended_entity *entity);
VIREDOVOZU_API cpio_extended_entity *
cpioreadex_next(cpioreadex_ctx *ctx, cpio_extended_entity *entity);

/* Walks from the first entry to the first whose name equals name. Needs a
 * name buffer that holds every name up to the match. Returns entity or
 * NULL; after NULL the entity holds the last entry examined. */
VIREDOVOZU_API cpio_extended_entity *
cpioreadex_find(cpioreadex_ctx *ctx, cpio_extended_entity *entity,
                const char *name);

/* The archive offset at which the window's delivered blocks end when the
 * trailer's header is found: the archive's length rounded up to whole
 * blocks when the trailer lies within its last four blocks. UINT64_MAX on
 * a bad header (including one in undelivered blocks) or a damaged entry
 * before the trailer. */
VIREDOVOZU_API uint64_t cpioreadex_get_size(cpioreadex_ctx *ctx);

/* Hands bytes offset to offset + length of the entity's data (cut at
 * filesize) to sink, in chunks straight from the window. Returns 0, or -1:
 * entity not initialised, offset > filesize, a position beyond the limit,
 * or a position where the read callback delivered nothing (an archive cut
 * off inside the data); chunks already handed on stay handed on. */
VIREDOVOZU_API int32_t cpioreadex_do_data(cpioreadex_ctx *ctx,
                                          const cpio_extended_entity *entity,
                                          uint32_t offset, uint32_t length,
                                          cpioreadex_data_fn sink,
                                          void *data_user);

/* ---------------------------------------------------------------------------
 * Writer (newc)
 *
 * Functions returning int give 1 on success and 0 on failure with errno set.
 * Nothing written is taken back: after a failed add the file holds a partial
 * entry; cpiowrite_abort removes it.
 * ------------------------------------------------------------------------- */

typedef struct cpiowrite_ctx cpiowrite_ctx; /* opaque */

/* One buffer of cpiowrite_add_datav; data may be NULL only with len 0. */
typedef struct cpio_span {
    uint32_t len;
    const void *data;
} cpio_span;

/* Creates the archive file (fopen "wb": an existing file is truncated) and
 * a context that owns it. NULL with ENAMETOOLONG when path is longer than
 * 259 characters (nothing created), EFAULT for a NULL path, or the errno of
 * the failed allocation or fopen. The entries' mtime starts as the current
 * time; ino at 0x100000, devmajor 0, devminor 30. End every context with
 * exactly one cpiowrite_finish or cpiowrite_abort. */
VIREDOVOZU_API cpiowrite_ctx *cpiowrite_start(const char *path);

/* Rewrites the link counts of hard links, appends the trailer, pads to a
 * multiple of 512, closes the file and releases ctx. Returns 1 for a
 * complete archive; 0 with the failing call's errno when a seek, write,
 * flush or the close fails or an earlier write failed, or with EIO when an
 * earlier add failed after writing its header (a partial entry). The first
 * failure decides errno. Writes what it can (no trailer when it cannot seek
 * back to the end), and closes the file and releases ctx either way. NULL
 * gives 0 and leaves errno as it was. */
VIREDOVOZU_API int cpiowrite_finish(cpiowrite_ctx *ctx);

/* Closes the file, removes it when the path named a regular file (never a
 * device or FIFO that it named) and releases ctx. Keeps errno. NULL is
 * ignored. */
VIREDOVOZU_API void cpiowrite_abort(cpiowrite_ctx *ctx);

/* The inode number the next entry receives (it advances by one per entry,
 * hard links excepted), and the device numbers of the following entries.
 * Setters refuse negative values with EINVAL. */
VIREDOVOZU_API int32_t cpiowrite_get_ino(const cpiowrite_ctx *ctx);
VIREDOVOZU_API int cpiowrite_set_ino(cpiowrite_ctx *ctx, int32_t value);
VIREDOVOZU_API int32_t cpiowrite_get_devmajor(const cpiowrite_ctx *ctx);
VIREDOVOZU_API int cpiowrite_set_devmajor(cpiowrite_ctx *ctx, int32_t value);
VIREDOVOZU_API int32_t cpiowrite_get_devminor(const cpiowrite_ctx *ctx);
VIREDOVOZU_API int cpiowrite_set_devminor(cpiowrite_ctx *ctx, int32_t value);

/* The mtime of entries written from buffers and of hard links; any value is
 * stored (set returns 1). */
VIREDOVOZU_API uint32_t cpiowrite_get_mtime(const cpiowrite_ctx *ctx);
VIREDOVOZU_API int cpiowrite_set_mtime(cpiowrite_ctx *ctx, uint32_t value);

/* Adders. Each writes one entry: header, name and data, each part padded
 * with zeros to a multiple of 4. Names are stored byte for byte; at most
 * 258 characters. Refusals, in the order tested (the first sets errno):
 *   EFAULT for a NULL name, ENAMETOOLONG for a name over 259 characters;
 *   the adder's own tests below;
 *   ENAMETOOLONG for a name of 259 characters, EMFILE when the inode number
 *   (the counter, or a hard link's ino) is outside 1 to 0x7FFFFFFE.
 * A refused call writes nothing and leaves the context unchanged. Once
 * bytes were written, a failure (errno of the failing call) leaves a
 * partial entry and the counter advanced, and cpiowrite_finish reports it. */

/* A regular file's data, size, owner and mtime, with the caller's mode.
 * stat's errno; EFBIG for a file that is not regular or is larger than
 * 0xFFFFFFFF bytes; open's errno. Copies exactly the size that stat
 * reported, also from a file that grows meanwhile; one that ends earlier
 * fails with EIO (a partial entry). */
VIREDOVOZU_API int cpiowrite_add_file(cpiowrite_ctx *ctx, const char *name,
                                      uint16_t mode, const char *path);

/* Data from one or two buffers. EFAULT for a NULL buffer with a nonzero
 * length; EFBIG when len1 + len2 exceeds 0xFFFFFFFF. */
VIREDOVOZU_API int cpiowrite_add_data(cpiowrite_ctx *ctx, const char *name,
                                      uint16_t mode, uint32_t uid,
                                      uint32_t gid, const void *data,
                                      uint32_t len);
VIREDOVOZU_API int cpiowrite_add_data2(cpiowrite_ctx *ctx, const char *name,
                                       uint16_t mode, uint32_t uid,
                                       uint32_t gid, const void *data1,
                                       uint32_t len1, const void *data2,
                                       uint32_t len2);

/* Data from span_count spans, written in order. EINVAL for a negative
 * count; EFAULT for NULL spans with a nonzero count or a span with NULL data
 * and a nonzero len; EFBIG when the total exceeds 0xFFFFFFFF. */
VIREDOVOZU_API int cpiowrite_add_datav(cpiowrite_ctx *ctx, const char *name,
                                       uint16_t mode, uint32_t uid,
                                       uint32_t gid, const cpio_span *spans,
                                       int32_t span_count);

/* A data-less entry sharing the identity (ino, devmajor, devminor), with
 * the context's mtime; its nlink is rewritten at finish to the number of
 * links of the identity plus 1. Write the links first, then the
 * data-bearing entry with the context's ino and device numbers set to the
 * same identity, so that every entry shows the full count. The context's
 * counter and device numbers are left unchanged. ENOMEM (or the
 * allocator's errno) when the link cannot be recorded. */
VIREDOVOZU_API int cpiowrite_add_hardlink(cpiowrite_ctx *ctx, const char *name,
                                          uint16_t mode, uint32_t uid,
                                          uint32_t gid, int32_t devmajor,
                                          int32_t devminor, int32_t ino);

#ifdef __cplusplus
}
#endif

#endif /* VIREDOVOZU_H */
