// A block source for the block reader over an image held in memory
// (ideally an exact-size heap block, so that AddressSanitizer and valgrind
// see any read past it). Shared by the tests and the fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "viredovozu.h"

struct MemorySource {
    enum class Mode : uint8_t {
        exact,      // the blocks that exist, the last completed with zeros
        endless,    // every block asked for; past the image zero blocks
        one_block,  // at most one block per call (a slow device)
        negative,   // as exact, but -1 instead of 0 past the end
    };
    const unsigned char *image;
    size_t size;
    Mode mode = Mode::exact;
    uint32_t calls = 0;

    // Whole blocks, the last one completed with zeros; the detection read
    // (the first call) is always answered as exact.
    static int32_t read(void *user, void *dst, uint32_t bs, uint32_t first, uint32_t count) {
        auto *self = static_cast<MemorySource *>(user);
        const bool detection = self->calls++ == 0;
        if (!detection && self->mode == Mode::one_block && count > 1) count = 1;
        auto *d = static_cast<unsigned char *>(dst);
        uint32_t got = 0;
        for (; got < count; ++got) {
            const uint64_t o = (uint64_t{first} + got) * bs;
            if (o >= self->size && (detection || self->mode != Mode::endless)) break;
            const uint64_t n = o >= self->size ? 0 : self->size - o < bs ? self->size - o : bs;
            if (n) std::memcpy(d + uint64_t{got} * bs, self->image + o, n);
            std::memset(d + uint64_t{got} * bs + n, 0, bs - n);
        }
        if (got == 0 && self->mode == Mode::negative && !detection) return -1;
        return static_cast<int32_t>(got);
    }

    // The window comes from malloc, uninitialised, so that valgrind sees a
    // decision taken on bytes that were never delivered.
    static void *alloc(void *, uint32_t size) { return std::malloc(size); }
    static void release(void *, void *p) { std::free(p); }

    cpioreadex_ctx *init(cpioreadex_ctx *ctx, uint32_t block_size) {
        return cpioreadex_init(ctx, block_size, read, this, alloc, release, nullptr);
    }
};
