// The two readers against each other. The input leads with the same eight
// control bytes as the block reader's target (only the first, the block
// size, is used here); the rest is the archive, read by the bounded
// in-memory reader and by the block reader through a memory callback.
//
// Where both accept an entry they report the same offset, name, sizes,
// mode, mtime and data bytes. Where one walk goes further, the entry that
// the other refused is one that it must refuse: for the in-memory reader an
// entry whose name or data leaves the image, whose name has no final NUL
// or whose sizes wrap; for the block reader one whose name runs past the
// four blocks of its window.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "viredovozu.h"

namespace {

struct Got {
    uint64_t hdr_offset, data_offset;
    std::string name;
    uint32_t namesize, mode, mtime, filesize;
};

void append(void *user, const void *data, uint32_t len) {
    static_cast<std::string *>(user)->append(static_cast<const char *>(data), len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fz::Input in(data, size);
    const uint32_t asked_bs = fz::block_size_from(in.byte());
    for (int i = 0; i < 7; ++i) (void)in.byte();
    const fz::Bytes image(in.rest(), in.rest_size());
    const unsigned char *begin = image.data();
    const size_t n = image.size();
    const uint32_t bs = asked_bs == 0 ? 512 : asked_bs;

    cpioread_ctx mem;
    MemorySource src{begin, n};
    cpioreadex_ctx ctx;
    const bool mem_ok = cpioread_init_bounded(&mem, begin, n) != nullptr;
    const bool ex_ok = src.init(&ctx, asked_bs) != nullptr;
    FZ_CHECK(mem_ok == ex_ok || (n == 0 && !ex_ok));
    if (!mem_ok || !ex_ok) {
        if (ex_ok) cpioreadex_deinit(&ctx);
        return 0;
    }
    FZ_CHECK(mem.ops == ctx.ops);
    const cpio_ops *ops = mem.ops;
    const size_t hl = fz::header_len(ops);

    std::vector<Got> m;
    cpio_simple_entity s;
    for (auto *p = cpioread_first(&mem, &s); p != nullptr; p = cpioread_next(&mem, &s)) {
        const auto *name = reinterpret_cast<const unsigned char *>(s.name);
        m.push_back({static_cast<uint64_t>(name - hl - begin), static_cast<uint64_t>(s.data - begin), s.name,
                     s.namesize, s.mode, s.mtime, s.filesize});
    }

    // A name buffer as large as the window: the block reader never refuses
    // a name for its size then.
    std::vector<char> name_buf(4 * size_t{bs});
    std::vector<Got> b;
    std::vector<cpio_extended_entity> bx;
    cpio_extended_entity e;
    cpioreadex_init_entity(&e, name_buf.data(), static_cast<uint32_t>(name_buf.size()));
    for (auto *p = cpioreadex_first(&ctx, &e); p != nullptr; p = cpioreadex_next(&ctx, &e)) {
        FZ_CHECK(b.size() <= n / hl + 1);
        b.push_back({e.hdr_offset, e.data_offset, name_buf.data(), e.namesize, e.mode, e.mtime, e.filesize});
        bx.push_back(e);
    }

    const size_t common = std::min(m.size(), b.size());
    for (size_t i = 0; i < common; ++i) {
        FZ_CHECK(m[i].hdr_offset == b[i].hdr_offset && m[i].data_offset == b[i].data_offset);
        FZ_CHECK(m[i].name == b[i].name && m[i].namesize == b[i].namesize);
        FZ_CHECK(m[i].mode == b[i].mode && m[i].mtime == b[i].mtime && m[i].filesize == b[i].filesize);
        std::string bytes;
        FZ_CHECK(cpioreadex_do_data(&ctx, &bx[i], 0, bx[i].filesize, append, &bytes) == 0);
        FZ_CHECK(bytes.size() == m[i].filesize &&
                 std::memcmp(bytes.data(), begin + m[i].data_offset, bytes.size()) == 0);
    }
    if (b.size() > common) {
        // The in-memory reader must refuse the block reader's next entry.
        const cpio_extended_entity &x = bx[common];
        const uint64_t o = x.hdr_offset, room = n > o ? n - o : 0;
        const uint64_t name_end = hl + x.namesize, data_end = x.data_offset - o + x.filesize;
        const bool fits = room >= hl && x.namesize >= 1 && name_end <= room && begin[o + name_end - 1] == 0 &&
                          x.data_offset - o >= name_end && data_end <= room &&
                          ops->get_entry_size(begin + o) >= data_end;
        FZ_CHECK(!fits);
    }
    if (m.size() > common) {
        // The block reader must refuse the in-memory reader's next entry:
        // its name runs past the window.
        const uint64_t o = m[common].hdr_offset;
        const uint64_t window_end = std::min((o / bs + 4) * bs, (uint64_t{n} + bs - 1) / bs * bs);
        FZ_CHECK(hl + m[common].namesize > window_end - o);
    }
    cpioreadex_deinit(&ctx);
    return 0;
}
