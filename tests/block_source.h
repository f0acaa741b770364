// A recording block source for the block reader: it serves an archive laid
// out as byte extents (so a test can place a header beyond 4 GiB without
// storing the bytes in between), and records every allocation, release and
// read request.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "viredovozu.h"

struct ReadRequest {
    uint32_t slot, first, count;
    bool operator==(const ReadRequest &o) const { return slot == o.slot && first == o.first && count == o.count; }
};

inline std::ostream &operator<<(std::ostream &os, const ReadRequest &r) {
    return os << "{slot " << r.slot << ", block " << r.first << ", count " << r.count << "}";
}

class BlockSource {
   public:
    // What the read callback returns besides the blocks it stores.
    enum class Reply { exact, more_than_asked, negative };

    BlockSource() = default;
    explicit BlockSource(std::string archive) { place(0, std::move(archive)); }

    // Bytes at offset; the archive's length is the end of the last extent.
    void place(uint64_t offset, std::string bytes) {
        length_ = std::max(length_, offset + bytes.size());
        extents_[offset] = std::move(bytes);
    }
    void set_length(uint64_t n) { length_ = n; }
    uint64_t length() const { return length_; }

    // Byte o of the archive: from its extent, or a filler that depends on o.
    unsigned char at(uint64_t o) const {
        auto it = extents_.upper_bound(o);
        if (it != extents_.begin()) {
            --it;
            if (o - it->first < it->second.size()) return static_cast<unsigned char>(it->second[o - it->first]);
        }
        return static_cast<unsigned char>((o * 131) >> 7);
    }
    std::string bytes(uint64_t o, uint64_t n) const {
        std::string s(n, '\0');
        for (uint64_t i = 0; i < n; ++i) s[i] = static_cast<char>(at(o + i));
        return s;
    }

    Reply reply = Reply::exact;
    std::vector<ReadRequest> reads;
    std::vector<uint32_t> allocs;
    std::vector<void *> frees;
    unsigned char *window = nullptr;
    bool fail_alloc = false;
    int32_t detection_result = -1;  // >= 0: what the read of block 0 alone returns

    cpioreadex_ctx *init(cpioreadex_ctx *ctx, uint32_t block_size) {
        return cpioreadex_init(ctx, block_size, &BlockSource::read_cb, this, &BlockSource::alloc_cb,
                               &BlockSource::free_cb, this);
    }
    size_t calls() const { return reads.size() + allocs.size() + frees.size(); }

    static int32_t read_cb(void *user, void *dst, uint32_t bs, uint32_t first, uint32_t count) {
        auto *self = static_cast<BlockSource *>(user);
        auto *d = static_cast<unsigned char *>(dst);
        self->reads.push_back({static_cast<uint32_t>((d - self->window) / bs), first, count});
        if (self->detection_result >= 0 && first == 0 && count == 1 && self->reads.size() == 1) {
            if (self->detection_result > 0) self->fill(d, bs, 0);
            return self->detection_result;
        }
        uint32_t got = 0;
        for (; got < count && (uint64_t{first} + got) * bs < self->length_; ++got)
            self->fill(d + uint64_t{got} * bs, bs, (uint64_t{first} + got) * bs);
        if (self->reads.size() == 1) return static_cast<int32_t>(got);  // detection answers as asked
        switch (self->reply) {
            case Reply::exact:
                return static_cast<int32_t>(got);
            case Reply::more_than_asked:
                return static_cast<int32_t>(got + 5);
            case Reply::negative:
                return -3;
        }
        return 0;
    }
    static void *alloc_cb(void *user, uint32_t size) {
        auto *self = static_cast<BlockSource *>(user);
        self->allocs.push_back(size);
        if (self->fail_alloc) return nullptr;
        self->window = static_cast<unsigned char *>(std::malloc(size));
        return self->window;
    }
    static void free_cb(void *user, void *p) {
        auto *self = static_cast<BlockSource *>(user);
        self->frees.push_back(p);
        std::free(p);
    }

   private:
    // One block from offset o; past the archive's end it is completed with
    // zeros.
    void fill(unsigned char *d, uint32_t bs, uint64_t o) const {
        for (uint32_t i = 0; i < bs; ++i) d[i] = o + i < length_ ? at(o + i) : 0;
    }

    std::map<uint64_t, std::string> extents_;
    uint64_t length_ = 0;
};

// A sink that keeps every chunk.
struct Sink {
    std::vector<std::string> chunks;
    static void cb(void *user, const void *data, uint32_t len) {
        static_cast<Sink *>(user)->chunks.emplace_back(static_cast<const char *>(data), len);
    }
    std::string all() const {
        std::string s;
        for (const auto &c : chunks) s += c;
        return s;
    }
    std::vector<size_t> sizes() const {
        std::vector<size_t> v;
        for (const auto &c : chunks) v.push_back(c.size());
        return v;
    }
};
