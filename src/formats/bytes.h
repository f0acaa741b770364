// Byte-level helpers shared by the format drivers and the readers.
#pragma once

#include <cstdint>

namespace viredovozu {

using byte = unsigned char;

inline const byte *as_bytes(const void *p) { return static_cast<const byte *>(p); }

// Compares the n bytes at p with text, one at a time from the first, and
// stops at the first byte that differs: a probe never reads past it.
constexpr bool bytes_match(const byte *p, const char *text, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i)
        if (p[i] != static_cast<byte>(text[i])) return false;
    return true;
}

// x rounded up to a multiple of align (a power of two), modulo 2^32.
constexpr uint32_t pad_to(uint32_t x, uint32_t align) { return (x + (align - 1)) & ~(align - 1); }

// The trailer entry is known by the first ten bytes of its name alone.
inline constexpr char trailer_name[] = "TRAILER!!!";
inline constexpr uint32_t trailer_test_len = 10;

}  // namespace viredovozu
