// The last steps of filling a cpio_extended_entity: the name copy into the
// caller's buffer. Shared by the drivers and the block reader.
#pragma once

#include <cstdint>

#include "viredovozu.h"

namespace viredovozu {

// Copies the name, up to and including its NUL, into dst. Reads at most
// namesize bytes of name and writes at most namesize bytes (the caller has
// checked that dst holds that many). A name with no NUL within namesize
// bytes is cut to namesize - 1 bytes and terminated; a namesize of 0 gives
// the empty name when dst has room for it.
inline bool copy_name(char *dst, uint32_t dst_size, const char *name, uint32_t namesize) {
    if (namesize == 0) {
        if (dst_size == 0) return false;
        dst[0] = '\0';
        return true;
    }
    for (uint32_t i = 0; i < namesize; ++i)
        if ((dst[i] = name[i]) == '\0') return true;
    dst[namesize - 1] = '\0';
    return true;
}

// With the entity's numbers filled in: no buffer, done; a buffer smaller
// than namesize, refused with the buffer untouched; otherwise the copy.
inline cpio_extended_entity *store_name(cpio_extended_entity *e, const char *name) {
    if (e->name_buf == nullptr) return e;
    if (e->name_buf_size < e->namesize) return nullptr;
    return copy_name(e->name_buf, e->name_buf_size, name, e->namesize) ? e : nullptr;
}

}  // namespace viredovozu
