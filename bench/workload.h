// Deterministic workloads for the benchmarks: the same bytes on every run.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "encoders.h"

namespace bench {

// VIREDOVOZU_BENCH_SMALL=1 shrinks every workload for a smoke run.
inline bool small() {
    const char *s = std::getenv("VIREDOVOZU_BENCH_SMALL");
    return s && *s && *s != '0';
}
inline uint32_t listing_entries() { return small() ? 1000 : 100000; }
inline uint32_t big_entry_bytes() { return small() ? (1u << 20) : (256u << 20); }
constexpr uint32_t big_entries = 4;

inline uint32_t mix(uint32_t i) { return (i * 2654435761u) >> 8; }

// Entry i of the listing workload: names like d123/f45678, 0 to 200 bytes.
inline testenc::Entry small_entry(uint32_t i) {
    char name[32];
    std::snprintf(name, sizeof name, "d%03u/f%05u", i / 1000, i % 100000);
    testenc::Entry e = testenc::file(name, std::string(mix(i) % 201, char('a' + i % 26)));
    e.mtime = 1700000000 + i;
    e.ino = i + 1;
    return e;
}

inline std::vector<testenc::Entry> small_entries() {
    std::vector<testenc::Entry> v;
    for (uint32_t i = 0; i < listing_entries(); ++i) v.push_back(small_entry(i));
    return v;
}

// The listing archive in one format, built once per process.
inline const std::string &listing_archive(testenc::Fmt f) {
    static std::string cache[4];
    std::string &s = cache[static_cast<int>(f)];
    if (s.empty()) s = testenc::encode(f, small_entries());
    return s;
}

inline std::string big_data(uint32_t k) {
    std::string d(big_entry_bytes(), '\0');
    uint64_t x = 0x9E3779B97F4A7C15ull * (k + 1);
    for (size_t i = 0; i + 8 <= d.size(); i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(&d[i], &x, 8);
    }
    return d;
}

// Four entries of big_entry_bytes() each, newc.
inline const std::string &data_archive() {
    static std::string s;
    if (s.empty()) {
        for (uint32_t k = 0; k < big_entries; ++k) {
            char name[16];
            std::snprintf(name, sizeof name, "big%u", k);
            s += testenc::encode_entry(testenc::Fmt::newc, testenc::file(name, big_data(k)));
        }
        s += testenc::encode_entry(testenc::Fmt::newc, testenc::trailer());
    }
    return s;
}

// Where benchmarks write: memory-backed when the machine has it, so that
// the disk does not set the pace.
inline std::string scratch_dir() {
    struct stat st {};
    return stat("/dev/shm", &st) == 0 ? "/dev/shm" : "/tmp";
}

}  // namespace bench
