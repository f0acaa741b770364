// The writer round trip: the input is a script of writer calls
// (write_script.h). The library writes the archive to a temporary file
// while the target keeps a model of what each call must do (result, errno,
// the counter and the link groups); then the bounded in-memory reader, the
// unbounded one and the block reader read the file back, and every entry's
// name, mode, owner, mtime, inode and device numbers, link count and data
// bytes must be the model's.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "viredovozu.h"
#include "write_script.h"

namespace {

struct Expected {
    std::string name, data;
    uint32_t mode, uid, gid, mtime, ino, devmajor, devminor, nlink;
    int group = -1;  // a hard link: its link group, whose final count sets nlink
};

struct Group {
    uint32_t ino, devmajor, devminor, count;
};

// What the writer context holds, as the model sees it.
struct Model {
    uint32_t ino = 0x100000, devmajor = 0, devminor = 30, mtime = 0;
    std::vector<Group> groups;
    std::vector<Expected> entries;

    int group_of(uint32_t i, uint32_t major, uint32_t minor) const {
        for (size_t g = 0; g < groups.size(); ++g)
            if (groups[g].ino == i && groups[g].devmajor == major && groups[g].devminor == minor) return int(g);
        return -1;
    }
    // The header emission: 0 or the errno of its refusal. Advances the
    // counter and records the entry.
    int emit(const std::string &name, const std::string &data, uint32_t mode, uint32_t uid, uint32_t gid,
             uint32_t entry_mtime) {
        if (name.size() + 1 > 259) return ENAMETOOLONG;
        if (ino == 0 || ino >= 0x7FFFFFFF) return EMFILE;
        const int g = group_of(ino, devmajor, devminor);
        entries.push_back({name, data, mode, uid, gid, entry_mtime, ino, devmajor, devminor,
                           g < 0 ? 1 : groups[size_t(g)].count + 1});
        ++ino;
        return 0;
    }
};

// A directory of this process's own, removed at exit.
const std::string &temp_dir() {
    static const std::string dir = [] {
        char t[] = "/tmp/viredovozu-fuzz-XXXXXX";
        if (mkdtemp(t) == nullptr) std::abort();
        return std::string(t);
    }();
    // Registered after dir is made, so it runs before dir is destroyed.
    static const bool cleanup = std::atexit([] { std::filesystem::remove_all(temp_dir()); }) == 0;
    (void)cleanup;
    return dir;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void append(void *user, const void *data, uint32_t len) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), len);
}

// One step against the writer and the model: the result and errno must
// agree.
void run(cpiowrite_ctx *w, Model &m, const script::Step &s, const std::string &data_path) {
    using script::Kind;
    const char *name = s.name.c_str();
    const std::string cname(name);  // what the writer sees: up to the first NUL
    std::string all;
    for (const std::string &b : s.buffers) all += b;
    int want = 0;
    errno = 0;
    int got = 1;
    switch (s.kind) {
        case Kind::data:
            want = m.emit(cname, all, s.mode, s.uid, s.gid, m.mtime);
            got = cpiowrite_add_data(w, name, s.mode, s.uid, s.gid, s.buffers[0].data(),
                                     static_cast<uint32_t>(s.buffers[0].size()));
            break;
        case Kind::data2:
            want = m.emit(cname, all, s.mode, s.uid, s.gid, m.mtime);
            got = cpiowrite_add_data2(w, name, s.mode, s.uid, s.gid, s.buffers[0].data(),
                                      static_cast<uint32_t>(s.buffers[0].size()), s.buffers[1].data(),
                                      static_cast<uint32_t>(s.buffers[1].size()));
            break;
        case Kind::datav: {
            std::vector<cpio_span> spans;
            for (const std::string &b : s.buffers)
                spans.push_back({static_cast<uint32_t>(b.size()), b.empty() && s.null_empty ? nullptr : b.data()});
            want = m.emit(cname, all, s.mode, s.uid, s.gid, m.mtime);
            got = cpiowrite_add_datav(w, name, s.mode, s.uid, s.gid, spans.empty() ? nullptr : spans.data(),
                                      static_cast<int32_t>(spans.size()));
            break;
        }
        case Kind::file: {
            {
                std::ofstream out(data_path, std::ios::binary | std::ios::trunc);
                out << s.buffers[0];
            }
            struct stat st;
            FZ_CHECK(stat(data_path.c_str(), &st) == 0);
            want = m.emit(cname, s.buffers[0], s.mode, static_cast<uint32_t>(st.st_uid),
                          static_cast<uint32_t>(st.st_gid), static_cast<uint32_t>(st.st_mtime));
            got = cpiowrite_add_file(w, name, s.mode, data_path.c_str());
            break;
        }
        case Kind::hardlink: {
            // The group is found or made before anything else is tested.
            int g = m.group_of(s.ino, s.devmajor, s.devminor);
            if (g < 0) {
                m.groups.push_back({s.ino, s.devmajor, s.devminor, 0});
                g = int(m.groups.size()) - 1;
            }
            const Model kept = m;
            m.ino = s.ino;
            m.devmajor = s.devmajor;
            m.devminor = s.devminor;
            want = m.emit(cname, "", s.mode, s.uid, s.gid, m.mtime);
            m.ino = kept.ino;
            m.devmajor = kept.devmajor;
            m.devminor = kept.devminor;
            if (want == 0) {
                m.entries.back().group = g;
                ++m.groups[size_t(g)].count;
            }
            got = cpiowrite_add_hardlink(w, name, s.mode, s.uid, s.gid, s.devmajor, s.devminor, s.ino);
            break;
        }
        case Kind::mtime:
            m.mtime = s.value;
            got = cpiowrite_set_mtime(w, s.value);
            break;
        case Kind::ino:
            m.ino = s.value;
            got = cpiowrite_set_ino(w, static_cast<int32_t>(s.value));
            break;
        case Kind::dev:
            m.devmajor = s.devmajor;
            m.devminor = s.devminor;
            got = cpiowrite_set_devmajor(w, s.devmajor) & cpiowrite_set_devminor(w, s.devminor);
            break;
    }
    FZ_CHECK(got == (want == 0 ? 1 : 0));
    if (want != 0) FZ_CHECK(errno == want);
    FZ_CHECK(static_cast<uint32_t>(cpiowrite_get_ino(w)) == m.ino);
    FZ_CHECK(static_cast<uint32_t>(cpiowrite_get_devmajor(w)) == m.devmajor);
    FZ_CHECK(static_cast<uint32_t>(cpiowrite_get_devminor(w)) == m.devminor);
    FZ_CHECK(cpiowrite_get_mtime(w) == m.mtime);
}

void read_back(const fz::Bytes &image, const std::vector<Expected> &want, bool ends_at_real_trailer) {
    const unsigned char *begin = image.data();
    for (int bounded = 0; bounded < 2; ++bounded) {
        cpioread_ctx ctx;
        FZ_CHECK((bounded ? cpioread_init_bounded(&ctx, begin, image.size()) : cpioread_init(&ctx, begin)) == &ctx);
        FZ_CHECK(ctx.ops == &cpio_ops__newc && ctx.count == want.size());
        cpio_simple_entity e;
        size_t i = 0;
        for (auto *p = cpioread_first(&ctx, &e); p != nullptr; p = cpioread_next(&ctx, &e), ++i) {
            FZ_CHECK(i < want.size());
            const Expected &x = want[i];
            FZ_CHECK(e.namesize == x.name.size() + 1 && std::memcmp(e.name, x.name.c_str(), e.namesize) == 0);
            FZ_CHECK(e.mode == x.mode && e.mtime == x.mtime && e.filesize == x.data.size());
            FZ_CHECK(std::memcmp(e.data, x.data.data(), x.data.size()) == 0);
        }
        FZ_CHECK(i == want.size());
    }
    // Blocks of 512 and more hold any header with the longest name (259).
    for (uint32_t bs : {512u, 4096u}) {
        MemorySource src{begin, image.size()};
        cpioreadex_ctx ctx;
        FZ_CHECK(src.init(&ctx, bs) == &ctx);
        std::vector<char> name(260);
        cpio_extended_entity e;
        cpioreadex_init_entity(&e, name.data(), static_cast<uint32_t>(name.size()));
        size_t i = 0;
        for (auto *p = cpioreadex_first(&ctx, &e); p != nullptr; p = cpioreadex_next(&ctx, &e), ++i) {
            FZ_CHECK(i < want.size());
            const Expected &x = want[i];
            FZ_CHECK(e.namesize == x.name.size() + 1 && x.name == name.data());
            FZ_CHECK(e.mode == x.mode && e.uid == x.uid && e.gid == x.gid && e.mtime == x.mtime);
            FZ_CHECK(e.ino == x.ino && e.devmajor == x.devmajor && e.devminor == x.devminor && e.nlink == x.nlink);
            FZ_CHECK(e.rdevmajor == 0 && e.rdevminor == 0 && e.filesize == x.data.size());
            std::string bytes;
            FZ_CHECK(cpioreadex_do_data(&ctx, &e, 0, e.filesize, append, &bytes) == 0 && bytes == x.data);
        }
        FZ_CHECK(i == want.size());
        const uint64_t size = cpioreadex_get_size(&ctx);
        FZ_CHECK(size != ~uint64_t{0});
        if (bs == 512 && ends_at_real_trailer) FZ_CHECK(size == image.size());
        cpioreadex_deinit(&ctx);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &dir = temp_dir();
    const std::string archive = dir + "/archive.cpio", data_path = dir + "/data";
    cpiowrite_ctx *w = cpiowrite_start(archive.c_str());
    FZ_CHECK(w != nullptr);
    Model m;
    FZ_CHECK(cpiowrite_get_ino(w) == 0x100000 && cpiowrite_get_devmajor(w) == 0 && cpiowrite_get_devminor(w) == 30);
    m.mtime = cpiowrite_get_mtime(w);

    script::Parser parser(data, size);
    script::Step s;
    for (int steps = 0; steps < 256 && parser.next(s); ++steps) run(w, m, s, data_path);
    FZ_CHECK(cpiowrite_finish(w) == 1);

    // Links carry their group's final count.
    for (Expected &x : m.entries)
        if (x.group >= 0) x.nlink = m.groups[size_t(x.group)].count + 1;
    // A name that begins with the trailer's ends the archive for every
    // reader.
    std::vector<Expected> want;
    bool real_trailer = true;
    for (const Expected &x : m.entries) {
        if (x.name.compare(0, 10, "TRAILER!!!") == 0) {
            real_trailer = false;
            break;
        }
        want.push_back(x);
    }

    const std::string bytes = slurp(archive);
    FZ_CHECK(!bytes.empty() && bytes.size() % 512 == 0);
    const fz::Bytes image(bytes.data(), bytes.size());
    read_back(image, want, real_trailer);
    std::remove(archive.c_str());
    return 0;
}
