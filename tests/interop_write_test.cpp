// Archives that the writer makes are listed and extracted by GNU cpio and
// bsdcpio: contents, modes, mtimes, symlinks and hard links.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "sandbox.h"
#include "viredovozu.h"

namespace {

constexpr uint32_t buffer_mtime = 1600000000;  // entries from buffers and links
constexpr uint32_t file_mtime = 1500000000;    // the files added from disk

struct Want {
    std::string name;
    char type;  // 'd', '-', 'l'
    unsigned perm;
    uint32_t mtime;    // 0: not compared (GNU cpio does not restore it)
    std::string data;  // contents, or the symlink's target
    unsigned nlink;
};

const std::string hello = "hello, world\n";
const std::string linked = "one file, three names\n";
const std::string big = [] {
    std::string s(70001, '\0');
    for (size_t i = 0; i < s.size(); ++i) s[i] = char(i * 31 % 251);
    return s;
}();

const std::vector<Want> wanted = {
    {"dir", 'd', 0750, 0, "", 1},  // written before what it holds
    {"dir/hello", '-', 0640, file_mtime, hello, 1},
    {"dir/empty", '-', 0600, file_mtime, "", 1},
    {"dir/big", '-', 0644, file_mtime, big, 1},
    {"dir/link", 'l', 0777, buffer_mtime, "hello", 1},
    {"dir/hard1", '-', 0644, buffer_mtime, linked, 3},
    {"dir/hard2", '-', 0644, buffer_mtime, linked, 3},
    {"dir/hard0", '-', 0644, buffer_mtime, linked, 3},
    {"void", 'd', 0700, buffer_mtime, "", 1},
    {"top", '-', 0755, buffer_mtime, "#!/bin/sh\n", 1},
};

// Writes the archive of wanted to sb's a.cpio: the directory and the symlink
// from buffers, regular files from disk, and the hard-linked file as two
// links followed by the entry that carries the data.
void write_archive(const Sandbox &sb) {
    sb.write("src-hello", hello);
    sb.write("src-empty", "");
    sb.write("src-big", big);
    ASSERT_EQ(Sandbox::run("touch -d @" + std::to_string(file_mtime) + " '" + sb.path("src-hello") + "' '" +
                           sb.path("src-empty") + "' '" + sb.path("src-big") + "'"),
              0);
    const uint32_t uid = geteuid(), gid = getegid();
    cpiowrite_ctx *ctx = cpiowrite_start(sb.path("a.cpio").c_str());
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(cpiowrite_set_mtime(ctx, buffer_mtime), 1);
    ASSERT_EQ(cpiowrite_add_data(ctx, "dir", 040750, uid, gid, nullptr, 0), 1);
    ASSERT_EQ(cpiowrite_add_file(ctx, "dir/hello", 0100640, sb.path("src-hello").c_str()), 1);
    ASSERT_EQ(cpiowrite_add_file(ctx, "dir/empty", 0100600, sb.path("src-empty").c_str()), 1);
    ASSERT_EQ(cpiowrite_add_file(ctx, "dir/big", 0100644, sb.path("src-big").c_str()), 1);
    ASSERT_EQ(cpiowrite_add_data(ctx, "dir/link", 0120777, uid, gid, "hello", 5), 1);
    const int32_t ino = cpiowrite_get_ino(ctx), major = cpiowrite_get_devmajor(ctx),
                  minor = cpiowrite_get_devminor(ctx);
    ASSERT_EQ(cpiowrite_add_hardlink(ctx, "dir/hard1", 0100644, uid, gid, major, minor, ino), 1);
    ASSERT_EQ(cpiowrite_add_hardlink(ctx, "dir/hard2", 0100644, uid, gid, major, minor, ino), 1);
    ASSERT_EQ(cpiowrite_add_data(ctx, "dir/hard0", 0100644, uid, gid, linked.data(), uint32_t(linked.size())), 1);
    ASSERT_EQ(cpiowrite_add_data(ctx, "void", 040700, uid, gid, nullptr, 0), 1);
    ASSERT_EQ(cpiowrite_add_data(ctx, "top", 0100755, uid, gid, "#!/bin/sh\n", 10), 1);
    ASSERT_EQ(cpiowrite_finish(ctx), 1);
}

std::string mode_string(const Want &w) {
    std::string s(1, w.type);
    const char *rwx = "rwx";
    for (int bit = 8; bit >= 0; --bit) s += (w.perm >> bit & 1) ? rwx[(8 - bit) % 3] : '-';
    return s;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        out.push_back(text.substr(at, nl - at));
    return out;
}

struct Tool {
    const char *tool, *list, *extract;
};

void PrintTo(const Tool &t, std::ostream *os) { *os << t.tool; }

struct PeerReads : ::testing::TestWithParam<Tool> {};

TEST_P(PeerReads, ListsEveryEntry) {
    const Tool &t = GetParam();
    if (!Sandbox::have(t.tool)) GTEST_SKIP() << t.tool << " is not installed";
    Sandbox sb;
    write_archive(sb);
    ASSERT_EQ(sb.run_here(std::string(t.list) + " < a.cpio > list 2> errors"), 0) << sb.read("errors");
    const auto lines = lines_of(sb.read("list"));
    ASSERT_EQ(lines.size(), wanted.size()) << sb.read("list");
    for (size_t i = 0; i < wanted.size(); ++i) {
        const Want &w = wanted[i];
        const std::string &line = lines[i];
        // bsdcpio names the first link of a hard-linked file after the others.
        std::string tail = w.type == 'l' ? w.name + " -> " + w.data : w.name;
        if (w.nlink > 1 && w.name != "dir/hard1" && line.find(" link to ") != std::string::npos)
            tail += " link to dir/hard1";
        EXPECT_EQ(line.substr(0, 10), mode_string(w)) << line;
        ASSERT_GE(line.size(), tail.size()) << line;
        EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
        // The link count stands right after the mode.
        EXPECT_EQ(std::stoul(line.substr(10)), w.nlink) << line;
    }
}

TEST_P(PeerReads, ExtractsContentsModesMtimesAndLinks) {
    const Tool &t = GetParam();
    if (!Sandbox::have(t.tool)) GTEST_SKIP() << t.tool << " is not installed";
    Sandbox sb;
    write_archive(sb);
    ASSERT_EQ(sb.run_here(std::string("mkdir x && cd x && umask 022 && ") + t.extract + " < ../a.cpio 2> ../errors"), 0)
        << sb.read("errors");
    for (const Want &w : wanted) {
        const std::string p = sb.path("x/" + w.name);
        struct stat st {};
        ASSERT_EQ(lstat(p.c_str(), &st), 0) << w.name;
        EXPECT_EQ(st.st_mode & 07777, w.perm) << w.name;
        if (w.type == 'd') {
            EXPECT_TRUE(S_ISDIR(st.st_mode)) << w.name;
            if (w.mtime != 0) {
                EXPECT_EQ(uint32_t(st.st_mtime), w.mtime) << w.name;
            }
        } else if (w.type == 'l') {
            ASSERT_TRUE(S_ISLNK(st.st_mode)) << w.name;
            char target[PATH_MAX] = {};
            ASSERT_GT(readlink(p.c_str(), target, sizeof target - 1), 0);
            EXPECT_EQ(std::string(target), w.data);
        } else {
            ASSERT_TRUE(S_ISREG(st.st_mode)) << w.name;
            EXPECT_EQ(uint32_t(st.st_mtime), w.mtime) << w.name;
            EXPECT_EQ(st.st_nlink, w.nlink) << w.name;
            EXPECT_TRUE(sb.read("x/" + w.name) == w.data) << w.name;
        }
    }
    struct stat a {
    }, b{}, c{};
    ASSERT_EQ(stat(sb.path("x/dir/hard0").c_str(), &a), 0);
    ASSERT_EQ(stat(sb.path("x/dir/hard1").c_str(), &b), 0);
    ASSERT_EQ(stat(sb.path("x/dir/hard2").c_str(), &c), 0);
    EXPECT_EQ(a.st_ino, b.st_ino);
    EXPECT_EQ(a.st_ino, c.st_ino);
}

INSTANTIATE_TEST_SUITE_P(Peers, PeerReads,
                         ::testing::Values(Tool{"cpio", "cpio -itv --quiet", "cpio -idm --quiet"},
                                           Tool{"bsdcpio", "bsdcpio -itv --quiet", "bsdcpio -idm --quiet"}),
                         [](const auto &info) { return std::string(info.param.tool); });

}  // namespace
