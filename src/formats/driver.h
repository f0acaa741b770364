// The behaviour that all three format drivers share. A format supplies only
// its layout: header length, alignment, magic test and a field reader.
#pragma once

#include <concepts>
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

// A layout may also offer a fast path for headers whose every field holds
// plain digits: plain(hdr) tests them all at once, read_plain(hdr, f) then
// converts a field without looking at its bytes again.
template <class Layout>
concept HasPlainFields = requires(const byte *h, Field f) {
    { Layout::plain(h) } -> std::same_as<bool>;
    { Layout::read_plain(h, f) } -> std::same_as<uint32_t>;
};

// Layout requirements:
//   static constexpr uint32_t header_len;   bytes before the name
//   static constexpr uint32_t align;        header + name, and data, pad to it
//   static constexpr FieldTable fields;
//   static bool has_magic(const byte *hdr);
//   static uint32_t read(const byte *hdr, Field f);
template <class Layout>
struct Driver {
    static uint32_t namesize(const byte *h) { return read<false>(h, Layout::fields.namesize); }
    static uint32_t filesize(const byte *h) { return read<false>(h, Layout::fields.filesize); }

    static int probe(const void *hdr) { return Layout::has_magic(as_bytes(hdr)) ? 1 : 0; }

    static int is_trailer(const void *hdr) {
        return bytes_match(as_bytes(hdr) + Layout::header_len, trailer_name, trailer_test_len) ? 1 : 0;
    }

    static const char *get_name(const void *hdr) { return static_cast<const char *>(hdr) + Layout::header_len; }

    // Each part is padded in 32-bit arithmetic and wraps on its own.
    // The distance from a header to its data, and the data's length with its
    // padding, each in 32-bit arithmetic.
    static uint32_t data_offs_for(uint32_t namesize) { return pad_to(Layout::header_len + namesize, Layout::align); }
    static uint32_t padded(uint32_t filesize) { return pad_to(filesize, Layout::align); }
    static uint32_t data_offs(const byte *h) { return data_offs_for(namesize(h)); }
    static uint32_t padded_filesize(const byte *h) { return padded(filesize(h)); }

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
        if constexpr (HasPlainFields<Layout>)
            if (Layout::plain(h)) return fill_simple<true>(h, e);
        fill_simple<false>(h, e);
    }

    static cpio_extended_entity *fill_extended_entity(const void *hdr, cpio_extended_entity *e, uint64_t hdr_offset) {
        const byte *h = as_bytes(hdr);
        if constexpr (HasPlainFields<Layout>)
            if (Layout::plain(h)) return fill_extended<true>(h, e, hdr_offset);
        return fill_extended<false>(h, e, hdr_offset);
    }

   private:
    template <bool Plain>
    static uint32_t read(const byte *h, Field f) {
        if (f.width == 0) return 0;
        if constexpr (Plain)
            return Layout::read_plain(h, f);
        else
            return Layout::read(h, f);
    }

    template <bool Plain>
    static void fill_simple(const byte *h, cpio_simple_entity *e) {
        const FieldTable &f = Layout::fields;
        e->name = get_name(h);
        e->namesize = read<Plain>(h, f.namesize);
        e->mtime = read<Plain>(h, f.mtime);
        e->mode = read<Plain>(h, f.mode);
        e->filesize = read<Plain>(h, f.filesize);
        e->data = h + data_offs_for(e->namesize);
    }

    template <bool Plain>
    static cpio_extended_entity *fill_extended(const byte *h, cpio_extended_entity *e, uint64_t hdr_offset) {
        const FieldTable &f = Layout::fields;
        e->namesize = read<Plain>(h, f.namesize);
        e->filesize = read<Plain>(h, f.filesize);
        e->mode = read<Plain>(h, f.mode);
        e->mtime = read<Plain>(h, f.mtime);
        e->gid = read<Plain>(h, f.gid);
        e->uid = read<Plain>(h, f.uid);
        e->nlink = read<Plain>(h, f.nlink);
        e->ino = read<Plain>(h, f.ino);
        e->devmajor = read<Plain>(h, f.devmajor);
        e->devminor = read<Plain>(h, f.devminor);
        e->rdevmajor = read<Plain>(h, f.rdevmajor);
        e->rdevminor = read<Plain>(h, f.rdevminor);
        // 32-bit parts, widened before they are added: a carry reaches the
        // high half.
        e->hdr_offset = hdr_offset;
        e->data_offset = hdr_offset + data_offs_for(e->namesize);
        e->next_offset = e->data_offset + padded(e->filesize);
        return store_name(e, get_name(h));
    }
};

}  // namespace viredovozu
