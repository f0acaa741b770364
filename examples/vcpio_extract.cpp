// extract: entries into a directory, safe against hostile archives.
//
// Every path is reached component by component from the extraction
// directory with openat and O_NOFOLLOW, so no entry is ever written through
// a symlink, whether the archive made it or it was there before. Names
// lose a leading '/', and a name with a ".." component is refused. New
// files are created with O_EXCL: what exists is only replaced with --force,
// and then removed first, never written into.
//
// Hard-linked files: the data may come with the last link (newc as GNU
// cpio and bsdcpio write it), with the first, or with each. Links seen
// before the data wait for it; those that never get any become empty files
// linked together at the end. Directory modes and times are set last,
// deepest first, so that a read-only directory can still be filled.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <utility>

#include "vcpio.h"

namespace vcpio {

namespace {

constexpr uint32_t link_target_max = 4095;  // PATH_MAX - 1

struct Attrs {
    uint32_t mode, uid, gid, mtime;
};

Attrs attrs_of(const Entry &e) { return {e.mode, e.uid, e.gid, e.mtime}; }

std::string joined(const std::vector<std::string> &parts, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += (i ? "/" : "") + parts[i];
    return s;
}

// A descriptor closed at the end of its scope.
class Fd {
   public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd &operator=(Fd &&o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }
    // Closes now; false with errno when the close failed.
    bool close_now() {
        const int fd = fd_;
        fd_ = -1;
        return close(fd) == 0;
    }

   private:
    int fd_;
};

// The names given on the command line; none selects everything. A name
// selects itself and whatever lies below it.
class Selection {
   public:
    explicit Selection(const std::vector<std::string> &names) : names_(names), used_(names.size(), false) {
        for (const std::string &n : names) wanted_.push_back(safe_name(n));
    }
    bool selects(const SafeName &s) {
        if (names_.empty()) return true;
        bool hit = false;
        for (size_t i = 0; i < wanted_.size(); ++i) {
            const auto &w = wanted_[i];
            if (!w || w->parts.size() > s.parts.size()) continue;
            if (std::equal(w->parts.begin(), w->parts.end(), s.parts.begin())) hit = used_[i] = true;
        }
        return hit;
    }
    void warn_unused(Console &con) const {
        for (size_t i = 0; i < names_.size(); ++i)
            if (!used_[i]) con.warn(names_[i], "not in the archive");
    }
    bool all() const { return names_.empty(); }

   private:
    std::vector<std::string> names_;
    std::vector<std::optional<SafeName>> wanted_;
    std::vector<bool> used_;
};

class Extractor {
   public:
    Extractor(const Options &o, Console &con, Archive &a, int root, const std::vector<std::string> &names)
        : o_(o), con_(con), a_(a), root_(root), selection_(names), as_root_(geteuid() == 0) {
        // Modes are restored as the archive states them.
        const mode_t mask = umask(0);
        umask_ = mask;
        implied_mode_ = 0777 & ~mask;
    }
    ~Extractor() { umask(umask_); }

    // False when the run cannot go on (the console has said why).
    bool entry(const Entry &e, const char *name);
    // Links still waiting for data, then the directories' modes and times.
    void finish();

   private:
    struct Pending {
        std::vector<std::string> parts;
        std::string shown;
        Attrs attrs;
    };
    struct Group {
        std::vector<std::string> target;  // the file that holds the data
        bool extracted = false, failed = false;
        std::vector<Pending> pending;  // links that wait for the data
    };
    enum class Made { ok, skipped, fatal };

    Fd open_parent(const std::vector<std::string> &parts, std::string_view shown);
    bool make(int dir, const std::string &leaf, std::string_view shown, const std::function<int()> &attempt);
    Made file(const std::vector<std::string> &parts, std::string_view shown, const Attrs &at, const Entry *data);
    bool link(const std::vector<std::string> &target, const Pending &l);
    void directory(const std::vector<std::string> &parts, std::string_view shown, const Attrs &at);
    void special(const std::vector<std::string> &parts, std::string_view shown, const Entry &e);
    bool member(const Entry &e, const std::optional<SafeName> &s, bool selected, const char *name);
    void own(int fd, const Attrs &at, std::string_view shown);
    void leaf_times(int dir, const std::string &leaf, const Attrs &at, std::string_view shown);

    const Options &o_;
    Console &con_;
    Archive &a_;
    int root_;
    Selection selection_;
    bool as_root_;
    mode_t umask_, implied_mode_;
    bool told_absolute_ = false;
    uint64_t entries_ = 0;
    std::map<Identity, Group> groups_;
    struct Dir {
        std::vector<std::string> parts;
        std::string shown;
        Attrs attrs;
    };
    std::vector<Dir> dirs_;
};

// The directory that holds parts.back(), below the root; the directories
// missing on the way are made. Never follows a symlink: one on the way
// refuses the entry.
Fd Extractor::open_parent(const std::vector<std::string> &parts, std::string_view shown) {
    Fd dir(fcntl(root_, F_DUPFD_CLOEXEC, 0));
    if (!dir.ok()) return con_.warn(shown, cause(errno)), Fd();
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        const char *c = parts[i].c_str();
        constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = openat(dir.get(), c, flags);
        if (next < 0 && errno == ENOENT && (mkdirat(dir.get(), c, implied_mode_) == 0 || errno == EEXIST))
            next = openat(dir.get(), c, flags);
        if (next < 0) {
            const int err = errno;
            struct stat st {};
            if (fstatat(dir.get(), c, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                con_.warn(shown, "not extracted: " + printable(joined(parts, i + 1)) +
                                     " is a symlink, and nothing is written through one");
            else
                con_.warn(shown, "not extracted: " + printable(joined(parts, i + 1)) + ": " + cause(err));
            return Fd();
        }
        dir = Fd(next);
    }
    return dir;
}

// Runs attempt, which makes parts.back() in dir (0, or -1 with errno).
// What exists already is replaced only with --force: removed, then
// attempted once more.
bool Extractor::make(int dir, const std::string &leaf, std::string_view shown, const std::function<int()> &attempt) {
    if (attempt() == 0) return true;
    if (errno == EEXIST && o_.force) {
        const bool removed = unlinkat(dir, leaf.c_str(), 0) == 0 ||
                             ((errno == EISDIR || errno == EPERM) && unlinkat(dir, leaf.c_str(), AT_REMOVEDIR) == 0);
        if (removed && attempt() == 0) return true;
    }
    if (errno == EEXIST)
        con_.warn(shown, "exists, not overwritten (--force replaces it)");
    else
        con_.warn(shown, "not extracted: " + cause(errno));
    return false;
}

void Extractor::own(int fd, const Attrs &at, std::string_view shown) {
    // Changing the owner clears set-user-ID and set-group-ID: mode after it.
    if (as_root_ && fchown(fd, at.uid, at.gid) != 0) con_.warn(shown, "owner not restored: " + cause(errno));
    if (fchmod(fd, at.mode & 07777) != 0) con_.warn(shown, "mode not restored: " + cause(errno));
    const struct timespec t[2] = {{static_cast<time_t>(at.mtime), 0}, {static_cast<time_t>(at.mtime), 0}};
    if (futimens(fd, t) != 0) con_.warn(shown, "time not restored: " + cause(errno));
}

// For what cannot be opened (symlinks, FIFOs, devices): made with its mode
// already, so owner and times remain.
void Extractor::leaf_times(int dir, const std::string &leaf, const Attrs &at, std::string_view shown) {
    if (as_root_ && fchownat(dir, leaf.c_str(), at.uid, at.gid, AT_SYMLINK_NOFOLLOW) != 0)
        con_.warn(shown, "owner not restored: " + cause(errno));
    const struct timespec t[2] = {{static_cast<time_t>(at.mtime), 0}, {static_cast<time_t>(at.mtime), 0}};
    if (utimensat(dir, leaf.c_str(), t, AT_SYMLINK_NOFOLLOW) != 0)
        con_.warn(shown, "time not restored: " + cause(errno));
}

// A regular file with the data of entry `data`, or empty when it is null.
// A file that could not be written whole is removed again.
Extractor::Made Extractor::file(const std::vector<std::string> &parts, std::string_view shown, const Attrs &at,
                                const Entry *data) {
    Fd dir = open_parent(parts, shown);
    if (!dir.ok()) return Made::skipped;
    const std::string &leaf = parts.back();
    Fd out;
    if (!make(dir.get(), leaf, shown, [&] {
            out = Fd(openat(dir.get(), leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            return out.ok() ? 0 : -1;
        }))
        return Made::skipped;
    int err = 0;
    const std::string why = data == nullptr ? std::string() : a_.data(*data, [&](const void *p, uint32_t len) {
        if (err == 0 && !write_all(out.get(), p, len)) err = errno;
    });
    if (why.empty() && err == 0) {
        own(out.get(), at, shown);
        if (out.close_now()) return Made::ok;
        err = errno;
    }
    unlinkat(dir.get(), leaf.c_str(), 0);
    if (!why.empty()) return con_.fail(shown, why), Made::fatal;
    con_.warn(shown, "not extracted: " + cause(err));
    return Made::skipped;
}

bool Extractor::link(const std::vector<std::string> &target, const Pending &l) {
    Fd from = open_parent(target, l.shown);
    if (!from.ok()) return false;
    Fd dir = open_parent(l.parts, l.shown);
    if (!dir.ok()) return false;
    return make(dir.get(), l.parts.back(), l.shown,
                [&] { return linkat(from.get(), target.back().c_str(), dir.get(), l.parts.back().c_str(), 0); });
}

void Extractor::directory(const std::vector<std::string> &parts, std::string_view shown, const Attrs &at) {
    Fd dir = open_parent(parts, shown);
    if (!dir.ok()) return;
    const char *leaf = parts.back().c_str();
    const bool made = make(dir.get(), parts.back(), shown, [&] {
        if (mkdirat(dir.get(), leaf, 0700) == 0) return 0;
        // A directory that is there already is merged into.
        struct stat st {};
        const int err = errno;
        if (err == EEXIST && fstatat(dir.get(), leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) return 0;
        errno = err;
        return -1;
    });
    if (made) dirs_.push_back({parts, std::string(shown), at});
}

// Symlinks, FIFOs and device nodes.
void Extractor::special(const std::vector<std::string> &parts, std::string_view shown, const Entry &e) {
    const uint32_t type = e.mode & 0170000;
    std::optional<std::string> target;
    if (type == 0120000) {
        target = a_.small_data(e, link_target_max);
        if (!target) return con_.warn(shown, "not extracted: symlink target missing or longer than 4095 bytes");
    } else if ((type == 0020000 || type == 0060000) && !as_root_) {
        return con_.warn(shown, "device node not created: only root can make one");
    } else if ((type == 0020000 || type == 0060000) && a_.format() != std::string_view("newc")) {
        return con_.warn(shown, "device node not created: its numbers are not read from odc and bin archives");
    }
    Fd dir = open_parent(parts, shown);
    if (!dir.ok()) return;
    const char *leaf = parts.back().c_str();
    const bool made = make(dir.get(), parts.back(), shown, [&] {
        if (target) return symlinkat(target->c_str(), dir.get(), leaf);
        if (type == 0010000) return mkfifoat(dir.get(), leaf, e.mode & 07777);
        return mknodat(dir.get(), leaf, e.mode & 0177777, makedev(e.rdevmajor, e.rdevminor));
    });
    if (made) leaf_times(dir.get(), parts.back(), attrs_of(e), shown);
}

// An entry of a hard-linked file.
bool Extractor::member(const Entry &e, const std::optional<SafeName> &s, bool selected, const char *name) {
    Group &g = groups_[identity(e)];
    const Pending self = selected ? Pending{s->parts, name, attrs_of(e)} : Pending{};
    if (g.extracted) {
        if (selected) link(g.target, self);
        return true;
    }
    if (g.failed) {
        if (selected) con_.warn(name, "not extracted: the file it is a hard link of was not extracted");
        return true;
    }
    if (e.filesize == 0) {
        if (selected) g.pending.push_back(self);
        return true;
    }
    // The data: into this entry's file, or into the first link waiting for
    // it when this entry is not extracted itself.
    Pending dest = self;
    if (!selected) {
        if (g.pending.empty()) return true;
        dest = g.pending.front();
        g.pending.erase(g.pending.begin());
    }
    const Made made = file(dest.parts, dest.shown, attrs_of(e), &e);
    if (made == Made::fatal) return false;
    g.extracted = made == Made::ok;
    g.failed = !g.extracted;
    g.target = dest.parts;
    for (const Pending &l : g.pending) {
        if (g.extracted)
            link(g.target, l);
        else
            con_.warn(l.shown, "not extracted: the file it is a hard link of was not extracted");
    }
    g.pending.clear();
    return true;
}

bool Extractor::entry(const Entry &e, const char *name) {
    con_.progress(e.next_offset, a_.file_size(), ++entries_, 0);
    const auto s = safe_name(name);
    bool selected = s && selection_.selects(*s);
    if (!s && selection_.all()) con_.warn(name, "not extracted: the name has a \"..\" component");
    if (selected && s->was_absolute && !told_absolute_) {
        con_.note("", "leading '/' removed from member names");
        told_absolute_ = true;
    }
    // An empty name (".", "/") is the extraction directory itself.
    if (selected && s->parts.empty()) {
        if (!is_type(e.mode, 0040000)) con_.warn(name, "not extracted: the name is empty");
        selected = false;
    }
    if (hard_linked(e)) return member(e, s, selected, name);
    if (!selected) return true;
    const Attrs at = attrs_of(e);
    switch (e.mode & 0170000) {
        case 0040000:
            directory(s->parts, name, at);
            return true;
        case 0100000:
            return file(s->parts, name, at, &e) != Made::fatal;
        case 0120000:
        case 0010000:
        case 0020000:
        case 0060000:
            special(s->parts, name, e);
            return true;
        case 0140000:
            con_.warn(name, "not extracted: sockets are not");
            return true;
        default:
            con_.warn(name, "not extracted: unknown file type");
            return true;
    }
}

void Extractor::finish() {
    for (auto &[id, g] : groups_) {
        if (g.extracted || g.failed || g.pending.empty()) continue;
        const Pending first = g.pending.front();
        if (file(first.parts, first.shown, first.attrs, nullptr) != Made::ok) continue;
        for (size_t i = 1; i < g.pending.size(); ++i) link(first.parts, g.pending[i]);
    }
    for (auto d = dirs_.rbegin(); d != dirs_.rend(); ++d) {
        Fd parent = open_parent(d->parts, d->shown);
        if (!parent.ok()) continue;
        Fd dir(openat(parent.get(), d->parts.back().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.ok())
            con_.warn(d->shown, "mode and time not restored: " + cause(errno));
        else
            own(dir.get(), d->attrs, d->shown);
    }
    selection_.warn_unused(con_);
}

// mkdir -p for the user's own directory (symlinks followed: it is theirs).
bool make_dirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        const std::string prefix = path.substr(0, i);
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

}  // namespace

int extract(const Options &o, const std::string &archive, const std::string &dir,
            const std::vector<std::string> &names) {
    Console con(archive);
    Archive a;
    if (!a.open(archive, o.block_size, con)) return exit_failed;
    if (!make_dirs(dir)) return con.fail(dir, cause(errno));
    Fd root(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.ok()) return con.fail(dir, cause(errno));
    Extractor x(o, con, a, root.get(), names);
    bool stopped = false;
    const bool whole = a.walk(con, [&](const Entry &e, const char *name) {
        stopped = !x.entry(e, name);
        return !stopped;
    });
    x.finish();
    con.clear_progress();
    return whole && !stopped ? con.status() : exit_failed;
}

}  // namespace vcpio
