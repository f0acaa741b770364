// newc: "070701", then thirteen fields of eight hexadecimal digits; the
// name follows the 110-byte header, header + name and data pad to 4.
#include "digits.h"
#include "driver.h"
#include "newc_layout.h"
#include "viredovozu.h"

namespace {

using namespace viredovozu;

struct NewcLayout {
    static constexpr uint32_t header_len = newc::header_len;
    static constexpr uint32_t align = newc::align;
    static constexpr uint32_t w = newc::field_width;
    static constexpr FieldTable fields = {
        .ino = {newc::ino, w},
        .mode = {newc::mode, w},
        .uid = {newc::uid, w},
        .gid = {newc::gid, w},
        .nlink = {newc::nlink, w},
        .mtime = {newc::mtime, w},
        .filesize = {newc::filesize, w},
        .devmajor = {newc::devmajor, w},
        .devminor = {newc::devminor, w},
        .rdevmajor = {newc::rdevmajor, w},
        .rdevminor = {newc::rdevminor, w},
        .namesize = {newc::namesize, w},
    };
    static constexpr Field in_order[] = {
        {0, newc::magic_len}, fields.ino,       fields.mode,     fields.uid,       fields.gid,
        fields.nlink,         fields.mtime,     fields.filesize, fields.devmajor,  fields.devminor,
        fields.rdevmajor,     fields.rdevminor, fields.namesize, {newc::check, w},
    };
    static_assert(fields_tile(in_order, 0, header_len));

    static bool has_magic(const byte *h) { return bytes_match(h, newc::magic, newc::magic_len); }
    // Every field is eight digits wide.
    static uint32_t read(const byte *h, Field f) { return parse_hex8(h + f.offset); }
    // The twelve fields that the records take lie together from ino to
    // namesize (the check field after them is never read).
    static bool plain(const byte *h) { return all_plain_hex(h + newc::ino, newc::check - newc::ino); }
    static uint32_t read_plain(const byte *h, Field f) { return hex8_plain(h + f.offset); }
};

using D = Driver<NewcLayout>;

int newc_probe(const void *image) { return D::probe(image); }
int newc_is_valid_hdr(const void *hdr) { return D::probe(hdr); }
int newc_is_trailer(const void *hdr) { return D::is_trailer(hdr); }
const char *newc_get_name(const void *hdr) { return D::get_name(hdr); }
uint32_t newc_get_entry_size(const void *hdr) { return D::get_entry_size(hdr); }
uint32_t newc_get_data_offs(const void *hdr) { return D::get_data_offs(hdr); }
int newc_name_equal(const void *hdr, const char *name, uint32_t len) { return D::name_equal(hdr, name, len); }
void newc_fill_simple_entity(const void *hdr, cpio_simple_entity *e) { D::fill_simple_entity(hdr, e); }
cpio_extended_entity *newc_fill_extended_entity(const void *hdr, cpio_extended_entity *e, uint64_t offset) {
    return D::fill_extended_entity(hdr, e, offset);
}

}  // namespace

constinit const cpio_ops cpio_ops__newc = {
    .probe = newc_probe,
    .is_valid_hdr = newc_is_valid_hdr,
    .is_trailer = newc_is_trailer,
    .get_name = newc_get_name,
    .get_entry_size = newc_get_entry_size,
    .get_data_offs = newc_get_data_offs,
    .name_equal = newc_name_equal,
    .fill_simple_entity = newc_fill_simple_entity,
    .fill_extended_entity = newc_fill_extended_entity,
};
