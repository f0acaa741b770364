// create: a newc archive of files and directories, in a stable order.
//
// The tree is collected first: each directory's names sorted byte-wise,
// each directory before its contents. Regular files that are hard-linked
// within the collection become link groups: every member but the last is
// written with cpiowrite_add_hardlink, and the last carries the data with
// the group's inode number set through cpiowrite_set_ino, so that all of
// them show the group's full link count. Inode numbers follow the order of
// the entries, never the files' own, so the same tree gives the same bytes.
//
// File data: cpiowrite_add_file streams a file through the writer's
// buffer, but takes the owner and mtime from the file itself. Where those
// are what the header should hold, it is used (on the descriptor that was
// opened and checked, through /proc). Where SOURCE_DATE_EPOCH clamps the
// mtime or --reproducible sets the owner, the interface has no streaming
// adder: the file is mapped read-only and handed to cpiowrite_add_data. A
// mapping costs address space and page cache, which the kernel reclaims,
// not memory of the program's own. A file that shrinks while it is mapped
// raises SIGBUS, or EFAULT where the write reads the mapping: either way
// the partial archive is removed and the status is 1.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "vcpio.h"

namespace vcpio {

namespace {

struct Item {
    std::string name;  // in the archive
    std::string path;  // on disk
    struct stat st;
    int group = -1;     // hard-link group, or -1
    bool last = false;  // the group's member that carries the data
};

// What the SIGBUS handler needs, ready before each file is handed over.
char bus_message[1024];
size_t bus_length;
char bus_archive[4096];  // removed by the handler; empty: nothing to remove

extern "C" void on_bus(int) {
    (void)!write(STDERR_FILENO, bus_message, bus_length);
    if (bus_archive[0] != '\0') unlink(bus_archive);
    _exit(exit_failed);
}

class Collector {
   public:
    Collector(Console &con, const struct stat &archive) : con_(con), archive_(archive) {}

    // path on disk, stored under name ("" stores no entry for path itself).
    void add(const std::string &path, const std::string &name) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) return con_.warn(path, "not archived: " + cause(errno));
        if (st.st_dev == archive_.st_dev && st.st_ino == archive_.st_ino)
            return con_.note(path, "is the archive being written, left out");
        if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
            return con_.warn(path, "not archived: device nodes are not (the writer records no device numbers)");
        if (S_ISSOCK(st.st_mode)) return con_.warn(path, "not archived: sockets are not");
        if (!name.empty()) items.push_back({name, path, st});
        if (S_ISDIR(st.st_mode)) add_children(path, name);
    }

    // The hard-link groups: regular files that share a (device, inode)
    // within the collection.
    void group() {
        std::map<std::pair<dev_t, ino_t>, std::vector<size_t>> by_id;
        for (size_t i = 0; i < items.size(); ++i)
            if (S_ISREG(items[i].st.st_mode) && items[i].st.st_nlink > 1)
                by_id[{items[i].st.st_dev, items[i].st.st_ino}].push_back(i);
        int groups = 0;
        for (const auto &[id, members] : by_id) {
            if (members.size() < 2) continue;
            for (size_t i : members) items[i].group = groups;
            items[members.back()].last = true;
            ++groups;
        }
        group_count = groups;
    }

    std::vector<Item> items;
    int group_count = 0;

   private:
    void add_children(const std::string &path, const std::string &name) {
        DIR *d = opendir(path.c_str());
        if (d == nullptr) return con_.warn(path, "contents not archived: " + cause(errno));
        std::vector<std::string> names;
        errno = 0;
        while (const dirent *de = readdir(d)) {
            if (std::strcmp(de->d_name, ".") != 0 && std::strcmp(de->d_name, "..") != 0) names.emplace_back(de->d_name);
            errno = 0;
        }
        if (errno != 0) con_.warn(path, "contents not all archived: " + cause(errno));
        closedir(d);
        std::sort(names.begin(), names.end());
        const std::string dir = path.ends_with('/') ? path : path + "/";
        for (const std::string &n : names) add(dir + n, name.empty() ? n : name + "/" + n);
    }

    Console &con_;
    struct stat archive_;
};

// A regular file to archive, opened once (never through a symlink) so that
// what is archived is the file that was looked at.
class Source {
   public:
    ~Source() {
        if (map_ != nullptr) munmap(map_, size_);
        if (fd_ >= 0) close(fd_);
    }
    // Returns the empty string, or why the file cannot be archived.
    std::string open(const std::string &path) {
        path_ = path;
        fd_ = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd_ < 0 || fstat(fd_, &st) != 0) return cause(errno);
        if (!S_ISREG(st.st_mode)) return "no longer a regular file";
        if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) return "larger than a cpio entry holds (4 GiB - 1 bytes)";
        size_ = static_cast<uint32_t>(st.st_size);
        return {};
    }
    // A path to the open file itself for cpiowrite_add_file, which opens
    // by path: /proc's name of the descriptor where there is one.
    std::string by_path() const {
        const std::string fd_path = "/proc/self/fd/" + std::to_string(fd_);
        return access(fd_path.c_str(), F_OK) == 0 ? fd_path : path_;
    }
    // The bytes in memory: mapped, or read where the file system cannot
    // map. Returns the empty string, or why not.
    std::string load() {
        if (size_ == 0) return {};
        void *p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
        if (p != MAP_FAILED) {
            map_ = p;
            madvise(p, size_, MADV_SEQUENTIAL);
            return {};
        }
        copy_.resize(size_);
        for (size_t got = 0; got < size_;) {
            const ssize_t n = pread(fd_, copy_.data() + got, size_ - got, static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return cause(errno);
            if (n == 0) return "file shrank while it was read";
            got += static_cast<size_t>(n);
        }
        return {};
    }
    const void *data() const { return map_ != nullptr ? map_ : copy_.data(); }
    uint32_t size() const { return size_; }
    struct stat st {};

   private:
    std::string path_;
    int fd_ = -1;
    void *map_ = nullptr;
    uint32_t size_ = 0;
    std::vector<char> copy_;
};

class Writer {
   public:
    Writer(const Options &o, Console &con, cpiowrite_ctx *ctx, const std::string &archive)
        : o_(o), con_(con), ctx_(ctx), archive_(archive) {}

    // False when the archive is damaged (the console has said why).
    bool put(const Item &item, int32_t ino) {
        struct stat st = item.st;
        Source file;
        std::string target;
        const bool link = item.group >= 0 && !item.last;
        if (S_ISREG(st.st_mode) && !link) {
            const std::string why = file.open(item.path);
            if (!why.empty()) return con_.warn(item.path, "not archived: " + why), true;
            st = file.st;
        } else if (S_ISLNK(st.st_mode)) {
            char buf[4096];
            const ssize_t n = readlink(item.path.c_str(), buf, sizeof buf);
            if (n < 0) return con_.warn(item.path, "not archived: " + cause(errno)), true;
            if (static_cast<size_t>(n) == sizeof buf)
                return con_.warn(item.path, "not archived: symlink target too long"), true;
            target.assign(buf, static_cast<size_t>(n));
        }
        const uint16_t mode = mode_of(st);
        const uint32_t uid = o_.reproducible ? 0 : st.st_uid, gid = o_.reproducible ? 0 : st.st_gid;
        const uint32_t mtime = mtime_of(st);
        cpiowrite_set_mtime(ctx_, mtime);
        const char *name = item.name.c_str();
        if (link) {
            if (cpiowrite_add_hardlink(ctx_, name, mode, uid, gid, cpiowrite_get_devmajor(ctx_),
                                       cpiowrite_get_devminor(ctx_), ino))
                return true;
            // A refused name writes nothing; anything else damaged the archive.
            if (errno == ENAMETOOLONG) return con_.warn(item.path, "not archived: " + cause(errno)), true;
            return con_.fail(item.path, cause(errno)), false;
        }
        cpiowrite_set_ino(ctx_, ino);
        int ok;
        if (!S_ISREG(st.st_mode)) {
            ok = cpiowrite_add_data(ctx_, name, mode, uid, gid, target.data(), static_cast<uint32_t>(target.size()));
        } else if (!o_.reproducible && mtime == st.st_mtime) {
            // The header cpiowrite_add_file writes is the one wanted: it
            // streams the file through the writer's buffer.
            ok = cpiowrite_add_file(ctx_, name, mode, file.by_path().c_str());
        } else {
            const std::string why = file.load();
            if (!why.empty()) return con_.warn(item.path, "not archived: " + why), true;
            std::snprintf(bus_message, sizeof bus_message,
                          "vcpio: %s: %s: file shrank or could not be read while it was archived\n",
                          printable(archive_).c_str(), printable(item.path).c_str());
            bus_length = std::strlen(bus_message);
            ok = cpiowrite_add_data(ctx_, name, mode, uid, gid, file.data(), file.size());
            // A write straight from the mapping meets its end as EFAULT.
            if (!ok && errno == EFAULT) return con_.fail(item.path, "file shrank while it was archived"), false;
        }
        if (ok) return true;
        // A refused entry writes nothing and leaves the inode counter
        // where it was; once it has moved, the archive holds a partial
        // entry.
        if (cpiowrite_get_ino(ctx_) == ino) return con_.warn(item.path, "not archived: " + cause(errno)), true;
        return con_.fail(item.path, cause(errno)), false;
    }

   private:
    uint16_t mode_of(const struct stat &st) const {
        if (!o_.reproducible) return static_cast<uint16_t>(st.st_mode);
        // What a git checkout keeps of a mode.
        if (S_ISDIR(st.st_mode)) return S_IFDIR | 0755;
        if (S_ISLNK(st.st_mode)) return S_IFLNK | 0777;
        if (S_ISREG(st.st_mode)) return static_cast<uint16_t>(S_IFREG | (st.st_mode & 0111 ? 0755 : 0644));
        return static_cast<uint16_t>((st.st_mode & S_IFMT) | 0644);
    }
    uint32_t mtime_of(const struct stat &st) const {
        const int64_t t = st.st_mtime;
        const int64_t clamped = std::clamp<int64_t>(t, 0, UINT32_MAX);
        return o_.epoch && clamped > *o_.epoch ? *o_.epoch : static_cast<uint32_t>(clamped);
    }

    const Options &o_;
    Console &con_;
    cpiowrite_ctx *ctx_;
    const std::string &archive_;
};

}  // namespace

int create(const Options &o, const std::string &archive, const std::vector<std::string> &paths) {
    Console con(archive);
    struct stat st {};
    // The writer seeks back to rewrite link counts, and a failed run
    // removes what it wrote: only a regular file will do.
    if (stat(archive.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return con.fail("", "not a regular file (archives are written to regular files only)");
    cpiowrite_ctx *ctx = cpiowrite_start(archive.c_str());
    if (ctx == nullptr) return con.fail("", cause(errno));
    if (stat(archive.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        // Replaced under our feet: finish, never remove.
        cpiowrite_finish(ctx);
        return con.fail("", "not a regular file (archives are written to regular files only)");
    }
    if (archive.size() < sizeof bus_archive) std::memcpy(bus_archive, archive.c_str(), archive.size() + 1);
    struct sigaction sa {};
    sa.sa_handler = on_bus;
    sigaction(SIGBUS, &sa, nullptr);

    Collector c(con, st);
    bool told_absolute = false;
    for (const std::string &p : paths) {
        const auto s = safe_name(p);
        if (!s) {
            con.warn(p, "not archived: names with a \"..\" component are not extracted; use -C");
            continue;
        }
        if (s->was_absolute && !told_absolute) {
            con.note("", "leading '/' removed from member names");
            told_absolute = true;
        }
        std::string name;
        for (const std::string &part : s->parts) name += (name.empty() ? "" : "/") + part;
        const std::string under = name.empty() ? o.source_dir : o.source_dir + "/" + name;
        c.add(o.source_dir.empty() || p.starts_with('/') ? p : under, name);
    }
    c.group();

    uint64_t total_bytes = 0, done_bytes = 0, done = 0;
    for (const Item &item : c.items)
        if (S_ISREG(item.st.st_mode)) total_bytes += static_cast<uint64_t>(item.st.st_size);
    Writer w(o, con, ctx, archive);
    if (o.epoch) cpiowrite_set_mtime(ctx, *o.epoch);
    // Inode numbers in the order of the entries, from the writer's first;
    // a group takes its number at its first member.
    int32_t next_ino = cpiowrite_get_ino(ctx);
    std::vector<int32_t> group_ino(static_cast<size_t>(c.group_count), 0);
    for (const Item &item : c.items) {
        int32_t ino = next_ino;
        if (item.group >= 0) {
            int32_t &g = group_ino[static_cast<size_t>(item.group)];
            if (g == 0) g = next_ino++;
            ino = g;
        } else {
            ++next_ino;
        }
        if (!w.put(item, ino)) {
            cpiowrite_abort(ctx);
            return exit_failed;
        }
        if (S_ISREG(item.st.st_mode)) done_bytes += static_cast<uint64_t>(item.st.st_size);
        con.progress(done_bytes, total_bytes, ++done, c.items.size());
    }
    if (cpiowrite_finish(ctx) != 1) {
        const int err = errno;
        unlink(archive.c_str());
        return con.fail("", cause(err));
    }
    return con.status();
}

}  // namespace vcpio
