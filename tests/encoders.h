// Test-side archive encoders, one per format, with per-field overrides so
// that a malformed archive is one table row.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testenc {

enum class Fmt { newc, odc, bin_le, bin_be };

inline const char *fmt_name(Fmt f) {
    switch (f) {
        case Fmt::newc:
            return "newc";
        case Fmt::odc:
            return "odc";
        case Fmt::bin_le:
            return "bin_le";
        case Fmt::bin_be:
            return "bin_be";
    }
    return "?";
}

struct Entry {
    std::string name;
    std::string data;
    uint32_t mode = 0100644;
    uint32_t uid = 1000, gid = 100, nlink = 1, mtime = 1654091024, ino = 42;
    uint32_t devmajor = 0, devminor = 0, rdevmajor = 0, rdevminor = 0;
    // Overrides of what the header states.
    std::optional<uint32_t> namesize, filesize;
    std::optional<std::string> magic;  // replaces the magic bytes
    bool no_nul = false;               // name written without its NUL
};

inline std::string hex8(uint32_t v) {
    char buf[9];
    snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

inline std::string oct(uint64_t v, int width) {
    std::string s(width, '0');
    for (int i = width - 1; i >= 0; --i, v >>= 3) s[i] = char('0' + (v & 7));
    return s;
}

inline void put16(std::string &out, uint32_t v, bool big) {
    const char lo = char(v & 0xFF), hi = char((v >> 8) & 0xFF);
    if (big) {
        out += hi;
        out += lo;
    } else {
        out += lo;
        out += hi;
    }
}

inline void pad(std::string &out, size_t base, size_t align) {
    while ((out.size() - base) % align) out += '\0';
}

inline size_t header_len(Fmt f) { return f == Fmt::newc ? 110 : f == Fmt::odc ? 76 : 26; }

inline std::string encode_entry(Fmt f, const Entry &e) {
    const std::string name = e.no_nul ? e.name : e.name + std::string(1, '\0');
    const uint32_t namesize = e.namesize.value_or(uint32_t(e.name.size() + 1));
    const uint32_t filesize = e.filesize.value_or(uint32_t(e.data.size()));
    std::string out;
    switch (f) {
        case Fmt::newc:
            out = "070701";
            for (uint32_t v : {e.ino, e.mode, e.uid, e.gid, e.nlink, e.mtime, filesize, e.devmajor, e.devminor,
                               e.rdevmajor, e.rdevminor, namesize, 0u})
                out += hex8(v);
            out += name;
            pad(out, 0, 4);
            out += e.data;
            pad(out, 0, 4);
            break;
        case Fmt::odc:
            out = "070707" + oct(0, 6) + oct(e.ino, 6) + oct(e.mode, 6) + oct(e.uid, 6) + oct(e.gid, 6) +
                  oct(e.nlink, 6) + oct(0, 6) + oct(e.mtime, 11) + oct(namesize, 6) + oct(filesize, 11);
            out += name;
            out += e.data;
            break;
        case Fmt::bin_le:
        case Fmt::bin_be: {
            const bool big = f == Fmt::bin_be;
            for (uint32_t v : {0x71C7u, 0u, e.ino, e.mode, e.uid, e.gid, e.nlink, 0u}) put16(out, v, big);
            put16(out, e.mtime >> 16, big);
            put16(out, e.mtime, big);
            put16(out, namesize, big);
            put16(out, filesize >> 16, big);
            put16(out, filesize, big);
            out += name;
            pad(out, 0, 2);
            out += e.data;
            pad(out, 0, 2);
            break;
        }
    }
    if (e.magic) out.replace(0, e.magic->size(), *e.magic);
    return out;
}

inline Entry trailer() {
    Entry t;
    t.name = "TRAILER!!!";
    t.mode = 0;
    t.uid = t.gid = t.mtime = t.ino = 0;
    return t;
}

inline std::string encode(Fmt f, const std::vector<Entry> &entries, bool with_trailer = true) {
    std::string out;
    for (const Entry &e : entries) out += encode_entry(f, e);
    if (with_trailer) out += encode_entry(f, trailer());
    return out;
}

inline Entry file(std::string name, std::string data) {
    Entry e;
    e.name = std::move(name);
    e.data = std::move(data);
    return e;
}

// An entry whose 32-bit sizes wrap so that its header, name and data add
// up to 0 modulo 2^32 (for odc and bin only in 32 bits: their 64-bit sums
// go on past 4 GiB).
inline Entry wrapping_entry(Fmt f) {
    Entry z = file("zz", "");
    switch (f) {
        case Fmt::newc:
            z.namesize = 0xFFFFFF92u;
            break;  // (namesize + 113) & ~3 == 0
        case Fmt::odc:
            z.filesize = 0xFFFFFFFFu - 76 - 3 + 1;
            break;
        default:
            z.filesize = 0xFFFFFFFFu - 26 - 4 + 1;
            break;
    }
    return z;
}

inline const std::vector<Fmt> all_formats = {Fmt::newc, Fmt::odc, Fmt::bin_le, Fmt::bin_be};

}  // namespace testenc
