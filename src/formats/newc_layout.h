// The newc header: "070701" and thirteen fields of eight hexadecimal
// digits. Read by the newc driver and written by the writer.
#pragma once

#include <cstdint>

namespace viredovozu::newc {

inline constexpr char magic[] = "070701";
inline constexpr uint32_t magic_len = 6;
inline constexpr uint32_t header_len = 110;
inline constexpr uint32_t field_width = 8;
inline constexpr uint32_t align = 4;  // header + name, and data, pad to 4

// Field offsets, in header order.
enum Offset : uint32_t {
    ino = 6,
    mode = 14,
    uid = 22,
    gid = 30,
    nlink = 38,
    mtime = 46,
    filesize = 54,
    devmajor = 62,
    devminor = 70,
    rdevmajor = 78,
    rdevminor = 86,
    namesize = 94,
    check = 102,
};

static_assert(check + field_width == header_len, "the fields tile the header");

}  // namespace viredovozu::newc
