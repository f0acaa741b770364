// The in-memory reader: walks headers in place in the caller's image.
#include <cstring>

#include "viredovozu.h"

namespace {

using byte = unsigned char;

// The header after p, or null where the walk ends: an entry whose size
// computes to 0 (a 32-bit wrap) would never advance, then a bad magic and
// the trailer.
const byte *step(const cpio_ops *ops, const byte *p) {
    const uint32_t size = ops->get_entry_size(p);
    if (size == 0) return nullptr;
    p += size;
    if (!ops->is_valid_hdr(p) || ops->is_trailer(p)) return nullptr;
    return p;
}

}  // namespace

cpioread_ctx *cpioread_init(cpioread_ctx *ctx, const void *image) {
    ctx->current = nullptr;
    ctx->count = 0;
    ctx->ops = cpio_find_ops_for_img__(image);
    if (ctx->ops == nullptr) {
        ctx->image = nullptr;
        return nullptr;
    }
    ctx->image = static_cast<const byte *>(image);
    if (ctx->ops->is_trailer(ctx->image)) return ctx;
    for (const byte *p = ctx->image; p != nullptr; p = step(ctx->ops, p)) ++ctx->count;
    return ctx;
}

cpio_simple_entity *cpioread_find(cpioread_ctx *ctx, cpio_simple_entity *entity, const char *name) {
    if (ctx == nullptr || entity == nullptr || name == nullptr || name[0] == '\0') return nullptr;
    const uint32_t len = static_cast<uint32_t>(std::strlen(name)) + 1;
    const byte *p = ctx->image;
    for (uint32_t i = 0; i < ctx->count; ++i) {
        if (ctx->ops->name_equal(p, name, len)) {
            ctx->ops->fill_simple_entity(p, entity);
            return entity;
        }
        p += ctx->ops->get_entry_size(p);
    }
    return nullptr;
}

cpio_simple_entity *cpioread_first(cpioread_ctx *ctx, cpio_simple_entity *entity) {
    if (ctx == nullptr || entity == nullptr || ctx->count == 0) return nullptr;
    ctx->current = ctx->image;
    ctx->ops->fill_simple_entity(ctx->current, entity);
    return entity;
}

cpio_simple_entity *cpioread_next(cpioread_ctx *ctx, cpio_simple_entity *entity) {
    if (ctx == nullptr || entity == nullptr || ctx->current == nullptr) return nullptr;
    ctx->current = step(ctx->ops, ctx->current);
    if (ctx->current == nullptr) return nullptr;
    ctx->ops->fill_simple_entity(ctx->current, entity);
    return entity;
}
