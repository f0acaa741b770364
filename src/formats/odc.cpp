// odc: "070707", then octal fields of six or eleven digits in a 76-byte
// header; name, data and the next header follow with no padding. dev and
// rdev are not split into major and minor, and are not read.
#include "digits.h"
#include "driver.h"
#include "viredovozu.h"

namespace {

using namespace viredovozu;

struct OdcLayout {
    static constexpr uint32_t header_len = 76;
    static constexpr uint32_t align = 1;
    static constexpr Field magic = {0, 6}, dev = {6, 6}, rdev = {42, 6};
    static constexpr Field absent = {0, 0};
    static constexpr FieldTable fields = {
        .ino = {12, 6},
        .mode = {18, 6},
        .uid = {24, 6},
        .gid = {30, 6},
        .nlink = {36, 6},
        .mtime = {48, 11},
        .filesize = {65, 11},
        .devmajor = absent,
        .devminor = absent,
        .rdevmajor = absent,
        .rdevminor = absent,
        .namesize = {59, 6},
    };
    static constexpr Field in_order[] = {
        magic,        dev,  fields.ino,   fields.mode,     fields.uid,      fields.gid,
        fields.nlink, rdev, fields.mtime, fields.namesize, fields.filesize,
    };
    static_assert(fields_tile(in_order, 0, header_len));

    static bool has_magic(const byte *h) { return bytes_match(h, "070707", magic.width); }
    static uint32_t read(const byte *h, Field f) { return parse_octal(h + f.offset, f.width); }
    // The fields that the records take lie from ino to nlink and from
    // mtime to the end; dev and rdev are never read.
    static bool plain(const byte *h) {
        return all_plain_octal(h + fields.ino.offset, rdev.offset - fields.ino.offset) &&
               all_plain_octal(h + fields.mtime.offset, header_len - fields.mtime.offset);
    }
    static uint32_t read_plain(const byte *h, Field f) { return octal_plain(h + f.offset, f.width); }
};

using D = Driver<OdcLayout>;

int odc_probe(const void *image) { return D::probe(image); }
int odc_is_valid_hdr(const void *hdr) { return D::probe(hdr); }
int odc_is_trailer(const void *hdr) { return D::is_trailer(hdr); }
const char *odc_get_name(const void *hdr) { return D::get_name(hdr); }
uint32_t odc_get_entry_size(const void *hdr) { return D::get_entry_size(hdr); }
uint32_t odc_get_data_offs(const void *hdr) { return D::get_data_offs(hdr); }
int odc_name_equal(const void *hdr, const char *name, uint32_t len) { return D::name_equal(hdr, name, len); }
void odc_fill_simple_entity(const void *hdr, cpio_simple_entity *e) { D::fill_simple_entity(hdr, e); }
cpio_extended_entity *odc_fill_extended_entity(const void *hdr, cpio_extended_entity *e, uint64_t offset) {
    return D::fill_extended_entity(hdr, e, offset);
}

}  // namespace

constinit const cpio_ops cpio_ops__odc = {
    .probe = odc_probe,
    .is_valid_hdr = odc_is_valid_hdr,
    .is_trailer = odc_is_trailer,
    .get_name = odc_get_name,
    .get_entry_size = odc_get_entry_size,
    .get_data_offs = odc_get_data_offs,
    .name_equal = odc_name_equal,
    .fill_simple_entity = odc_fill_simple_entity,
    .fill_extended_entity = odc_fill_extended_entity,
};
