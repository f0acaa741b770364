// The writer round trip's input: a script of writer calls, one step after
// another. The target parses it; the seed generator writes it.
//
// Every step begins with its kind (the byte modulo 8). Adders then carry
// mode (2 bytes, little end first), uid and gid (1 byte each) and a name:
// a length byte and that many bytes, where 255 stands for a name of 259
// characters (refused) and 254 for one of 258 (the longest accepted).
// Buffers are a 2-byte length and the bytes.
//   data      name, one buffer
//   data2     name, two buffers
//   datav     name, a count byte c, c modulo 6 buffers; buffers of length 0
//             are passed as null pointers when c / 6 is odd
//   hardlink  name, devmajor and devminor (1 byte each), ino (2 bytes)
//   mtime     4 bytes
//   ino       a selector byte and 2 bytes: the value; 0; 0x7FFFFFFE; or
//             0x7FFFFFFF (the counter then refuses every add)
//   dev       devmajor and devminor, 1 byte each
//   file      name, one buffer, written to a file that is then added
// A step cut short by the input's end is dropped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace script {

enum class Kind : uint8_t { data, data2, datav, hardlink, mtime, ino, dev, file };

struct Step {
    Kind kind = Kind::data;
    uint16_t mode = 0;
    uint8_t uid = 0, gid = 0;
    std::string name;
    std::vector<std::string> buffers;
    bool null_empty = false;  // datav: empty buffers as null pointers
    uint8_t devmajor = 0, devminor = 0;
    uint16_t ino = 0;
    uint8_t selector = 0;
    uint32_t value = 0;
};

inline constexpr uint8_t name_259 = 255, name_258 = 254;

class Parser {
   public:
    Parser(const uint8_t *p, size_t n) : p_(p), n_(n) {}

    bool next(Step &s) {
        s = Step{};
        uint8_t k;
        if (!u8(k)) return false;
        s.kind = static_cast<Kind>(k % 8);
        switch (s.kind) {
            case Kind::data:
            case Kind::file:
                return entry(s) && buffers(s, 1);
            case Kind::data2:
                return entry(s) && buffers(s, 2);
            case Kind::datav: {
                uint8_t c;
                if (!entry(s) || !u8(c)) return false;
                s.null_empty = (c / 6) & 1;
                return buffers(s, c % 6);
            }
            case Kind::hardlink:
                return entry(s) && u8(s.devmajor) && u8(s.devminor) && u16(s.ino);
            case Kind::mtime: {
                uint16_t lo, hi;
                if (!u16(lo) || !u16(hi)) return false;
                s.value = uint32_t{hi} << 16 | lo;
                return true;
            }
            case Kind::ino: {
                uint16_t v;
                if (!u8(s.selector) || !u16(v)) return false;
                const uint32_t values[] = {v, 0, 0x7FFFFFFE, 0x7FFFFFFF};
                s.value = values[s.selector % 4];
                return true;
            }
            case Kind::dev:
                return u8(s.devmajor) && u8(s.devminor);
        }
        return false;
    }

   private:
    bool u8(uint8_t &v) {
        if (n_ == 0) return false;
        v = *p_++;
        --n_;
        return true;
    }
    bool u16(uint16_t &v) {
        uint8_t lo, hi;
        if (!u8(lo) || !u8(hi)) return false;
        v = static_cast<uint16_t>(lo | hi << 8);
        return true;
    }
    bool bytes(std::string &s, size_t len) {
        if (len > n_) return false;
        s.assign(reinterpret_cast<const char *>(p_), len);
        p_ += len;
        n_ -= len;
        return true;
    }
    bool entry(Step &s) {
        uint8_t len;
        if (!u16(s.mode) || !u8(s.uid) || !u8(s.gid) || !u8(len)) return false;
        if (len == name_259 || len == name_258) {
            s.name.assign(len == name_259 ? 259 : 258, 'n');
            return true;
        }
        return bytes(s.name, len);
    }
    bool buffers(Step &s, unsigned count) {
        for (unsigned i = 0; i < count; ++i) {
            uint16_t len;
            std::string b;
            if (!u16(len) || !bytes(b, len)) return false;
            s.buffers.push_back(std::move(b));
        }
        return true;
    }

    const uint8_t *p_;
    size_t n_;
};

// The bytes that parse back into steps.
inline std::string serialize(const std::vector<Step> &steps) {
    std::string out;
    auto u8 = [&](unsigned v) { out += static_cast<char>(v & 0xFF); };
    auto u16 = [&](unsigned v) {
        u8(v);
        u8(v >> 8);
    };
    auto entry = [&](const Step &s) {
        u16(s.mode);
        u8(s.uid);
        u8(s.gid);
        if (s.name.size() == 259 || s.name.size() == 258) {
            u8(s.name.size() == 259 ? name_259 : name_258);
        } else {
            u8(static_cast<unsigned>(s.name.size()));
            out += s.name;
        }
    };
    auto buffers = [&](const Step &s) {
        for (const std::string &b : s.buffers) {
            u16(static_cast<unsigned>(b.size()));
            out += b;
        }
    };
    for (const Step &s : steps) {
        u8(static_cast<unsigned>(s.kind));
        switch (s.kind) {
            case Kind::data:
            case Kind::data2:
            case Kind::file:
                entry(s);
                buffers(s);
                break;
            case Kind::datav:
                entry(s);
                u8(static_cast<unsigned>(s.buffers.size()) + (s.null_empty ? 6 : 0));
                buffers(s);
                break;
            case Kind::hardlink:
                entry(s);
                u8(s.devmajor);
                u8(s.devminor);
                u16(s.ino);
                break;
            case Kind::mtime:
                u16(s.value & 0xFFFF);
                u16(s.value >> 16);
                break;
            case Kind::ino:
                u8(s.selector);
                u16(s.value);
                break;
            case Kind::dev:
                u8(s.devmajor);
                u8(s.devminor);
                break;
        }
    }
    return out;
}

}  // namespace script
