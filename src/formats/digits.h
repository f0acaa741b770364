// Digit conversion of the ASCII formats. Header digits convert without
// validation, on purpose: any byte enters the sum with some value, and
// stored archives rely on that.
#pragma once

#include <cstdint>

#include "bytes.h"

namespace viredovozu {

// "0"-"9" give 0-9; in hexadecimal also "A"-"F" and "a"-"f" give 10-15.
// Every other byte gives b - 48 with b taken as signed (a space -16, a NUL
// -48, 0xFF -49); negative values wrap modulo 2^32.
template <uint32_t Radix>
constexpr uint32_t digit_value(byte b) {
    if constexpr (Radix == 16) {
        if (b >= 'A' && b <= 'F') return b - 55u;
        if (b >= 'a' && b <= 'f') return b - 87u;
    }
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(b)) - 48);
}

// The width digits at p, most significant first, modulo 2^32.
template <uint32_t Radix>
constexpr uint32_t parse_digits(const byte *p, uint32_t width) {
    uint32_t v = 0;
    for (uint32_t i = 0; i < width; ++i) v = v * Radix + digit_value<Radix>(p[i]);
    return v;
}

}  // namespace viredovozu
