// What the fuzz targets share: exact-size heap copies, control bytes taken
// from the front of an input, the sink of the block reader's data, and the
// check that turns a broken oracle into a crash that libFuzzer keeps. The
// block source over memory is the tests' (tests/memory_source.h).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "memory_source.h"
#include "viredovozu.h"

#define FZ_CHECK(cond)                                              \
    do {                                                            \
        if (!(cond)) ::fz::check_failed(#cond, __FILE__, __LINE__); \
    } while (0)

namespace fz {

[[noreturn]] inline void check_failed(const char *what, const char *file, int line) {
    std::fprintf(stderr, "%s:%d: oracle failed: %s\n", file, line, what);
    std::abort();
}

// A heap block of exactly the bytes given: AddressSanitizer and valgrind
// see any read past them (and before them).
class Bytes {
   public:
    Bytes(const void *p, size_t n) : n_(n), p_(static_cast<unsigned char *>(std::malloc(n ? n : 1))) {
        if (p_ == nullptr) std::abort();
        if (n) std::memcpy(p_, p, n);
    }
    ~Bytes() { std::free(p_); }
    Bytes(const Bytes &) = delete;
    Bytes &operator=(const Bytes &) = delete;
    const unsigned char *data() const { return p_; }
    size_t size() const { return n_; }

   private:
    size_t n_;
    unsigned char *p_;
};

// Control bytes from the front of an input; past its end they read as 0.
class Input {
   public:
    Input(const uint8_t *p, size_t n) : p_(p), n_(n) {}
    uint8_t byte() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    uint16_t u16() {
        const uint8_t lo = byte();  // the low byte first, in every compiler
        return static_cast<uint16_t>(lo | byte() << 8);
    }
    const uint8_t *rest() const { return p_; }
    size_t rest_size() const { return n_; }

   private:
    const uint8_t *p_;
    size_t n_;
};

// The block sizes a target picks from: 0 (the default, 512) and the powers
// of two from 64 to 8192.
inline uint32_t block_size_from(uint8_t b) {
    const uint32_t k = b % 9u;
    return k == 8 ? 0 : uint32_t{64} << k;
}

// The archive's format: the table that detection picks from its first six
// bytes, zero-padded.
inline const cpio_ops *detect(const unsigned char *image, size_t size) {
    unsigned char head[6] = {};
    std::memcpy(head, image, size < 6 ? size : 6);
    return cpio_find_ops_for_img__(head);
}

inline size_t header_len(const cpio_ops *ops) {
    static constexpr unsigned char scratch[128] = {};
    return static_cast<size_t>(ops->get_name(scratch) - reinterpret_cast<const char *>(scratch));
}

// The image followed by zeros: what the block reader's window shows of it
// when the source completes the last block with zeros and delivers nothing
// past it. Large enough for any header and name test at any offset below
// size + tail.
struct Padded {
    std::vector<unsigned char> bytes;
    Padded(const unsigned char *image, size_t size, size_t tail) : bytes(size + tail, 0) {
        if (size) std::memcpy(bytes.data(), image, size);
    }
    const unsigned char *at(uint64_t o) const { return bytes.data() + o; }
    bool has(uint64_t o, uint64_t n) const { return o <= bytes.size() && n <= bytes.size() - o; }
};

// Records every chunk that cpioreadex_do_data hands over, and checks that
// each lies inside the window's delivered blocks.
struct Sink {
    const cpioreadex_ctx *ctx;
    std::string got;
    uint32_t chunks = 0;
    static void cb(void *user, const void *data, uint32_t len) {
        auto *self = static_cast<Sink *>(user);
        const cpioreadex_ctx *c = self->ctx;
        const auto *p = static_cast<const unsigned char *>(data);
        FZ_CHECK(len > 0);
        FZ_CHECK(c->window_count <= 4);
        FZ_CHECK(p >= c->window);
        FZ_CHECK(static_cast<uint64_t>(p - c->window) + len <= uint64_t{c->window_count} * c->block_size);
        self->got.append(static_cast<const char *>(data), len);
        ++self->chunks;
    }
};

}  // namespace fz
