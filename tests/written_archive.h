// Reading back archives that the writer made: every entry's header values,
// its offset, name and data, through the in-memory reader and the newc
// table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "viredovozu.h"

namespace written {

struct Got {
    std::string name, data;
    uint64_t offset;
    uint32_t ino, mode, uid, gid, nlink, mtime, filesize, devmajor, devminor, rdevmajor, rdevminor;
};

// The entries before the trailer, in archive order. with_data false leaves
// data empty (for archives too big to copy).
inline std::vector<Got> entries_of(const void *image, bool with_data = true) {
    std::vector<Got> out;
    cpioread_ctx ctx{};
    if (cpioread_init(&ctx, image) != &ctx || ctx.ops != &cpio_ops__newc) return out;
    const char *base = static_cast<const char *>(image);
    cpio_simple_entity e{};
    for (cpio_simple_entity *p = cpioread_first(&ctx, &e); p; p = cpioread_next(&ctx, &e)) {
        const char *hdr = e.name - 110;
        cpio_extended_entity x{};
        cpio_ops__newc.fill_extended_entity(hdr, &x, uint64_t(hdr - base));
        Got g{e.name,  "",      x.hdr_offset, x.ino,      x.mode,     x.uid,       x.gid,
              x.nlink, x.mtime, x.filesize,   x.devmajor, x.devminor, x.rdevmajor, x.rdevminor};
        if (with_data) g.data.assign(reinterpret_cast<const char *>(e.data), e.filesize);
        out.push_back(g);
    }
    return out;
}

inline std::vector<Got> entries_of(const std::string &image) { return entries_of(image.data()); }

inline const Got *named(const std::vector<Got> &entries, const std::string &name) {
    for (const Got &g : entries)
        if (g.name == name) return &g;
    return nullptr;
}

// The empty archive: the trailer entry, 3 zero bytes to reach 124 and 388
// more to reach 512.
inline std::string trailer_entry() {
    return std::string("070701") + "00000000" + "00000000" + "00000000" + "00000000" + "00000001" + "00000000" +
           "00000000" + "00000000" + "00000000" + "00000000" + "00000000" + "0000000B" + "00000000" +
           std::string("TRAILER!!!\0", 11);
}
inline std::string empty_archive() { return trailer_entry() + std::string(3 + 388, '\0'); }

}  // namespace written
