// The commands that only read: list, info and cat.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "vcpio.h"

namespace vcpio {

namespace {

// The mode as ls -l shows it.
std::string mode_text(uint32_t mode) {
    static constexpr struct {
        uint32_t type;
        char c;
    } types[] = {{0100000, '-'}, {0040000, 'd'}, {0120000, 'l'}, {0020000, 'c'},
                 {0060000, 'b'}, {0010000, 'p'}, {0140000, 's'}};
    std::string s(10, '-');
    s[0] = '?';
    for (const auto &t : types)
        if (is_type(mode, t.type)) s[0] = t.c;
    static constexpr char rwx[] = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        if (mode & (0400u >> i)) s[1 + i] = rwx[i];
    // setuid, setgid, sticky: over the x of owner, group and others.
    static constexpr struct {
        uint32_t bit;
        int at;
        char set;
    } specials[] = {{04000, 3, 's'}, {02000, 6, 's'}, {01000, 9, 't'}};
    for (const auto &x : specials)
        if (mode & x.bit) s[x.at] = s[x.at] == '-' ? static_cast<char>(x.set - 'a' + 'A') : x.set;
    return s;
}

std::string time_text(uint32_t mtime) {
    const time_t t = mtime;
    struct tm tm {};
    char s[32] = "?";
    if (localtime_r(&t, &tm) != nullptr) std::strftime(s, sizeof s, "%Y-%m-%d %H:%M", &tm);
    return s;
}

void put_name(const char *name) { std::fwrite(name, 1, std::strlen(name), stdout); }

void put_long(Archive &a, const Entry &e, const char *name) {
    char size[32];
    if (is_type(e.mode, 0020000) || is_type(e.mode, 0060000))
        std::snprintf(size, sizeof size, "%u, %u", e.rdevmajor, e.rdevminor);
    else
        std::snprintf(size, sizeof size, "%u", e.filesize);
    std::printf("%s %3u %-8u %-8u %10s %s ", mode_text(e.mode).c_str(), e.nlink, e.uid, e.gid, size,
                time_text(e.mtime).c_str());
    put_name(name);
    if (is_type(e.mode, 0120000)) {
        // Targets as long as a path can be; a longer one is not shown.
        if (const auto target = a.small_data(e, 4095)) {
            std::fputs(" -> ", stdout);
            std::fwrite(target->data(), 1, target->size(), stdout);
        }
    }
    std::putchar('\n');
}

// Standard output took everything.
bool stdout_done(Console &con) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    con.fail("standard output", cause(errno ? errno : EIO));
    return false;
}

}  // namespace

int list(const Options &o, const std::string &archive) {
    Console con(archive);
    Archive a;
    if (!a.open(archive, o.block_size, con)) return exit_failed;
    uint64_t n = 0;
    const bool whole = a.walk(con, [&](const Entry &e, const char *name) {
        if (o.verbose) {
            put_long(a, e, name);
        } else {
            put_name(name);
            std::putchar('\n');
        }
        con.progress(e.next_offset, a.file_size(), ++n, 0);
        return true;
    });
    con.clear_progress();
    if (!stdout_done(con)) return exit_failed;
    return whole ? con.status() : exit_failed;
}

int info(const Options &o, const std::string &archive) {
    Console con(archive);
    Archive a;
    if (!a.open(archive, o.block_size, con)) return exit_failed;
    uint64_t entries = 0, data = 0;
    const bool whole = a.walk(con, [&](const Entry &e, const char *) {
        ++entries;
        data += e.filesize;
        con.progress(e.next_offset, a.file_size(), entries, 0);
        return true;
    });
    con.clear_progress();
    if (!whole) return exit_failed;
    std::printf("format: %s\nentries: %llu\ndata: %llu bytes\nsize: %llu bytes (%llu to the end of the trailer)\n",
                a.format(), static_cast<unsigned long long>(entries), static_cast<unsigned long long>(data),
                static_cast<unsigned long long>(a.file_size()), static_cast<unsigned long long>(a.end()));
    if (!stdout_done(con)) return exit_failed;
    return con.status();
}

// The first entry of that name. An entry of a hard-linked file that holds
// no data (the data may come with a later link) gives the data of the
// first later entry of the same file that has some.
int cat(const Options &o, const std::string &archive, const std::string &name) {
    Console con(archive);
    Archive a;
    if (!a.open(archive, o.block_size, con)) return exit_failed;
    const auto wanted = safe_name(name);
    std::optional<Identity> found;
    std::string why;
    const bool whole = a.walk(con, [&](const Entry &e, const char *entry_name) {
        if (found) {
            if (!(hard_linked(e) && identity(e) == *found && e.filesize > 0)) return true;
        } else {
            const auto s = safe_name(entry_name);
            if (name != entry_name && !(wanted && s && s->parts == wanted->parts)) return true;
            found = identity(e);
            if (hard_linked(e) && e.filesize == 0) return true;
        }
        int err = 0;
        why = a.data(e, [&](const void *p, uint32_t len) {
            if (err == 0 && !write_all(STDOUT_FILENO, p, len)) err = errno;
        });
        if (why.empty() && err != 0) why = "standard output: " + cause(err);
        return false;
    });
    if (!whole) return exit_failed;
    if (!found) return con.fail(name, "not in the archive");
    if (!why.empty()) return con.fail(name, why);
    return con.status();
}

}  // namespace vcpio
