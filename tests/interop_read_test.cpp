// Archives made by GNU cpio and bsdcpio read back exactly through the
// in-memory reader; a big-endian bin archive is made from GNU cpio's
// little-endian one by swapping every header word.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <utility>

#include "peer_tree.h"
#include "viredovozu.h"

namespace {

// The same archive with the two bytes of every bin header word exchanged.
std::string swap_bin_headers(const std::string &image) {
    std::string out = image;
    for (size_t at = 0;;) {
        const bool last = cpio_ops__bin.is_trailer(image.data() + at);
        const size_t size = cpio_ops__bin.get_entry_size(image.data() + at);
        for (size_t w = 0; w < 26; w += 2) std::swap(out[at + w], out[at + w + 1]);
        if (last) return out;
        at += size;
    }
}

void expect_reads_tree(const std::string &image, const std::map<std::string, peer::Expected> &want) {
    cpioread_ctx ctx{};
    ASSERT_EQ(cpioread_init(&ctx, image.data()), &ctx);
    EXPECT_EQ(ctx.count, want.size());
    size_t seen = 0;
    cpio_simple_entity e{};
    for (cpio_simple_entity *p = cpioread_first(&ctx, &e); p; p = cpioread_next(&ctx, &e), ++seen) {
        const std::string name = e.name;
        ASSERT_EQ(e.namesize, name.size() + 1);
        auto it = want.find(name);
        ASSERT_NE(it, want.end()) << name;
        const peer::Expected &x = it->second;
        EXPECT_EQ(e.mode, x.mode) << name;
        EXPECT_EQ(e.mtime, x.mtime) << name;
        if (S_ISDIR(x.mode)) continue;
        EXPECT_EQ(e.filesize, x.data.size()) << name;
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(e.data), e.filesize), x.data) << name;
        cpio_simple_entity f{};
        ASSERT_EQ(cpioread_find(&ctx, &f, name.c_str()), &f);
        EXPECT_EQ(f.data, e.data);
    }
    EXPECT_EQ(seen, want.size());
}

class PeerArchive : public ::testing::TestWithParam<peer::Maker> {};

TEST_P(PeerArchive, ReadsEveryEntryExactly) {
    const peer::Maker m = GetParam();
    if (!Sandbox::have(m.tool)) GTEST_SKIP() << m.tool << " is not installed";
    Sandbox sb;
    const auto want = peer::make_tree(sb);
    const std::string image = peer::archive_tree(sb, m);
    ASSERT_FALSE(image.empty());
    expect_reads_tree(image, want);
    if (std::string(m.label) == "gnu_bin") {
        const std::string be = swap_bin_headers(image);
        ASSERT_EQ(be.substr(0, 2), "\x71\xC7");
        expect_reads_tree(be, want);
    }
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerArchive, ::testing::ValuesIn(peer::makers),
                         [](const auto &info) { return std::string(info.param.label); });

}  // namespace
