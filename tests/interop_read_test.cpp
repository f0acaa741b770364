// Archives made by GNU cpio and bsdcpio read back exactly through the
// in-memory reader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "sandbox.h"
#include "viredovozu.h"

namespace {

struct Expected {
    uint32_t mode, mtime;
    std::string data;
};

// A small tree: files of several sizes (0 and odd ones), a directory, a
// symlink, names of several lengths. Returns what each entry must hold.
std::map<std::string, Expected> make_tree(const Sandbox &sb) {
    Sandbox::run("mkdir -p '" + sb.path("tree/sub/deeper") + "'");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"empty", ""},
        {"one", "1"},
        {"odd.txt", "seven b"},
        {"sub/four", "abcd"},
        {"sub/deeper/a-rather-long-file-name-to-shift-the-padding.bin", std::string(1001, '\x5A')},
        {"sub/big", std::string(70000, 'q') + "end"},
    };
    for (const auto &[name, data] : files) sb.write("tree/" + name, data);
    Sandbox::run("ln -s 'sub/four' '" + sb.path("tree/link") + "'");
    Sandbox::run("chmod 0751 '" + sb.path("tree/odd.txt") + "'");
    Sandbox::run("cd '" + sb.path("tree") + "' && touch -h -d '2021-03-04 05:06:07 UTC' $(find . -mindepth 1)");

    std::map<std::string, Expected> want;
    const std::vector<std::string> names = {"empty",
                                            "one",
                                            "odd.txt",
                                            "sub",
                                            "sub/four",
                                            "sub/deeper",
                                            "sub/deeper/a-rather-long-file-name-to-shift-the-padding.bin",
                                            "sub/big",
                                            "link"};
    for (const std::string &n : names) {
        struct stat st {};
        lstat(sb.path("tree/" + n).c_str(), &st);
        Expected x{uint32_t(st.st_mode), uint32_t(st.st_mtime), ""};
        if (S_ISREG(st.st_mode)) x.data = sb.read("tree/" + n);
        if (S_ISLNK(st.st_mode)) x.data = "sub/four";
        want[n] = x;
    }
    return want;
}

struct Maker {
    const char *tool, *label, *command;
};

class PeerArchive : public ::testing::TestWithParam<Maker> {};

TEST_P(PeerArchive, ReadsEveryEntryExactly) {
    const Maker m = GetParam();
    if (!Sandbox::have(m.tool)) GTEST_SKIP() << m.tool << " is not installed";
    Sandbox sb;
    const auto want = make_tree(sb);
    ASSERT_EQ(sb.run_here(std::string("cd tree && find . -mindepth 1 | sed 's|^\\./||' | sort | ") + m.command +
                          " > ../a.cpio 2>/dev/null"),
              0);
    std::string image = sb.read("a.cpio");
    if (std::string(m.label) == "bin-be") {
        // Swap the bytes of every header word of the little-endian archive.
        cpioread_ctx ctx{};
        ASSERT_EQ(cpioread_init(&ctx, image.data()), &ctx);
        std::string be = image;
        size_t at = 0;
        for (;;) {
            const bool last = cpio_ops__bin.is_trailer(image.data() + at);
            const size_t size = cpio_ops__bin.get_entry_size(image.data() + at);
            for (size_t w = 0; w < 26; w += 2) std::swap(be[at + w], be[at + w + 1]);
            if (last) break;
            at += size;
        }
        image = be;
        EXPECT_EQ(image.substr(0, 2), "\x71\xC7");
    }

    cpioread_ctx ctx{};
    ASSERT_EQ(cpioread_init(&ctx, image.data()), &ctx);
    EXPECT_EQ(ctx.count, want.size());
    std::map<std::string, bool> seen;
    cpio_simple_entity e{};
    for (cpio_simple_entity *p = cpioread_first(&ctx, &e); p; p = cpioread_next(&ctx, &e)) {
        const std::string name = e.name;
        ASSERT_EQ(e.namesize, name.size() + 1);
        auto it = want.find(name);
        ASSERT_NE(it, want.end()) << name;
        seen[name] = true;
        const Expected &x = it->second;
        EXPECT_EQ(e.mode, x.mode) << name;
        EXPECT_EQ(e.mtime, x.mtime) << name;
        if (S_ISDIR(x.mode)) continue;
        EXPECT_EQ(e.filesize, x.data.size()) << name;
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(e.data), e.filesize), x.data) << name;
        cpio_simple_entity f{};
        ASSERT_EQ(cpioread_find(&ctx, &f, name.c_str()), &f);
        EXPECT_EQ(f.data, e.data);
    }
    EXPECT_EQ(seen.size(), want.size());
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerArchive,
                         ::testing::Values(Maker{"cpio", "gnu-newc", "cpio -o -H newc"},
                                           Maker{"cpio", "gnu-odc", "cpio -o -H odc"},
                                           Maker{"cpio", "bin-le", "cpio -o -H bin"},
                                           Maker{"cpio", "bin-be", "cpio -o -H bin"},
                                           Maker{"bsdcpio", "bsd-newc", "bsdcpio -o --format newc"},
                                           Maker{"bsdcpio", "bsd-odc", "bsdcpio -o --format odc"}),
                         [](const auto &info) {
                             std::string s = info.param.label;
                             for (char &c : s)
                                 if (c == '-') c = '_';
                             return s;
                         });

}  // namespace
