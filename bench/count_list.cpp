// Runs one listing loop once, for an instruction counter:
//   valgrind --tool=callgrind --toggle-collect=measured_loop count_list FORMAT READER
// FORMAT is newc, odc or bin; READER is mem, bounded, blocks512, blocks4096,
// blocks65536, floor or libarchive. Only measured_loop is counted, so the
// workload's generation does not enter the count.
#include <cstdio>
#include <cstring>
#include <string>

#include "loops.h"
#include "workload.h"

namespace {
const std::string *image;
bench::Fmt format;
const char *reader;
}  // namespace

extern "C" __attribute__((noinline)) uint64_t measured_loop() {
    const std::string &img = *image;
    if (!std::strcmp(reader, "mem")) return bench::list_mem(img);
    if (!std::strcmp(reader, "bounded")) return bench::list_bounded(img);
    if (!std::strncmp(reader, "blocks", 6)) return bench::list_blocks(img, uint32_t(std::atoi(reader + 6)));
    if (!std::strcmp(reader, "floor")) return bench::list_floor(format, img, bench::listing_entries());
#ifdef VIREDOVOZU_HAVE_LIBARCHIVE
    if (!std::strcmp(reader, "libarchive")) return bench::list_libarchive(img);
#endif
    std::fprintf(stderr, "unknown reader %s\n", reader);
    std::exit(2);
}

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: count_list newc|odc|bin mem|bounded|blocksN|floor|libarchive\n");
        return 2;
    }
    const std::string f = argv[1];
    format = f == "newc" ? bench::Fmt::newc : f == "odc" ? bench::Fmt::odc : bench::Fmt::bin_le;
    reader = argv[2];
    image = &bench::listing_archive(format);
    std::printf("%llu entries, checksum %llu\n", (unsigned long long)bench::listing_entries(),
                (unsigned long long)measured_loop());
    return 0;
}
