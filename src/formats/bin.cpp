// The old binary format: thirteen 16-bit words in the byte order of the
// machine that wrote them (the magic 0x71C7 tells which); a 32-bit field is
// two words, the high half first. Name and data each pad to 2.
#include <bit>

#include "driver.h"
#include "viredovozu.h"

namespace {

using namespace viredovozu;

// count words at p, in the host's byte order or with each word's bytes
// exchanged, high word first.
uint32_t read_field_native(const byte *p, uint32_t count) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < count; ++i, p += 2) {
        const uint32_t w = std::endian::native == std::endian::little ? p[0] | p[1] << 8 : p[0] << 8 | p[1];
        v = v << 16 | w;
    }
    return v;
}

uint32_t read_field_swap(const byte *p, uint32_t count) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < count; ++i, p += 2) {
        const uint32_t w = std::endian::native == std::endian::little ? p[0] << 8 | p[1] : p[0] | p[1] << 8;
        v = v << 16 | w;
    }
    return v;
}

constexpr uint32_t bin_magic = 0x71C7;

template <bool Swap>
struct BinLayout {
    static constexpr uint32_t header_len = 26;
    static constexpr uint32_t align = 2;
    static constexpr Field magic = {0, 2}, dev = {2, 2}, rdev = {14, 2};
    static constexpr Field absent = {0, 0};
    static constexpr FieldTable fields = {
        .ino = {4, 2},
        .mode = {6, 2},
        .uid = {8, 2},
        .gid = {10, 2},
        .nlink = {12, 2},
        .mtime = {16, 4},
        .filesize = {22, 4},
        .devmajor = absent,
        .devminor = absent,
        .rdevmajor = absent,
        .rdevminor = absent,
        .namesize = {20, 2},
    };
    static constexpr Field in_order[] = {
        magic,        dev,  fields.ino,   fields.mode,     fields.uid,      fields.gid,
        fields.nlink, rdev, fields.mtime, fields.namesize, fields.filesize,
    };
    static_assert(fields_tile(in_order, 0, header_len));

    // Either byte pair C7 71 or 71 C7; each header says its own order.
    static bool has_magic(const byte *h) { return bytes_match(h, "\xC7\x71", 2) || bytes_match(h, "\x71\xC7", 2); }
    static uint32_t read(const byte *h, Field f) {
        return Swap ? read_field_swap(h + f.offset, f.width / 2) : read_field_native(h + f.offset, f.width / 2);
    }
};

using Native = Driver<BinLayout<false>>;
using Swapped = Driver<BinLayout<true>>;

bool is_native(const void *hdr) { return read_field_native(as_bytes(hdr), 1) == bin_magic; }

int bin_probe(const void *image) { return Native::probe(image); }
int bin_is_valid_hdr(const void *hdr) { return Native::probe(hdr); }
int bin_is_trailer(const void *hdr) { return Native::is_trailer(hdr); }
const char *bin_get_name(const void *hdr) { return Native::get_name(hdr); }
uint32_t bin_get_entry_size(const void *hdr) {
    return is_native(hdr) ? Native::get_entry_size(hdr) : Swapped::get_entry_size(hdr);
}
uint32_t bin_get_data_offs(const void *hdr) {
    return is_native(hdr) ? Native::get_data_offs(hdr) : Swapped::get_data_offs(hdr);
}
int bin_name_equal(const void *hdr, const char *name, uint32_t len) {
    return is_native(hdr) ? Native::name_equal(hdr, name, len) : Swapped::name_equal(hdr, name, len);
}
void bin_fill_simple_entity(const void *hdr, cpio_simple_entity *e) {
    is_native(hdr) ? Native::fill_simple_entity(hdr, e) : Swapped::fill_simple_entity(hdr, e);
}
cpio_extended_entity *bin_fill_extended_entity(const void *hdr, cpio_extended_entity *e, uint64_t offset) {
    return is_native(hdr) ? Native::fill_extended_entity(hdr, e, offset)
                          : Swapped::fill_extended_entity(hdr, e, offset);
}

}  // namespace

constinit const cpio_ops cpio_ops__bin = {
    .probe = bin_probe,
    .is_valid_hdr = bin_is_valid_hdr,
    .is_trailer = bin_is_trailer,
    .get_name = bin_get_name,
    .get_entry_size = bin_get_entry_size,
    .get_data_offs = bin_get_data_offs,
    .name_equal = bin_name_equal,
    .fill_simple_entity = bin_fill_simple_entity,
    .fill_extended_entity = bin_fill_extended_entity,
};
