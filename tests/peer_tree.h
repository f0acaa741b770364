// A small tree of files for the peer tools to archive, and what each of
// its entries must hold when read back.
#pragma once

#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "sandbox.h"

namespace peer {

struct Expected {
    uint32_t mode, mtime;
    std::string data;
};

// A small tree: files of several sizes (0 and odd ones), a directory, a
// symlink, names of several lengths. Returns what each entry must hold.
inline std::map<std::string, Expected> make_tree(const Sandbox &sb) {
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

// The command that archives the tree's entries (sorted names, read from
// standard input) with a peer tool.
struct Maker {
    const char *tool, *label, *command;
};

inline const std::vector<Maker> makers = {
    {"cpio", "gnu_newc", "cpio -o -H newc"},
    {"cpio", "gnu_odc", "cpio -o -H odc"},
    {"cpio", "gnu_bin", "cpio -o -H bin"},
    {"bsdcpio", "bsd_newc", "bsdcpio -o --format newc"},
    {"bsdcpio", "bsd_odc", "bsdcpio -o --format odc"},
};

// Archives sb's tree with m into sb's a.cpio and returns its bytes; empty
// when the tool failed.
inline std::string archive_tree(const Sandbox &sb, const Maker &m) {
    const int rc = sb.run_here(std::string("cd tree && find . -mindepth 1 | sed 's|^\\./||' | sort | ") + m.command +
                               " > ../a.cpio 2>/dev/null");
    return rc == 0 ? sb.read("a.cpio") : std::string();
}

}  // namespace peer
