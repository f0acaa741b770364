// Archives made by GNU cpio and bsdcpio, read from a file through pread
// by the block reader, give the same entries and data bytes as the
// in-memory reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "peer_tree.h"
#include "viredovozu.h"

namespace {

struct File {
    int fd;
};

int32_t pread_blocks(void *user, void *dst, uint32_t bs, uint32_t first, uint32_t count) {
    const int fd = static_cast<File *>(user)->fd;
    const size_t want = size_t{bs} * count;
    size_t got = 0;
    while (got < want) {
        const ssize_t n = pread(fd, static_cast<char *>(dst) + got, want - got, off_t(first) * bs + off_t(got));
        if (n <= 0) break;
        got += size_t(n);
    }
    if (got % bs) std::memset(static_cast<char *>(dst) + got, 0, bs - got % bs);  // complete the last block
    return int32_t((got + bs - 1) / bs);
}
void *alloc_window(void *, uint32_t size) { return std::malloc(size); }
void free_window(void *, void *p) { std::free(p); }
void append(void *user, const void *data, uint32_t len) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), len);
}

class PeerBlocks : public ::testing::TestWithParam<std::tuple<peer::Maker, uint32_t>> {};

TEST_P(PeerBlocks, SameEntriesAndBytesAsTheInMemoryReader) {
    const auto [m, block_size] = GetParam();
    if (!Sandbox::have(m.tool)) GTEST_SKIP() << m.tool << " is not installed";
    Sandbox sb;
    peer::make_tree(sb);
    const std::string image = peer::archive_tree(sb, m);
    ASSERT_FALSE(image.empty());

    File file{open(sb.path("a.cpio").c_str(), O_RDONLY)};
    ASSERT_GE(file.fd, 0);
    cpioreadex_ctx ctx{};
    ASSERT_EQ(cpioreadex_init(&ctx, block_size, pread_blocks, &file, alloc_window, free_window, nullptr), &ctx);
    cpioread_ctx mem{};
    ASSERT_EQ(cpioread_init(&mem, image.data()), &mem);
    EXPECT_EQ(ctx.ops, mem.ops);

    std::vector<char> name(4096);
    cpio_extended_entity e{};
    cpioreadex_init_entity(&e, name.data(), uint32_t(name.size()));
    cpio_simple_entity s{};
    uint32_t n = 0;
    for (auto *p = cpioreadex_first(&ctx, &e); p; p = cpioreadex_next(&ctx, &e), ++n) {
        ASSERT_EQ(n ? cpioread_next(&mem, &s) : cpioread_first(&mem, &s), &s);
        EXPECT_STREQ(name.data(), s.name);
        EXPECT_EQ(e.namesize, s.namesize);
        EXPECT_EQ(e.mode, s.mode);
        EXPECT_EQ(e.mtime, s.mtime);
        ASSERT_EQ(e.filesize, s.filesize);
        EXPECT_EQ(e.data_offset, uint64_t(s.data - reinterpret_cast<const unsigned char *>(image.data())));
        std::string data;
        ASSERT_EQ(cpioreadex_do_data(&ctx, &e, 0, e.filesize, append, &data), 0);
        EXPECT_EQ(data, std::string(reinterpret_cast<const char *>(s.data), s.filesize)) << s.name;
    }
    EXPECT_EQ(n, mem.count);
    // The peers pad to 512 bytes, so at 512 and up the trailer lies within
    // the last four blocks and the size is the length in whole blocks.
    if (block_size >= 512)
        EXPECT_EQ(cpioreadex_get_size(&ctx), (image.size() + block_size - 1) / block_size * block_size);
    else
        EXPECT_LE(cpioreadex_get_size(&ctx), image.size());
    ASSERT_EQ(cpioreadex_find(&ctx, &e, "sub/big"), &e);
    EXPECT_EQ(e.filesize, 70003u);
    cpioreadex_deinit(&ctx);
    close(file.fd);
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerBlocks,
                         ::testing::Combine(::testing::ValuesIn(peer::makers),
                                            ::testing::Values(64u, 512u, 4096u, 65536u)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).label) + "_" +
                                    std::to_string(std::get<1>(info.param));
                         });

}  // namespace
