// An archive past 2 GiB: the link counts of hard links whose headers lie
// beyond the 2 GiB mark are rewritten in place. Writes a little over 2 GiB
// to a temporary file and removes it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "sandbox.h"
#include "viredovozu.h"
#include "written_archive.h"

namespace {

constexpr uint64_t two_gib = uint64_t{1} << 31;

TEST(WriteLarge, LinkCountsOfHeadersBeyondTwoGiB) {
    Sandbox sb;
    const std::string path = sb.path("large.cpio");
    cpiowrite_ctx *ctx = cpiowrite_start(path.c_str());
    ASSERT_NE(ctx, nullptr);

    // One link below the mark, then data to just past it.
    ASSERT_EQ(cpiowrite_add_hardlink(ctx, "early", 0100644, 0, 0, 0, 1, 0x900), 1);
    static char chunk[1 << 20];
    std::memset(chunk, 'z', sizeof chunk);
    const uint32_t big = uint32_t(two_gib + 4096);
    std::vector<cpio_span> spans(big / sizeof chunk, cpio_span{sizeof chunk, chunk});
    spans.push_back({big % sizeof chunk, chunk});
    ASSERT_EQ(cpiowrite_add_datav(ctx, "big", 0100644, 0, 0, spans.data(), int32_t(spans.size())), 1);

    ASSERT_EQ(cpiowrite_add_hardlink(ctx, "late1", 0100644, 0, 0, 0, 1, 0x900), 1);
    ASSERT_EQ(cpiowrite_add_hardlink(ctx, "late2", 0100644, 0, 0, 0, 1, 0x900), 1);
    ASSERT_EQ(cpiowrite_set_ino(ctx, 0x900), 1);
    ASSERT_EQ(cpiowrite_set_devminor(ctx, 1), 1);
    ASSERT_EQ(cpiowrite_add_data(ctx, "data", 0100644, 0, 0, "linked", 6), 1);
    ASSERT_EQ(cpiowrite_finish(ctx), 1) << strerror(errno);

    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    const size_t size = size_t(st.st_size);
    EXPECT_EQ(size % 512, 0u);
    void *image = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    ASSERT_NE(image, MAP_FAILED);

    const auto got = written::entries_of(image, false);
    ASSERT_EQ(got.size(), 5u);
    const char *names[] = {"early", "big", "late1", "late2", "data"};
    const uint32_t nlinks[] = {4, 1, 4, 4, 4};
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].name, names[i]);
        EXPECT_EQ(got[i].nlink, nlinks[i]) << names[i];
        if (i >= 2) {
            EXPECT_GT(got[i].offset, two_gib) << names[i];
        }
    }
    EXPECT_EQ(got[1].filesize, big);
    // The rewrite touched the link headers only: the big entry's data are
    // whole.
    const char *data = static_cast<const char *>(image) + got[1].offset + 116;
    bool intact = true;
    for (uint64_t at = 0; at < big && intact; at += sizeof chunk) {
        const size_t n = size_t(std::min<uint64_t>(sizeof chunk, big - at));
        intact = std::memcmp(data + at, chunk, n) == 0;
    }
    EXPECT_TRUE(intact);
    const char *last = static_cast<const char *>(image) + got[4].offset + 116;
    EXPECT_EQ(std::string(last, 6), "linked");

    munmap(image, size);
    EXPECT_EQ(unlink(path.c_str()), 0);
}

}  // namespace
