// The in-memory reader: walks headers in place in the caller's image.
//
// With a bound (cpioread_init_bounded) the walk asks, in front of every
// table call, whether the bytes that the call reads lie inside the image
// (each slot reads the magic, the fixed header, or the header and the first
// ten bytes of the name, and name_equal the name). Those tests live in the
// Walk below and nowhere else: find and first only revisit entries that
// the bounded count has already admitted. Positions are compared as the
// room left before the end, so no pointer past the end is ever formed.
#include <cstring>

#include "formats/bytes.h"
#include "viredovozu.h"

namespace {

using byte = unsigned char;
using viredovozu::trailer_test_len;

// Detection reads at most the first six bytes.
constexpr size_t detect_len = 6;

// The format's fixed header length. get_name reads nothing; it is asked
// about a scratch header so that no pointer is formed past the image. Every
// format's header is shorter than the scratch (110 bytes at most).
size_t header_len_of(const cpio_ops *ops) {
    static constexpr byte scratch[128] = {};
    return static_cast<size_t>(ops->get_name(scratch) - reinterpret_cast<const char *>(scratch));
}

// One call's view of the walk: the table and, with a bound, the image's end
// and the header length.
class Walk {
   public:
    explicit Walk(const cpioread_ctx *ctx)
        : ops_(ctx->ops), end_(ctx->end), header_len_(end_ != nullptr ? header_len_of(ops_) : 0) {}

    // Whether an entry stands at p (which lies inside the image, or at its
    // end): a header whose magic passes (tested unless magic_known), that
    // is not the trailer and, with a bound, that lies inside the image
    // with its name and data. e, when given, receives the entry's record;
    // it is left alone where there is no entry.
    bool entry_at(const byte *p, bool magic_known, cpio_simple_entity *e) const {
        if (end_ == nullptr) {
            if ((!magic_known && !ops_->is_valid_hdr(p)) || ops_->is_trailer(p)) return false;
            if (e != nullptr) ops_->fill_simple_entity(p, e);
            return true;
        }
        const size_t room = room_at(p);
        if (room < header_len_) return false;  // the magic and every field lie inside
        if (!magic_known && !ops_->is_valid_hdr(p)) return false;
        // A trailer cut before the ten bytes of its test is no trailer, but
        // its name cannot fit either.
        if (room - header_len_ >= trailer_test_len && ops_->is_trailer(p)) return false;
        cpio_simple_entity f;
        if (!fits(p, room, &f)) return false;
        if (e != nullptr) *e = f;
        return true;
    }

    // The entry after the one at p (into e, when given), or null where the
    // walk ends: an entry whose size computes to 0 (a 32-bit wrap) would
    // never advance; with a bound, the next header would begin past the
    // end.
    const byte *step(const byte *p, cpio_simple_entity *e) const {
        const uint32_t size = ops_->get_entry_size(p);
        if (size == 0) return nullptr;
        if (end_ != nullptr && size > room_at(p)) return nullptr;
        p += size;
        return entry_at(p, false, e) ? p : nullptr;
    }

   private:
    size_t room_at(const byte *p) const { return static_cast<size_t>(end_ - p); }

    // With room bytes from p and the fixed header inside: the name, NUL
    // last, and the data from where the name's padding ends lie inside
    // too, and the 32-bit sizes that the walk steps by do not wrap.
    // fill_simple_entity (into f) reads only the header.
    bool fits(const byte *p, size_t room, cpio_simple_entity *f) const {
        ops_->fill_simple_entity(p, f);
        const uint64_t name_end = uint64_t{header_len_} + f->namesize;
        if (f->namesize == 0 || name_end > room || p[name_end - 1] != '\0') return false;
        // The fill puts data at the header plus get_data_offs: the distance
        // is the data offset, without converting the name size again. It is
        // taken on addresses, as that pointer may lie past the end.
        const uint64_t data_offs = reinterpret_cast<uintptr_t>(f->data) - reinterpret_cast<uintptr_t>(p);
        const uint64_t data_end = data_offs + f->filesize;
        if (data_end > room) return false;
        // With name and data inside less than 4 GiB, neither the padded
        // name size nor the entry size can have wrapped.
        if (room < no_wrap_room) return true;
        return data_offs >= name_end && ops_->get_entry_size(p) >= data_end;
    }

    // Padding adds less than 8 bytes to a size.
    static constexpr uint64_t no_wrap_room = (uint64_t{1} << 32) - 8;

    const cpio_ops *ops_;
    const byte *end_;
    size_t header_len_;
};

// Counts from the first header, whose magic detection has accepted.
void count_entries(cpioread_ctx *ctx) {
    const Walk walk(ctx);
    if (!walk.entry_at(ctx->image, true, nullptr)) return;
    for (const byte *p = ctx->image; p != nullptr; p = walk.step(p, nullptr)) ++ctx->count;
}

cpioread_ctx *fail(cpioread_ctx *ctx) {
    ctx->ops = nullptr;
    ctx->image = nullptr;
    ctx->end = nullptr;
    return nullptr;
}

}  // namespace

cpioread_ctx *cpioread_init(cpioread_ctx *ctx, const void *image) {
    ctx->current = nullptr;
    ctx->end = nullptr;
    ctx->count = 0;
    ctx->ops = cpio_find_ops_for_img__(image);
    if (ctx->ops == nullptr) return fail(ctx);
    ctx->image = static_cast<const byte *>(image);
    count_entries(ctx);
    return ctx;
}

cpioread_ctx *cpioread_init_bounded(cpioread_ctx *ctx, const void *image, size_t size) {
    ctx->current = nullptr;
    ctx->count = 0;
    if (image == nullptr) return fail(ctx);
    // Detection reads up to six bytes: give it a zero-padded copy of what
    // there is.
    byte head[detect_len] = {};
    std::memcpy(head, image, size < detect_len ? size : detect_len);
    ctx->ops = cpio_find_ops_for_img__(head);
    if (ctx->ops == nullptr) return fail(ctx);
    ctx->image = static_cast<const byte *>(image);
    ctx->end = ctx->image + size;
    count_entries(ctx);
    return ctx;
}

cpio_simple_entity *cpioread_find(cpioread_ctx *ctx, cpio_simple_entity *entity, const char *name) {
    if (ctx == nullptr || entity == nullptr || name == nullptr || name[0] == '\0') return nullptr;
    const uint32_t len = static_cast<uint32_t>(std::strlen(name)) + 1;
    // The count admitted every entry visited here; the step after the last
    // one is not taken.
    const byte *p = ctx->image;
    for (uint32_t i = 0; i < ctx->count; ++i) {
        if (i != 0) p += ctx->ops->get_entry_size(p);
        if (ctx->ops->name_equal(p, name, len)) {
            ctx->ops->fill_simple_entity(p, entity);
            return entity;
        }
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
    ctx->current = Walk(ctx).step(ctx->current, entity);
    return ctx->current != nullptr ? entity : nullptr;
}
