// A heap block of exactly the bytes given, so that AddressSanitizer reports
// any read past them.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

class HeapBytes {
   public:
    explicit HeapBytes(const std::string &s)
        : size_(s.size()), p_(static_cast<char *>(std::malloc(s.size() ? s.size() : 1))) {
        std::memcpy(p_, s.data(), s.size());
    }
    ~HeapBytes() { std::free(p_); }
    HeapBytes(const HeapBytes &) = delete;
    HeapBytes &operator=(const HeapBytes &) = delete;
    const void *get() const { return p_; }
    char *data() { return p_; }
    size_t size() const { return size_; }

   private:
    size_t size_;
    char *p_;
};
