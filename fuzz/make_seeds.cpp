// Writes the seed corpora of the fuzz targets into the directory given:
// archives of every format (newc, odc, bin in both byte orders) from the
// test encoders, newc archives from the library's own writer, and writer
// scripts. Made at build time, so that the tree keeps the generator and
// not hundreds of binary files.
//
//   DIR/read_bounded/    archives as they are
//   DIR/block/           eight control bytes, then an archive (the block
//                        reader's target and the differential one)
//   DIR/write_roundtrip/ writer scripts (write_script.h)
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "encoders.h"
#include "viredovozu.h"
#include "write_script.h"

namespace {

namespace fs = std::filesystem;
using namespace testenc;

fs::path out_dir;
int written = 0;

void save(const std::string &sub, const std::string &name, const std::string &bytes) {
    std::ofstream(out_dir / sub / name, std::ios::binary) << bytes;
    ++written;
}

// The entry sets: small and large names and data, every padding remainder,
// hard-link-like and device entries.
std::vector<std::pair<std::string, std::vector<Entry>>> entry_sets() {
    std::vector<std::pair<std::string, std::vector<Entry>>> sets;
    sets.push_back({"three", {file("a.txt", "alpha"), file("dir/b", ""), file("c", "gamma ray")}});
    sets.push_back({"empty", {}});
    std::vector<Entry> pads;
    for (int i = 1; i <= 8; ++i) pads.push_back(file(std::string(i, char('a' + i)), std::string(i - 1, char('0' + i))));
    sets.push_back({"padding", pads});
    Entry dir = file("usr/share/doc", "");
    dir.mode = 040755;
    dir.nlink = 2;
    Entry dev = file("dev/console", "");
    dev.mode = 020600;
    dev.rdevmajor = 5;
    dev.rdevminor = 1;
    Entry link = file("bin/sh", "#!");
    link.nlink = 2;
    Entry link2 = link;
    link2.name = "bin/dash";
    sets.push_back({"tree", {dir, dev, link, link2}});
    sets.push_back({"long", {file(std::string(200, 'L'), std::string(1000, 'D')), file("tail", "end")}});
    return sets;
}

// What the block targets read: control bytes, then the archive.
void save_block_variants(const std::string &stem, const std::string &archive) {
    struct Control {
        uint8_t bs, cap, mode, measure_at;
        uint16_t offset, length;
    };
    // Block sizes 64, 512, 8192 and the default; name buffers of none, 8
    // bytes and 64 KiB; each callback behaviour once.
    const Control controls[] = {
        {0, 255, 0, 1, 3, 7},
        {3, 8, 1, 0, 0, 0xFFFF},
        {7, 0, 2, 2, 1, 100},
        {8, 255, 3, 9, 0xFFFF, 2},
    };
    int i = 0;
    for (const Control &c : controls) {
        std::string bytes;
        for (unsigned v :
             {unsigned{c.bs}, unsigned{c.cap}, unsigned{c.mode}, unsigned{c.measure_at}, unsigned{c.offset} & 0xFF,
              unsigned{c.offset} >> 8, unsigned{c.length} & 0xFF, unsigned{c.length} >> 8})
            bytes += static_cast<char>(v);
        save("block", stem + "-" + std::to_string(i++), bytes + archive);
    }
}

void save_archive(const std::string &stem, const std::string &archive) {
    save("read_bounded", stem, archive);
    save_block_variants(stem, archive);
}

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A newc archive from the writer: data from buffers, a file, hard links.
std::string written_archive(const fs::path &dir) {
    const fs::path archive = dir / "writer.cpio", data = dir / "data.txt";
    std::ofstream(data, std::ios::binary) << "file contents\n";
    cpiowrite_ctx *w = cpiowrite_start(archive.c_str());
    if (w == nullptr) return {};
    cpiowrite_set_mtime(w, 1700000000);
    cpiowrite_add_data(w, "etc/hostname", 0100644, 0, 0, "box\n", 4);
    cpiowrite_add_data2(w, "two", 0100600, 1, 2, "12345", 5, "678", 3);
    const cpio_span spans[] = {{3, "abc"}, {0, nullptr}, {2, "de"}};
    cpiowrite_add_datav(w, "spans", 0100640, 3, 4, spans, 3);
    cpiowrite_add_file(w, "copied", 0100444, data.c_str());
    const int32_t ino = cpiowrite_get_ino(w);
    cpiowrite_add_hardlink(w, "link1", 0100755, 0, 0, 0, 30, ino);
    cpiowrite_add_hardlink(w, "link2", 0100755, 0, 0, 0, 30, ino);
    cpiowrite_add_data(w, "target", 0100755, 0, 0, "payload", 7);
    cpiowrite_add_data(w, "usr", 040755, 0, 0, nullptr, 0);
    if (!cpiowrite_finish(w)) return {};
    std::string bytes = slurp(archive);
    fs::remove(archive);
    fs::remove(data);
    return bytes;
}

std::vector<std::vector<script::Step>> scripts() {
    using script::Kind;
    using script::Step;
    auto add = [](Kind k, std::string name, std::vector<std::string> buffers, uint16_t mode = 0100644) {
        Step s;
        s.kind = k;
        s.name = std::move(name);
        s.buffers = std::move(buffers);
        s.mode = mode;
        s.uid = 7;
        s.gid = 9;
        return s;
    };
    auto link = [&](std::string name, uint16_t ino, uint8_t major, uint8_t minor) {
        Step s = add(Kind::hardlink, std::move(name), {});
        s.ino = ino;
        s.devmajor = major;
        s.devminor = minor;
        return s;
    };
    auto setting = [](Kind k, uint32_t value, uint8_t selector = 0, uint8_t major = 0, uint8_t minor = 0) {
        Step s;
        s.kind = k;
        s.value = value;
        s.selector = selector;
        s.devmajor = major;
        s.devminor = minor;
        return s;
    };
    std::vector<std::vector<Step>> all;
    all.push_back({add(Kind::data, "hello", {"world"})});
    all.push_back({setting(Kind::mtime, 1234567890), add(Kind::data2, "d2", {"12345", "678"}),
                   add(Kind::datav, "v", {"abc", "", "de"}), add(Kind::file, "f", {"from a file"}, 0100600)});
    Step v = add(Kind::datav, "nulls", {"", "x", ""});
    v.null_empty = true;
    all.push_back(
        {v, add(Kind::data, std::string(258, 'n'), {"longest"}), add(Kind::data, std::string(259, 'n'), {"x"})});
    all.push_back({link("l1", 0x500, 3, 4), link("l2", 0x500, 3, 4), link("other", 0x500, 3, 5),
                   setting(Kind::ino, 0x500), setting(Kind::dev, 0, 0, 3, 4), add(Kind::data, "file", {"data"})});
    all.push_back({add(Kind::data, "first", {"1"}), link("zero", 0, 0, 30), setting(Kind::ino, 0, 3),
                   add(Kind::data, "refused", {"2"}), setting(Kind::ino, 0, 2), add(Kind::data, "last", {"3"}),
                   add(Kind::data, "over", {"4"})});
    all.push_back({add(Kind::data, "dir", {}, 040755), add(Kind::data, "dir/big", {std::string(3000, 'B')})});
    return all;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    out_dir = argv[1];
    fs::remove_all(out_dir);
    for (const char *sub : {"read_bounded", "block", "write_roundtrip"}) fs::create_directories(out_dir / sub);

    for (const auto &[set, entries] : entry_sets()) {
        for (Fmt f : all_formats) {
            const std::string stem = std::string(fmt_name(f)) + "-" + set;
            const std::string archive = encode(f, entries);
            save_archive(stem, archive);
            // Damaged on purpose: cut in the middle, and without a trailer.
            save("read_bounded", stem + "-cut", archive.substr(0, archive.size() / 2));
            save("read_bounded", stem + "-untrailed", encode(f, entries, false));
        }
    }
    std::string mixed = encode_entry(Fmt::bin_le, file("little", "LE")) +
                        encode_entry(Fmt::bin_be, file("big", "BEB")) + encode_entry(Fmt::bin_le, trailer());
    save_archive("bin-mixed", mixed);

    const std::string w = written_archive(out_dir);
    if (w.empty()) {
        std::fprintf(stderr, "make_seeds: the writer failed\n");
        return 1;
    }
    save_archive("writer", w);

    int i = 0;
    for (const auto &s : scripts()) save("write_roundtrip", "script-" + std::to_string(i++), script::serialize(s));
    std::printf("make_seeds: %d seeds in %s\n", written, out_dir.c_str());
    return 0;
}
