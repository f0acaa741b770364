// The vcpio program, driven as a user drives it: trees archived and
// extracted again, listings compared with GNU cpio and bsdcpio, hostile
// and damaged archives, and the command line's errors.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "encoders.h"
#include "peer_tree.h"
#include "sandbox.h"
#include "written_archive.h"

namespace {

using testenc::Entry;

struct Result {
    int status;
    std::string out, err;
};

// Runs vcpio with args (shell words) in sb's directory.
Result vcpio(const Sandbox &sb, const std::string &args, const std::string &env = "") {
    const int status = sb.run_here(env + " '" VCPIO_PATH "' " + args + " >.out 2>.err");
    return {status, sb.read(".out"), sb.read(".err")};
}

// Output of a shell command run in sb's directory.
std::string output(const Sandbox &sb, const std::string &cmd) {
    sb.run_here(cmd + " >.peer 2>/dev/null");
    return sb.read(".peer");
}

// Every path below root (relative, sorted), not following symlinks.
void walk(const std::string &root, const std::string &rel, std::vector<std::string> &out) {
    DIR *d = opendir((root + "/" + rel).c_str());
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (const dirent *de = readdir(d))
        if (std::string(de->d_name) != "." && std::string(de->d_name) != "..") names.emplace_back(de->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        const std::string r = rel.empty() ? n : rel + "/" + n;
        out.push_back(r);
        struct stat st {};
        if (lstat((root + "/" + r).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) walk(root, r, out);
    }
}

std::vector<std::string> paths_below(const std::string &root) {
    std::vector<std::string> out;
    walk(root, "", out);
    return out;
}

struct Compare {
    bool symlink_times = true;
    bool dir_times = true;
};

// One line per path: type, permissions, mtime, contents or target, and the
// first path of its hard-link group.
std::string describe(const std::string &root, Compare c = {}) {
    std::string out;
    std::map<std::pair<dev_t, ino_t>, std::string> first_of;
    for (const std::string &p : paths_below(root)) {
        struct stat st {};
        lstat((root + "/" + p).c_str(), &st);
        char line[128];
        const bool times = S_ISLNK(st.st_mode) ? c.symlink_times : S_ISDIR(st.st_mode) ? c.dir_times : true;
        snprintf(line, sizeof line, "%s %06o %lld", p.c_str(), unsigned(st.st_mode & 0177777),
                 times ? (long long)st.st_mtime : 0LL);
        out += line;
        if (S_ISREG(st.st_mode)) {
            const std::string data = Sandbox::slurp(root + "/" + p);
            out += " size " + std::to_string(data.size()) + " hash " + std::to_string(std::hash<std::string>{}(data));
            if (st.st_nlink > 1) out += " group " + first_of.try_emplace({st.st_dev, st.st_ino}, p).first->second;
        } else if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlink((root + "/" + p).c_str(), target, sizeof target);
            out += " -> " + std::string(target, n > 0 ? size_t(n) : 0);
        } else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
            out += " dev " + std::to_string(major(st.st_rdev)) + "," + std::to_string(minor(st.st_rdev));
        }
        out += "\n";
    }
    return out;
}

constexpr const char *tree_time = "2021-03-04 05:06:07 UTC";

// A tree with what extraction must restore: sizes around the block
// reader's window, modes (set-user-ID and a read-only directory with
// contents), symlinks, a FIFO and a file of three hard links in three
// directories.
void make_tree(const Sandbox &sb, const std::string &dir) {
    const std::string t = sb.path(dir);
    Sandbox::run("mkdir -p '" + t + "/sub/deeper' '" + t + "/ro' '" + t + "/empty dir'");
    std::string big(300001, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 % 253);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"empty", ""},
        {"odd.txt", "seven b"},
        {"big.bin", big},
        {"ro/inside", "locked"},
        {"sub/deeper/file", "deep"},
        {"with space", "x"},
        {"suid", "#!/bin/sh\n"},
        {"h1", "one file, three names\n"},
    };
    for (const auto &[name, data] : files) sb.write(dir + "/" + name, data);
    Sandbox::run("cd '" + t +
                 "' && ln h1 sub/h2 && ln h1 sub/deeper/h3 && ln -s sub/deeper/file rel && "
                 "ln -s /nonexistent/target dangling && ln -s sub dirlink && mkfifo pipe && "
                 "chmod 0751 odd.txt && chmod 04755 suid && chmod 0700 'empty dir' && "
                 "find . -mindepth 1 -exec touch -h -d '" +
                 std::string(tree_time) +
                 "' {} + && "
                 "touch -d '1999-12-31 23:59:59 UTC' odd.txt && chmod 0555 ro");
}

TEST(VcpioRoundTrip, ExtractGivesBackTheTreeThatWasArchived) {
    Sandbox sb;
    make_tree(sb, "tree");
    const Result c = vcpio(sb, "create -C tree a.cpio .");
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.err, "");
    const std::string want = describe(sb.path("tree"));

    for (const char *block_size : {"", "-b 64", "--block-size=512"}) {
        const Result x = vcpio(sb, std::string("extract ") + block_size + " a.cpio out");
        EXPECT_EQ(x.status, 0) << block_size << ": " << x.err;
        EXPECT_EQ(x.err, "");
        EXPECT_EQ(describe(sb.path("out")), want) << block_size;
        Sandbox::run("chmod -R u+w '" + sb.path("out") + "' && rm -rf '" + sb.path("out") + "'");
    }

    // The link group: links first, all with the group's full count and
    // inode number, the data with the last.
    const auto entries = written::entries_of(sb.read("a.cpio"));
    const std::vector<std::string> group = {"h1", "sub/deeper/h3", "sub/h2"};
    std::vector<const written::Got *> members;
    for (const auto &e : entries)
        if (std::find(group.begin(), group.end(), e.name) != group.end()) members.push_back(&e);
    ASSERT_EQ(members.size(), 3u);
    for (const auto *m : members) {
        EXPECT_EQ(m->nlink, 3u) << m->name;
        EXPECT_EQ(m->ino, members[0]->ino) << m->name;
        EXPECT_EQ(m->data, m == members.back() ? "one file, three names\n" : "") << m->name;
    }
    EXPECT_EQ(members.back()->name, "sub/h2");

    // The peers read the same archive into the same tree (GNU cpio keeps
    // neither symlink nor directory times).
    for (const char *peer : {"cpio", "bsdcpio"}) {
        if (!Sandbox::have(peer)) continue;
        Sandbox::run("mkdir '" + sb.path(peer) + "'");
        sb.run_here(std::string("cd ") + peer + " && " + peer + " -idm < ../a.cpio 2>/dev/null");
        const Compare loose{false, false};
        EXPECT_EQ(describe(sb.path(peer), loose), describe(sb.path("tree"), loose)) << peer;
        EXPECT_EQ(output(sb, std::string(peer) + " -it < a.cpio"), vcpio(sb, "list a.cpio").out) << peer;
        Sandbox::run("chmod -R u+w '" + sb.path(peer) + "'");
    }
    Sandbox::run("chmod -R u+w '" + sb.path("tree") + "'");
}

// The same tree in another place (other inode numbers, later mtimes,
// other owners) gives the same bytes with SOURCE_DATE_EPOCH and
// --reproducible.
TEST(VcpioRoundTrip, SourceDateEpochAndReproducibleGiveTheSameBytes) {
    Sandbox sb;
    make_tree(sb, "tree");
    Sandbox::run(
        "cp -a '" + sb.path("tree") + "' '" + sb.path("copy") + "' && cd '" + sb.path("copy") +
        "' && chmod u+w ro && find . -mindepth 1 -exec touch -h {} + && touch -d '1999-12-31 23:59:59 UTC' odd.txt");
    if (geteuid() == 0)
        Sandbox::run("chown -hR 1234:5678 '" + sb.path("copy") + "' && chmod 04755 '" + sb.path("copy/suid") + "'");
    const std::string epoch = "SOURCE_DATE_EPOCH=1600000000";
    ASSERT_EQ(vcpio(sb, "create --reproducible -C tree a.cpio .", epoch).status, 0);
    ASSERT_EQ(vcpio(sb, "create --reproducible -C copy b.cpio .", epoch).status, 0);
    const std::string a = sb.read("a.cpio");
    EXPECT_EQ(a, sb.read("b.cpio"));

    // Modes as a checkout keeps them, whatever the tree had.
    const std::map<std::string, uint32_t> modes = {
        {"odd.txt", 0100755}, {"suid", 0100755}, {"ro", 040755}, {"empty dir", 040755}, {"with space", 0100644}};
    for (const auto &e : written::entries_of(a)) {
        EXPECT_EQ(e.mtime, e.name == "odd.txt" ? 946684799u : 1600000000u) << e.name;
        EXPECT_EQ(e.uid, 0u) << e.name;
        EXPECT_EQ(e.gid, 0u) << e.name;
        const auto m = modes.find(e.name);
        EXPECT_EQ(e.mode, m == modes.end() ? e.mode : m->second) << e.name;
    }
    // Without --reproducible owners and modes are the files' own.
    ASSERT_EQ(vcpio(sb, "create -C copy c.cpio .", epoch).status, 0);
    const auto c = written::entries_of(sb.read("c.cpio"));
    const auto *suid = written::named(c, "suid");
    ASSERT_NE(suid, nullptr);
    EXPECT_EQ(suid->mode, 0104755u);
    EXPECT_EQ(suid->uid, geteuid() == 0 ? 1234u : geteuid());
    Sandbox::run("chmod -R u+w '" + sb.path("tree") + "' '" + sb.path("copy") + "'");
}

// The README's archive is what the program makes of the sample tree, as a
// fresh checkout holds it.
TEST(VcpioSample, RebuildingTheSampleGivesTheCommittedBytes) {
    Sandbox sb;
    const Result r = vcpio(sb, "create --reproducible -C '" SAMPLE_DIR "/sample-tree' sample.cpio .",
                           "SOURCE_DATE_EPOCH=1735689600");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sb.read("sample.cpio"), Sandbox::slurp(SAMPLE_DIR "/sample.cpio"))
        << "rebuild it: SOURCE_DATE_EPOCH=1735689600 vcpio create --reproducible -C examples/sample-tree "
           "examples/sample.cpio .";
    const Result x = vcpio(sb, "extract '" SAMPLE_DIR "/sample.cpio' out");
    ASSERT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(Sandbox::run("diff -r '" SAMPLE_DIR "/sample-tree' '" + sb.path("out") + "'"), 0);
}

// Archives of the peers: listed in the order and with the names that
// `cpio -it` and `bsdcpio -it` give, and extracted into the tree they hold,
// hard links included (GNU cpio's newc puts the data on the last link, odc
// and bin on every one).
class VcpioPeers : public ::testing::TestWithParam<peer::Maker> {};

TEST_P(VcpioPeers, ListsAsThePeersDoAndExtractsTheTree) {
    const peer::Maker m = GetParam();
    if (!Sandbox::have(m.tool)) GTEST_SKIP() << m.tool << " is not installed";
    Sandbox sb;
    make_tree(sb, "tree");
    ASSERT_EQ(sb.run_here(std::string("cd tree && find . | sort | ") + m.command + " > ../a.cpio 2>/dev/null"), 0);

    const Result l = vcpio(sb, "list a.cpio");
    EXPECT_EQ(l.status, 0) << l.err;
    for (const char *peer : {"cpio", "bsdcpio"}) {
        if (!Sandbox::have(peer)) continue;
        EXPECT_EQ(l.out, output(sb, std::string(peer) + " -it < a.cpio")) << peer;
    }

    const Result x = vcpio(sb, "extract a.cpio out");
    EXPECT_EQ(x.status, 0) << x.err;
    // bin holds 16-bit device numbers and the peers' odc none we read:
    // the FIFO and everything else must still come back.
    EXPECT_EQ(describe(sb.path("out")), describe(sb.path("tree")));
    Sandbox::run("chmod -R u+w '" + sb.path("tree") + "' '" + sb.path("out") + "'");
}

INSTANTIATE_TEST_SUITE_P(Peers, VcpioPeers, ::testing::ValuesIn(peer::makers),
                         [](const auto &info) { return std::string(info.param.label); });

// Archives made to order.
Entry entry(std::string name, uint32_t mode, std::string data = "", uint32_t nlink = 1, uint32_t ino = 42) {
    Entry e = testenc::file(std::move(name), std::move(data));
    e.mode = mode;
    e.nlink = nlink;
    e.ino = ino;
    return e;
}
Entry symlink_to(std::string name, std::string target) { return entry(std::move(name), 0120777, std::move(target)); }

struct Crafted {
    const char *label;
    std::function<std::string(const Sandbox &)> archive;
    const char *options;  // for extract
    int status, list_status;
    const char *message;                                     // on standard error, "" for none
    std::vector<std::pair<std::string, std::string>> files;  // below out/: path and contents
    std::vector<std::string> missing;                        // below out/
};

std::function<std::string(const Sandbox &)> newc(std::vector<Entry> entries, bool trailer = true) {
    return [=](const Sandbox &) { return testenc::encode(testenc::Fmt::newc, entries, trailer); };
}

const std::string long_name(4000, 'n');
const std::string longer_name(5000, 'm');

const std::vector<Crafted> crafted = {
    {"absolute_names_are_made_relative",
     newc({testenc::file("/abs/f", "x")}),
     "",
     0,
     0,
     "leading '/' removed",
     {{"abs/f", "x"}},
     {}},
    {"dotdot_is_refused",
     newc({testenc::file("../escape", "x"), testenc::file("a/../../escape2", "x"), testenc::file("ok", "y")}),
     "",
     1,
     0,
     "../escape: not extracted: the name has a \"..\" component",
     {{"ok", "y"}},
     {}},
    {"nothing_is_written_through_a_symlink",
     [](const Sandbox &sb) {
         return testenc::encode(testenc::Fmt::newc,
                                {symlink_to("evil", sb.path("outside")), testenc::file("evil/pwned", "x")});
     },
     "",
     1,
     0,
     "evil/pwned: not extracted: evil is a symlink, and nothing is written through one",
     {},
     {}},
    {"a_file_does_not_replace_a_symlink",
     newc({symlink_to("evil", "../outside/keep"), testenc::file("evil", "x")}),
     "",
     1,
     0,
     "evil: exists, not overwritten (--force replaces it)",
     {},
     {}},
    {"force_replaces_the_symlink_not_its_target",
     newc({symlink_to("evil", "../outside/keep"), testenc::file("evil", "x")}),
     "--force",
     0,
     0,
     "",
     {{"evil", "x"}},
     {}},
    {"hard_link_data_from_a_refused_name_goes_to_the_link",
     newc({entry("link", 0100644, "", 2, 5), entry("../escape", 0100644, "data", 2, 5)}),
     "",
     1,
     0,
     "\"..\" component",
     {{"link", "data"}},
     {}},
    {"data_on_the_first_link",
     newc({entry("first", 0100600, "abc", 2, 9), entry("second", 0100600, "", 2, 9)}),
     "",
     0,
     0,
     "",
     {{"first", "abc"}, {"second", "abc"}},
     {}},
    {"links_that_never_get_data_are_empty_and_linked",
     newc({entry("e1", 0100644, "", 2, 11), entry("e2", 0100644, "", 2, 11)}),
     "",
     0,
     0,
     "",
     {{"e1", ""}, {"e2", ""}},
     {}},
    {"name_of_4000_bytes",
     newc({testenc::file(long_name, "x"), testenc::file("after", "y")}),
     "",
     1,
     0,
     "File name too long",
     {{"after", "y"}},
     {}},
    {"name_longer_than_the_name_buffer",
     newc({testenc::file(longer_name, "x"), testenc::file("after", "y")}),
     "",
     1,
     1,
     "name of 5000 bytes is longer than 4095, skipped",
     {{"after", "y"}},
     {}},
    {"name_longer_than_the_window",
     newc({testenc::file(long_name, "x"), testenc::file("after", "y")}),
     "-b 512",
     1,
     0,
     "try a larger --block-size",
     {},
     {"after"}},
    {"cut_inside_the_data",
     [](const Sandbox &) {
         const std::string a = testenc::encode(testenc::Fmt::newc,
                                               {testenc::file("a", "x"), testenc::file("big", std::string(3000, 'b'))});
         return a.substr(0, a.size() - 1000);
     },
     "",
     1,
     1,
     "big: archive ends inside this entry (truncated)",
     {{"a", "x"}},
     {"big"}},
    {"no_trailer",
     newc({testenc::file("a", "x")}, false),
     "",
     1,
     1,
     "archive ends without a trailer (truncated)",
     {{"a", "x"}},
     {}},
    {"the_directory_itself", newc({entry(".", 040700), testenc::file("./f", "x")}), "", 0, 0, "", {{"f", "x"}}, {}},
};

void PrintTo(const Crafted &c, std::ostream *os) { *os << c.label; }

class VcpioCrafted : public ::testing::TestWithParam<Crafted> {};

// Extraction into out/ never touches anything outside it: outside/keep,
// the sandbox's one other file, stays as it was.
TEST_P(VcpioCrafted, ExtractsWhatIsSafeAndSaysWhatIsNot) {
    const Crafted &c = GetParam();
    Sandbox sb;
    Sandbox::run("mkdir '" + sb.path("outside") + "'");
    sb.write("outside/keep", "kept");
    sb.write("a.cpio", c.archive(sb));
    std::vector<std::string> before = paths_below(sb.dir());
    std::erase_if(before, [](const std::string &p) { return p[0] == '.'; });

    const Result x = vcpio(sb, std::string("extract ") + c.options + " a.cpio out");
    EXPECT_EQ(x.status, c.status) << x.err;
    if (*c.message)
        EXPECT_NE(x.err.find(c.message), std::string::npos) << x.err;
    else
        EXPECT_EQ(x.err, "");
    for (const auto &[path, data] : c.files) {
        struct stat st {};
        ASSERT_EQ(lstat(sb.path("out/" + path).c_str(), &st), 0) << path;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
        EXPECT_EQ(sb.read("out/" + path), data) << path;
    }
    for (const std::string &path : c.missing) EXPECT_NE(access(sb.path("out/" + path).c_str(), F_OK), 0) << path;
    if (c.files.size() == 2 && c.files[0].second == c.files[1].second) {
        struct stat a {
        }, b{};
        lstat(sb.path("out/" + c.files[0].first).c_str(), &a);
        lstat(sb.path("out/" + c.files[1].first).c_str(), &b);
        EXPECT_EQ(a.st_ino, b.st_ino) << "linked";
    }

    std::vector<std::string> after;
    for (const std::string &p : paths_below(sb.dir()))
        if (p != "out" && p.rfind("out/", 0) != 0 && p[0] != '.') after.push_back(p);
    EXPECT_EQ(after, before);
    EXPECT_EQ(sb.read("outside/keep"), "kept");

    EXPECT_EQ(vcpio(sb, "list a.cpio").status, c.list_status);
}

INSTANTIATE_TEST_SUITE_P(Archives, VcpioCrafted, ::testing::ValuesIn(crafted),
                         [](const auto &info) { return std::string(info.param.label); });

// Device nodes: made by root with their numbers, refused with a warning to
// anyone else and from formats whose device numbers are not read.
TEST(VcpioDevices, OnlyRootMakesDeviceNodes) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a device node";
    Sandbox sb;
    Entry dev = entry("null", 020644);
    dev.rdevmajor = 1;
    dev.rdevminor = 3;
    sb.write("a.cpio", testenc::encode(testenc::Fmt::newc, {dev, testenc::file("f", "x")}));
    const Result x = vcpio(sb, "extract a.cpio out");
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_NE(describe(sb.path("out")).find("\nnull 020644 1654091024 dev 1,3\n"), std::string::npos)
        << describe(sb.path("out"));

    sb.write("b.cpio", testenc::encode(testenc::Fmt::odc, {dev, testenc::file("f", "x")}));
    const Result odc = vcpio(sb, "extract b.cpio odc");
    EXPECT_EQ(odc.status, 1);
    EXPECT_NE(odc.err.find("null: device node not created: its numbers are not read"), std::string::npos) << odc.err;

    if (!Sandbox::have("setpriv")) GTEST_SKIP() << "setpriv is not installed";
    Sandbox::run("mkdir -m 0777 '" + sb.path("user") + "' && chmod 0755 '" + sb.dir() + "' && chmod 0644 '" +
                 sb.path("a.cpio") + "'");
    const Result user = vcpio(sb, "extract a.cpio user", "setpriv --reuid=65534 --regid=65534 --clear-groups");
    EXPECT_EQ(user.status, 1) << user.err;
    EXPECT_NE(user.err.find("null: device node not created: only root can make one"), std::string::npos) << user.err;
    EXPECT_EQ(sb.read("user/f"), "x");
}

// Named entries, cat, and the hard link whose data sits on an entry that
// was not named.
TEST(VcpioNames, ExtractAndCatTheNamedEntries) {
    Sandbox sb;
    sb.write("a.cpio", testenc::encode(testenc::Fmt::newc, {
                                                               entry("dir", 040755),
                                                               testenc::file("dir/one", "1"),
                                                               testenc::file("dir/two", "2"),
                                                               testenc::file("other", "o"),
                                                               entry("hard-a", 0100644, "", 2, 7),
                                                               entry("hard-b", 0100644, "linked", 2, 7),
                                                           }));
    const Result x = vcpio(sb, "extract a.cpio out ./dir hard-a");
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(paths_below(sb.path("out")), (std::vector<std::string>{"dir", "dir/one", "dir/two", "hard-a"}));
    EXPECT_EQ(sb.read("out/hard-a"), "linked");

    const Result missing = vcpio(sb, "extract a.cpio out2 other nothere");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "vcpio: a.cpio: nothere: not in the archive\n");
    EXPECT_EQ(sb.read("out2/other"), "o");

    EXPECT_EQ(vcpio(sb, "cat a.cpio dir/two").out, "2");
    EXPECT_EQ(vcpio(sb, "cat a.cpio hard-a").out, "linked");
    const Result none = vcpio(sb, "cat a.cpio nothere");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "vcpio: a.cpio: nothere: not in the archive\n");
}

TEST(VcpioList, LongFormatAndInfo) {
    Sandbox sb;
    Entry f = testenc::file("f", "hello");
    f.mode = 0104751;
    f.uid = 12;
    f.gid = 34;
    f.mtime = 1600000000;
    f.nlink = 1;
    Entry d = entry("d", 041777);
    d.mtime = 1600000000;
    Entry l = symlink_to("l", "f");
    l.mtime = 1600000000;
    Entry c = entry("c", 020600);
    c.rdevmajor = 4;
    c.rdevminor = 64;
    c.mtime = 1600000000;
    sb.write("a.cpio", testenc::encode(testenc::Fmt::newc, {f, d, l, c}));
    const Result r = vcpio(sb, "list -v a.cpio", "TZ=UTC");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "-rwsr-x--x   1 12       34                5 2020-09-13 12:26 f\n"
              "drwxrwxrwt   1 1000     100               0 2020-09-13 12:26 d\n"
              "lrwxrwxrwx   1 1000     100               1 2020-09-13 12:26 l -> f\n"
              "crw-------   1 1000     100           4, 64 2020-09-13 12:26 c\n");
    const Result i = vcpio(sb, "info a.cpio");
    EXPECT_EQ(i.status, 0) << i.err;
    const size_t end = sb.read("a.cpio").size();
    EXPECT_EQ(i.out, "format: newc\nentries: 4\ndata: 6 bytes\nsize: " + std::to_string(end) + " bytes (" +
                         std::to_string(end) + " to the end of the trailer)\n");
}

struct CommandLine {
    const char *args, *env;
    int status;
    const char *err;  // what standard error holds (a part of it)
};

const std::vector<CommandLine> command_lines = {
    {"list nope.cpio", "", 1, "vcpio: nope.cpio: No such file or directory\n"},
    {"list plain.txt", "", 1, "vcpio: plain.txt: not a cpio archive"},
    {"info empty", "", 1, "vcpio: empty: empty file, not a cpio archive\n"},
    {"extract .", "", 1, "vcpio: .: Is a directory\n"},
    {"create dir t", "", 1, "vcpio: dir: not a regular file"},
    {"create nodir/a.cpio t", "", 1, "vcpio: nodir/a.cpio: No such file or directory\n"},
    {"create a.cpio t missing", "", 1, "vcpio: a.cpio: missing: not archived: No such file or directory\n"},
    {"", "", 2, "vcpio: a command is needed\nTry 'vcpio --help'.\n"},
    {"frobnicate a.cpio", "", 2, "unknown command 'frobnicate'"},
    {"list", "", 2, "list: too few arguments"},
    {"list a.cpio b.cpio", "", 2, "list: too many arguments"},
    {"list --force a.cpio", "", 2, "-f is not an option of list"},
    {"create --block-size=512 x.cpio t", "", 2, "-b is not an option of create"},
    {"info --reproducible a.cpio", "", 2, "--reproducible is not an option of info"},
    {"list --block-size=100 a.cpio", "", 2, "--block-size takes a power of two"},
    {"list -b 32 a.cpio", "", 2, "--block-size takes a power of two"},
    {"list -b 1G a.cpio", "", 2, "--block-size takes a power of two"},
    {"list a.cpio -b", "", 2, "option -b needs a value"},
    {"list --bogus a.cpio", "", 2, "is not an option of list"},
    {"create x.cpio t", "SOURCE_DATE_EPOCH=yesterday", 2, "SOURCE_DATE_EPOCH is not a number of seconds"},
    {"list -b 64 a.cpio", "", 0, ""},
    {"list --block-size=0 a.cpio", "", 0, ""},
    {"list a.cpio --block-size 4K", "", 0, ""},
};

void PrintTo(const CommandLine &c, std::ostream *os) { *os << "vcpio " << c.args; }

class VcpioCommandLine : public ::testing::TestWithParam<CommandLine> {};

// Errors are one line naming the archive, the entry and the cause, with
// status 1; usage errors status 2.
TEST_P(VcpioCommandLine, StatusAndMessage) {
    const CommandLine &c = GetParam();
    Sandbox sb;
    sb.write("a.cpio", testenc::encode(testenc::Fmt::newc, {testenc::file("f", "x")}));
    sb.write("plain.txt", "just text, long enough to be looked at\n");
    sb.write("empty", "");
    Sandbox::run("mkdir '" + sb.path("dir") + "' '" + sb.path("t") + "'");
    const Result r = vcpio(sb, c.args, c.env);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (*c.err) {
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        if (c.status == 1) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    } else {
        EXPECT_EQ(r.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, VcpioCommandLine, ::testing::ValuesIn(command_lines), [](const auto &info) {
    std::string s = std::to_string(info.index) + "_";
    for (const char *p = info.param.args; *p; ++p) s += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return s;
});

TEST(VcpioHelp, HelpNamesEveryCommand) {
    Sandbox sb;
    const Result r = vcpio(sb, "--help");
    EXPECT_EQ(r.status, 0);
    for (const char *word : {"Usage: vcpio", "list [-v] ARCHIVE", "info ARCHIVE", "cat ARCHIVE NAME",
                             "extract ARCHIVE [DIR [NAME...]]", "create ARCHIVE PATH...", "SOURCE_DATE_EPOCH"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

}  // namespace
