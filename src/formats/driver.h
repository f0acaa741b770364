// The behaviour that all three format drivers share. A format supplies only
// its layout: header length, alignment, magic test and a field reader.
#pragma once

#include <cstdint>
#include <cstring>

#include "bytes.h"
#include "entity_name.h"
#include "viredovozu.h"

namespace viredovozu {

// A field of a header: byte offset and width. Width 0 marks a field that
// the format does not have; it reads as 0.
struct Field {
    uint32_t offset;
    uint32_t width;
};

// True when fields, given in header order, cover [start, end) without gap
// or overlap.
template <uint32_t N>
constexpr bool fields_tile(const Field (&fields)[N], uint32_t start, uint32_t end) {
    uint32_t at = start;
    for (const Field &f : fields) {
        if (f.offset != at) return false;
        at += f.width;
    }
    return at == end;
}

// The fields that the records take, wherever a format keeps them.
struct FieldTable {
    Field ino, mode, uid, gid, nlink, mtime, filesize, devmajor, devminor, rdevmajor, rdevminor, namesize;
};

// Layout requirements:
//   static constexpr uint32_t header_len;   bytes before the name
//   static constexpr uint32_t align;        header + name, and data, pad to it
//   static constexpr FieldTable fields;
//   static bool has_magic(const byte *hdr);
//   static uint32_t read(const byte *hdr, Field f);
template <class Layout>
struct Driver {
    static uint32_t field(const byte *h, Field f) { return f.width != 0 ? Layout::read(h, f) : 0; }
    static uint32_t namesize(const byte *h) { return field(h, Layout::fields.namesize); }
    static uint32_t filesize(const byte *h) { return field(h, Layout::fields.filesize); }

    static int probe(const void *hdr) { return Layout::has_magic(as_bytes(hdr)) ? 1 : 0; }

    static int is_trailer(const void *hdr) {
        return bytes_match(as_bytes(hdr) + Layout::header_len, trailer_name, trailer_test_len) ? 1 : 0;
    }

    static const char *get_name(const void *hdr) { return static_cast<const char *>(hdr) + Layout::header_len; }

    // Each part is padded in 32-bit arithmetic and wraps on its own.
    static uint32_t data_offs(const byte *h) { return pad_to(Layout::header_len + namesize(h), Layout::align); }
    static uint32_t padded_filesize(const byte *h) { return pad_to(filesize(h), Layout::align); }

    static uint32_t get_data_offs(const void *hdr) { return data_offs(as_bytes(hdr)); }

    static uint32_t get_entry_size(const void *hdr) {
        const byte *h = as_bytes(hdr);
        return data_offs(h) + padded_filesize(h);
    }

    static int name_equal(const void *hdr, const char *name, uint32_t len) {
        if (len != namesize(as_bytes(hdr))) return 0;
        return std::memcmp(name, get_name(hdr), len) == 0 ? 1 : 0;
    }

    static void fill_simple_entity(const void *hdr, cpio_simple_entity *e) {
        const byte *h = as_bytes(hdr);
        e->name = get_name(hdr);
        e->namesize = namesize(h);
        e->mtime = field(h, Layout::fields.mtime);
        e->mode = field(h, Layout::fields.mode);
        e->filesize = filesize(h);
        e->data = h + data_offs(h);
    }

    static cpio_extended_entity *fill_extended_entity(const void *hdr, cpio_extended_entity *e, uint64_t hdr_offset) {
        const byte *h = as_bytes(hdr);
        const FieldTable &f = Layout::fields;
        e->namesize = namesize(h);
        e->filesize = filesize(h);
        e->mode = field(h, f.mode);
        e->mtime = field(h, f.mtime);
        e->gid = field(h, f.gid);
        e->uid = field(h, f.uid);
        e->nlink = field(h, f.nlink);
        e->ino = field(h, f.ino);
        e->devmajor = field(h, f.devmajor);
        e->devminor = field(h, f.devminor);
        e->rdevmajor = field(h, f.rdevmajor);
        e->rdevminor = field(h, f.rdevminor);
        // 32-bit parts, widened before they are added: a carry reaches the
        // high half.
        e->hdr_offset = hdr_offset;
        e->data_offset = hdr_offset + pad_to(Layout::header_len + e->namesize, Layout::align);
        e->next_offset = e->data_offset + pad_to(e->filesize, Layout::align);
        return store_name(e, get_name(hdr));
    }
};

}  // namespace viredovozu
