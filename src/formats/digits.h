// Digit conversion of the ASCII formats. Header digits convert without
// validation, on purpose: any byte enters the sum with some value, and
// stored archives rely on that.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace swar {

constexpr uint64_t rep(uint8_t b) { return 0x0101010101010101ull * b; }

// 0x80 in each byte of w (all bytes below 0x80) that lies in [lo, hi].
constexpr uint64_t in_range(uint64_t w, uint8_t lo, uint8_t hi) {
    const uint64_t ge = w + rep(uint8_t(0x80 - lo));
    const uint64_t gt = w + rep(uint8_t(0x80 - hi - 1));
    return ge & ~gt & rep(0x80);
}

inline uint64_t load8(const byte *p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

}  // namespace swar

namespace swar {

// The value of eight plain hexadecimal digits ("0"-"9", "A"-"F", "a"-"f")
// in w, the most significant first: a letter is the byte with 0x40 set.
inline uint32_t plain_hex8(uint64_t w) {
    uint64_t v = (w & rep(0x0F)) + ((w >> 6) & rep(0x01)) * 9;
    v = ((v & 0x000F000F000F000Full) << 4) | ((v >> 8) & 0x000F000F000F000Full);
    v = ((v & 0x000000FF000000FFull) << 8) | ((v >> 16) & 0x000000FF000000FFull);
    return static_cast<uint32_t>(((v & 0xFFFF) << 16) | ((v >> 32) & 0xFFFF));
}

}  // namespace swar

// Eight hexadecimal digits. Fields of plain digits, the common case, are
// converted eight at a time; any other byte takes the digit loop, so the
// result is always that of parse_digits<16>.
inline uint32_t parse_hex8(const byte *p) {
    if constexpr (std::endian::native == std::endian::little) {
        using namespace swar;
        const uint64_t w = load8(p);
        if ((w & rep(0x80)) == 0 && (in_range(w, '0', '9') | in_range(w | rep(0x20), 'a', 'f')) == rep(0x80))
            return plain_hex8(w);
    }
    return parse_digits<16>(p, 8);
}

// True when all n bytes at p (n a multiple of 16) are plain hexadecimal
// digits: then hex8_plain gives each field's value. Sixteen bytes are
// tested at a time where the machine has SSE2.
inline bool all_plain_hex(const byte *p, uint32_t n) {
#if defined(__SSE2__)
    const __m128i ascii_case = _mm_set1_epi8(0x20);
    __m128i ok = _mm_set1_epi8(-1);
    for (uint32_t i = 0; i < n; i += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        const __m128i l = _mm_or_si128(b, ascii_case);
        // Signed compares: bytes from 0x80 up are negative and fail both.
        const __m128i digit =
            _mm_and_si128(_mm_cmpgt_epi8(b, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(b, _mm_set1_epi8('9' + 1)));
        const __m128i letter =
            _mm_and_si128(_mm_cmpgt_epi8(l, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(l, _mm_set1_epi8('f' + 1)));
        ok = _mm_and_si128(ok, _mm_or_si128(digit, letter));
    }
    return _mm_movemask_epi8(ok) == 0xFFFF;
#else
    for (uint32_t i = 0; i < n; i += 8) {
        const uint64_t w = swar::load8(p + i);
        using namespace swar;
        if ((w & rep(0x80)) != 0 || (in_range(w, '0', '9') | in_range(w | rep(0x20), 'a', 'f')) != rep(0x80))
            return false;
    }
    return true;
#endif
}

inline uint32_t hex8_plain(const byte *p) {
    if constexpr (std::endian::native == std::endian::little) return swar::plain_hex8(swar::load8(p));
    return parse_digits<16>(p, 8);
}

namespace swar {

inline bool plain_octal(uint64_t w) { return (w & rep(0x80)) == 0 && in_range(w, '0', '7') == rep(0x80); }

// The value of the eight plain octal digits in w, the most significant
// first.
inline uint32_t plain_octal8(uint64_t w) {
    uint64_t v = w & rep(0x07);
    v = ((v & 0x0007000700070007ull) << 3) | ((v >> 8) & 0x0007000700070007ull);
    v = ((v & 0x0000003F0000003Full) << 6) | ((v >> 16) & 0x0000003F0000003Full);
    return static_cast<uint32_t>(((v & 0xFFF) << 12) | ((v >> 32) & 0xFFF));
}

// The eight bytes that end at end, the first 8 - n of them read as "0".
inline uint64_t last_digits(const byte *end, uint32_t n) {
    const uint64_t w = load8(end - 8);
    const uint32_t pad = 8 - n;
    return pad == 0 ? w : (w & (~uint64_t{0} << (8 * pad))) | (rep('0') >> (8 * n));
}

}  // namespace swar

// width (1 to 11) plain octal digits at p, eight at a time; the 16 bytes
// that end at p + width must be readable (odc fields lie far enough into
// the header).
inline uint32_t octal_plain(const byte *p, uint32_t width) {
    if constexpr (std::endian::native == std::endian::little) {
        using namespace swar;
        const byte *end = p + width;
        if (width <= 8) return plain_octal8(last_digits(end, width));
        return plain_octal8(last_digits(end - 8, width - 8)) * (uint32_t{1} << 24) + plain_octal8(load8(end - 8));
    }
    return parse_digits<8>(p, width);
}

// width octal digits (1 to 11) at p, with the same 16 readable bytes.
// Fields of plain digits go eight at a time; any other byte takes the
// digit loop, so the result is always that of parse_digits<8>.
inline uint32_t parse_octal(const byte *p, uint32_t width) {
    if constexpr (std::endian::native == std::endian::little) {
        using namespace swar;
        const byte *end = p + width;
        const bool plain = width <= 8 ? plain_octal(last_digits(end, width))
                                      : plain_octal(load8(end - 8)) && plain_octal(last_digits(end - 8, width - 8));
        if (plain) return octal_plain(p, width);
    }
    return parse_digits<8>(p, width);
}

// True when all n bytes at p (n at least 16) are octal digits "0" to "7".
inline bool all_plain_octal(const byte *p, uint32_t n) {
#if defined(__SSE2__)
    __m128i ok = _mm_set1_epi8(-1);
    // The last load may overlap the one before it; it never passes p + n.
    for (uint32_t i = 0;; i = i + 32 <= n ? i + 16 : n - 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
        ok = _mm_and_si128(
            ok, _mm_and_si128(_mm_cmpgt_epi8(b, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(b, _mm_set1_epi8('7' + 1))));
        if (i + 16 == n) break;
    }
    return _mm_movemask_epi8(ok) == 0xFFFF;
#else
    for (uint32_t i = 0;; i = i + 16 <= n ? i + 8 : n - 8) {
        if (!swar::plain_octal(swar::load8(p + i))) return false;
        if (i + 8 == n) return true;
    }
#endif
}

}  // namespace viredovozu
