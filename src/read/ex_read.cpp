// The block reader: every byte comes in through the caller's read callback
// into a window of four consecutive blocks, and headers are read in place
// there.
#include <bit>
#include <cstring>

#include "formats/entity_name.h"
#include "viredovozu.h"

namespace {

using byte = unsigned char;
using viredovozu::store_name;

constexpr uint32_t window_blocks = 4;
constexpr uint32_t default_block_size = 512;
// Smaller blocks could not hold a header and the start of its name in the
// window; from 2^30 up, 4 blocks would not fit the 32-bit allocation size.
constexpr uint32_t min_block_size = 64;
constexpr uint32_t max_block_size = uint32_t{1} << 29;
constexpr uint64_t max_block_index = 0x7FFFFFFF;

uint32_t block_shift(const cpioreadex_ctx *ctx) { return static_cast<uint32_t>(std::countr_zero(ctx->block_size)); }

// Asks the callback for the blocks that follow the delivered ones, up to
// the end of the window, and zero-fills what it did not deliver. A result
// outside 0 to the count asked for is clamped into that range.
void top_up(cpioreadex_ctx *ctx) {
    const uint32_t bs = ctx->block_size;
    const uint32_t asked = window_blocks - ctx->window_count;
    const int32_t got = ctx->read_fn(ctx->read_user, ctx->window + ctx->window_count * bs, bs,
                                     ctx->window_first + ctx->window_count, asked);
    ctx->window_count += got < 0 ? 0 : static_cast<uint32_t>(got) > asked ? asked : static_cast<uint32_t>(got);
    if (ctx->window_count < window_blocks)
        std::memset(ctx->window + ctx->window_count * bs, 0, (window_blocks - ctx->window_count) * bs);
}

// Brings archive offset o into slot 0 of the window and returns its byte
// there, or null beyond block_size * 0x7FFFFFFF (nothing read then). After
// a fetch all four slots are defined: delivered blocks, then zeros.
const byte *_cpioreadex_fetch(cpioreadex_ctx *ctx, uint64_t o) {
    if (o > uint64_t{ctx->block_size} * max_block_index) return nullptr;
    const uint32_t b = static_cast<uint32_t>(o >> block_shift(ctx));
    const uint32_t r = static_cast<uint32_t>(o & (ctx->block_size - 1));
    if (b == ctx->window_first) {
        if (ctx->window_count == window_blocks) return ctx->window + r;
    } else if (b > ctx->window_first && b < ctx->window_first + ctx->window_count) {
        // Keep the delivered blocks from b on, moved to the front.
        const uint32_t d = b - ctx->window_first;
        ctx->window_count -= d;
        std::memmove(ctx->window, ctx->window + d * ctx->block_size, ctx->window_count * ctx->block_size);
        ctx->window_first = b;
    } else {
        ctx->window_count = 0;
        ctx->window_first = b;
    }
    top_up(ctx);
    return ctx->window + r;
}

// Bytes delivered by the read callback from the one at offset o (just
// fetched) to the end of the window; the rest of the window is zeros.
uint32_t delivered_from(const cpioreadex_ctx *ctx, uint64_t o) {
    const uint32_t r = static_cast<uint32_t>(o & (ctx->block_size - 1));
    return ctx->window_count == 0 ? 0 : ctx->window_count * ctx->block_size - r;
}

enum class Header { entry, trailer, none };

// Fetches the header at o and fills e's numbers and offsets (not its name).
// none: beyond the limit, a bad magic, a header or name that runs past the
// delivered blocks (it cannot be read whole), or sizes that wrap so that
// the entry would not advance (a walk over it would never end).
Header read_header(cpioreadex_ctx *ctx, uint64_t o, cpio_extended_entity *e, const byte **hdr) {
    const byte *p = _cpioreadex_fetch(ctx, o);
    if (p == nullptr || !ctx->ops->is_valid_hdr(p)) return Header::none;
    if (ctx->ops->is_trailer(p)) return Header::trailer;
    char *name_buf = e->name_buf;
    e->name_buf = nullptr;
    ctx->ops->fill_extended_entity(p, e, o);
    e->name_buf = name_buf;
    const auto header_len = static_cast<uint64_t>(ctx->ops->get_name(p) - reinterpret_cast<const char *>(p));
    if (header_len + e->namesize > delivered_from(ctx, o)) return Header::none;
    if (e->next_offset <= o) return Header::none;
    *hdr = p;
    return Header::entry;
}

// The entry at o into entity, name included. Where there is no entry the
// entity keeps what it held; on a name too long for the buffer it holds the
// entry's numbers and the old name.
cpio_extended_entity *read_entry(cpioreadex_ctx *ctx, cpio_extended_entity *entity, uint64_t o) {
    cpio_extended_entity next = *entity;
    const byte *p = nullptr;
    if (read_header(ctx, o, &next, &p) != Header::entry) return nullptr;
    *entity = next;
    return store_name(entity, ctx->ops->get_name(p));
}

bool usable(const cpio_extended_entity *entity) { return entity != nullptr && entity->magic == cpio_entity_magic; }

}  // namespace

cpioreadex_ctx *cpioreadex_init(cpioreadex_ctx *ctx, uint32_t block_size, cpioreadex_read_fn read_fn, void *read_user,
                                cpioreadex_alloc_fn alloc_fn, cpioreadex_free_fn free_fn, void *alloc_user) {
    std::memset(ctx, 0, sizeof *ctx);
    if (block_size == 0) block_size = default_block_size;
    if (!std::has_single_bit(block_size) || block_size < min_block_size || block_size > max_block_size) return nullptr;
    if (alloc_fn == nullptr || free_fn == nullptr || read_fn == nullptr) return nullptr;
    auto *window = static_cast<unsigned char *>(alloc_fn(alloc_user, window_blocks * block_size));
    if (window == nullptr) return nullptr;
    *ctx = {.ops = nullptr,
            .block_size = block_size,
            .window_first = 0,
            .window_count = 0,
            .window = window,
            .read_fn = read_fn,
            .read_user = read_user,
            .alloc_fn = alloc_fn,
            .free_fn = free_fn,
            .alloc_user = alloc_user};
    // Detection sees block 0 alone; the window does not count it.
    if (read_fn(read_user, window, block_size, 0, 1) == 1) ctx->ops = cpio_find_ops_for_img__(window);
    if (ctx->ops == nullptr) {
        cpioreadex_deinit(ctx);
        return nullptr;
    }
    return ctx;
}

void cpioreadex_deinit(cpioreadex_ctx *ctx) {
    if (ctx->window != nullptr && ctx->free_fn != nullptr) ctx->free_fn(ctx->alloc_user, ctx->window);
    std::memset(ctx, 0, sizeof *ctx);
}

void cpioreadex_init_entity(cpio_extended_entity *entity, char *name_buf, uint32_t name_buf_size) {
    std::memset(entity, 0, sizeof *entity);
    entity->magic = cpio_entity_magic;
    entity->name_buf = name_buf;
    entity->name_buf_size = name_buf_size;
}

void cpioreadex_deinit_entity(cpio_extended_entity *entity) { std::memset(entity, 0, sizeof *entity); }

cpio_extended_entity *cpioreadex_first(cpioreadex_ctx *ctx, cpio_extended_entity *entity) {
    if (ctx == nullptr || !usable(entity)) return nullptr;
    return read_entry(ctx, entity, 0);
}

cpio_extended_entity *cpioreadex_next(cpioreadex_ctx *ctx, cpio_extended_entity *entity) {
    if (ctx == nullptr || !usable(entity)) return nullptr;
    return read_entry(ctx, entity, entity->next_offset);
}

cpio_extended_entity *cpioreadex_find(cpioreadex_ctx *ctx, cpio_extended_entity *entity, const char *name) {
    if (name == nullptr || !usable(entity) || entity->name_buf == nullptr) return nullptr;
    for (auto *e = cpioreadex_first(ctx, entity); e != nullptr; e = cpioreadex_next(ctx, entity))
        if (std::strcmp(entity->name_buf, name) == 0) return entity;
    return nullptr;
}

uint64_t cpioreadex_get_size(cpioreadex_ctx *ctx) {
    constexpr uint64_t failed = ~uint64_t{0};
    if (ctx == nullptr) return failed;
    cpio_extended_entity e{};
    e.magic = cpio_entity_magic;
    const byte *p = nullptr;
    for (uint64_t o = 0;; o = e.next_offset) {
        switch (read_header(ctx, o, &e, &p)) {
            case Header::entry:
                break;
            case Header::trailer:
                return (uint64_t{ctx->window_first} + ctx->window_count) * ctx->block_size;
            case Header::none:
                return failed;
        }
    }
}

int32_t cpioreadex_do_data(cpioreadex_ctx *ctx, const cpio_extended_entity *entity, uint32_t offset, uint32_t length,
                           cpioreadex_data_fn sink, void *data_user) {
    if (ctx == nullptr || !usable(entity) || sink == nullptr) return -1;
    if (offset > entity->filesize) return -1;
    uint32_t n = entity->filesize - offset < length ? entity->filesize - offset : length;
    for (uint64_t pos = entity->data_offset + offset; n != 0;) {
        const byte *p = _cpioreadex_fetch(ctx, pos);
        // Nothing delivered here: the archive ends inside the data.
        const uint32_t available = p == nullptr ? 0 : delivered_from(ctx, pos);
        if (available == 0) return -1;
        const uint32_t chunk = available < n ? available : n;
        sink(data_user, p, chunk);
        n -= chunk;
        pos += chunk;
    }
    return 0;
}
