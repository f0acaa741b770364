// The newc writer: start, accessors, header bytes, the adders and their
// refusals, link counts, and failures reported by cpiowrite_finish.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "encoders.h"
#include "sandbox.h"
#include "viredovozu.h"
#include "written_archive.h"

using written::entries_of;
using written::Got;

namespace {

const std::string name259(259, 'n'), name258(258, 'n'), name260(260, 'n');

bool exists(const std::string &p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0;
}

// A writer on a fresh file in a fresh directory.
struct Writer : ::testing::Test {
    Sandbox sb;
    std::string path = sb.path("out.cpio");
    cpiowrite_ctx *ctx = cpiowrite_start(path.c_str());

    void SetUp() override { ASSERT_NE(ctx, nullptr) << path; }
    void TearDown() override {
        if (ctx) cpiowrite_abort(ctx);
    }
    // Finishes (expecting success) and returns the archive's bytes.
    std::string finish() {
        cpiowrite_ctx *c = ctx;
        ctx = nullptr;
        EXPECT_EQ(cpiowrite_finish(c), 1) << strerror(errno);
        return sb.read("out.cpio");
    }
    void identity(int32_t ino, int32_t devmajor, int32_t devminor) {
        ASSERT_EQ(cpiowrite_set_ino(ctx, ino), 1);
        ASSERT_EQ(cpiowrite_set_devmajor(ctx, devmajor), 1);
        ASSERT_EQ(cpiowrite_set_devminor(ctx, devminor), 1);
    }
};

// ---------------------------------------------------------------------------
// Start and accessors

TEST(WriterStart, RefusesWhatItCannotCreateAndCreatesNothing) {
    Sandbox sb;
    const std::string dir = sb.dir() + "/";
    const std::string fits = dir + std::string(259 - dir.size(), 'p');
    const std::string too_long = dir + std::string(260 - dir.size(), 'p');
    struct Case {
        std::string path;
        int err;
    };
    const Case cases[] = {
        {too_long, ENAMETOOLONG},
        {sb.path("missing/out.cpio"), ENOENT},
        {sb.dir(), EISDIR},
    };
    for (const Case &c : cases) {
        errno = 0;
        EXPECT_EQ(cpiowrite_start(c.path.c_str()), nullptr) << c.path;
        EXPECT_EQ(errno, c.err) << c.path;
    }
    EXPECT_FALSE(exists(too_long));
    errno = 0;
    EXPECT_EQ(cpiowrite_start(nullptr), nullptr);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(cpiowrite_finish(nullptr), 0);
    EXPECT_EQ(errno, EFAULT);
    cpiowrite_abort(nullptr);

    cpiowrite_ctx *ctx = cpiowrite_start(fits.c_str());
    ASSERT_NE(ctx, nullptr) << strerror(errno);
    EXPECT_EQ(cpiowrite_finish(ctx), 1);
    EXPECT_EQ(Sandbox::slurp(fits), written::empty_archive());
}

TEST_F(Writer, StartsWithItsDefaultNumbersAndTheCurrentTime) {
    EXPECT_EQ(cpiowrite_get_ino(ctx), 0x100000);
    EXPECT_EQ(cpiowrite_get_devmajor(ctx), 0);
    EXPECT_EQ(cpiowrite_get_devminor(ctx), 30);
    const uint32_t now = uint32_t(time(nullptr));
    EXPECT_LE(cpiowrite_get_mtime(ctx), now);
    EXPECT_GE(cpiowrite_get_mtime(ctx) + 5, now);
}

struct Accessor {
    const char *name;
    int32_t (*get)(const cpiowrite_ctx *);
    int (*set)(cpiowrite_ctx *, int32_t);
};

TEST_F(Writer, SettersStoreAnyValueButANegativeOne) {
    const Accessor accessors[] = {{"ino", cpiowrite_get_ino, cpiowrite_set_ino},
                                  {"devmajor", cpiowrite_get_devmajor, cpiowrite_set_devmajor},
                                  {"devminor", cpiowrite_get_devminor, cpiowrite_set_devminor}};
    for (const Accessor &a : accessors) {
        for (int32_t v : {0, 1, 0x7FFFFFFF, 77}) {
            EXPECT_EQ(a.set(ctx, v), 1) << a.name << " " << v;
            EXPECT_EQ(a.get(ctx), v) << a.name;
        }
        for (int32_t v : {-1, INT32_MIN}) {
            errno = 0;
            EXPECT_EQ(a.set(ctx, v), 0) << a.name << " " << v;
            EXPECT_EQ(errno, EINVAL) << a.name;
            EXPECT_EQ(a.get(ctx), 77) << a.name;
        }
    }
}

TEST_F(Writer, MtimeIsTheContextsForBufferEntriesAndLinksAndTheFilesOwnForFiles) {
    for (uint32_t v : {0u, 0xFFFFFFFFu, 1600000000u}) {
        EXPECT_EQ(cpiowrite_set_mtime(ctx, v), 1);
        EXPECT_EQ(cpiowrite_get_mtime(ctx), v);
    }
    sb.write("f", "file data");
    ASSERT_EQ(Sandbox::run("touch -d @1234567890 '" + sb.path("f") + "'"), 0);
    const cpio_span span{2, "sv"};
    ASSERT_EQ(cpiowrite_add_data(ctx, "data", 0100644, 0, 0, "d", 1), 1);
    ASSERT_EQ(cpiowrite_add_data2(ctx, "data2", 0100644, 0, 0, "a", 1, "b", 1), 1);
    ASSERT_EQ(cpiowrite_add_datav(ctx, "datav", 0100644, 0, 0, &span, 1), 1);
    ASSERT_EQ(cpiowrite_add_hardlink(ctx, "link", 0100644, 0, 0, 0, 30, 0x500), 1);
    ASSERT_EQ(cpiowrite_add_file(ctx, "file", 0100644, sb.path("f").c_str()), 1);
    ASSERT_EQ(cpiowrite_set_mtime(ctx, 7), 1);
    ASSERT_EQ(cpiowrite_add_data(ctx, "later", 0100644, 0, 0, nullptr, 0), 1);

    const auto got = entries_of(finish());
    ASSERT_EQ(got.size(), 6u);
    for (const char *n : {"data", "data2", "datav", "link"}) EXPECT_EQ(written::named(got, n)->mtime, 1600000000u) << n;
    EXPECT_EQ(written::named(got, "file")->mtime, 1234567890u);
    EXPECT_EQ(written::named(got, "later")->mtime, 7u);
}

// ---------------------------------------------------------------------------
// Header bytes

TEST_F(Writer, EmptyArchiveIsTheTrailerPaddedTo512) {
    const std::string a = finish();
    EXPECT_EQ(a.size(), 512u);
    EXPECT_EQ(a, written::empty_archive());
}

// Entries that end at 388 leave the trailer exactly 512 bytes to fill; at
// 480 the trailer ends at 604 and 420 zero bytes follow.
TEST(WriterEnding, TrailerAndPaddingAfterTheEntries) {
    struct Case {
        uint32_t data_len, entries_end, zeros_after_trailer, total;
    };
    for (const Case c : {Case{276, 388, 3, 512}, Case{368, 480, 3 + 420, 1024}}) {
        Sandbox sb;
        cpiowrite_ctx *ctx = cpiowrite_start(sb.path("a").c_str());
        ASSERT_NE(ctx, nullptr);
        const std::string data(c.data_len, 'd');
        ASSERT_EQ(cpiowrite_add_data(ctx, "a", 0100644, 0, 0, data.data(), c.data_len), 1);  // 112 + data
        ASSERT_EQ(cpiowrite_finish(ctx), 1);
        const std::string a = sb.read("a");
        ASSERT_EQ(a.size(), c.total) << c.entries_end;
        EXPECT_EQ(a.substr(c.entries_end, 121), written::trailer_entry()) << c.entries_end;
        EXPECT_EQ(a.substr(c.entries_end + 121), std::string(c.zeros_after_trailer, '\0')) << c.entries_end;
    }
}

// Every name length modulo 4, the longest name, and every data length
// modulo 4 come out exactly as the newc encoding of the test encoder.
TEST(WriterBytes, EntriesMatchTheNewcEncoding) {
    for (const std::string &name : {std::string("a"), std::string("ab"), std::string("abc"), std::string("abcd"),
                                    std::string("dir/e"), name258}) {
        for (size_t len : {0, 1, 2, 3, 4, 5, 4097}) {
            Sandbox sb;
            cpiowrite_ctx *ctx = cpiowrite_start(sb.path("a").c_str());
            ASSERT_NE(ctx, nullptr);
            ASSERT_EQ(cpiowrite_set_mtime(ctx, 0x5F3E2D1C), 1);
            testenc::Entry e = testenc::file(name, std::string(len, 'x'));
            e.ino = 0x100000;
            e.mode = 0100640;
            e.uid = 0xFEDCBA98;
            e.gid = 0x0A0B0C0D;
            e.mtime = 0x5F3E2D1C;
            e.devminor = 30;
            ASSERT_EQ(cpiowrite_add_data(ctx, name.c_str(), 0100640, e.uid, e.gid, e.data.data(), uint32_t(len)), 1);
            ASSERT_EQ(cpiowrite_finish(ctx), 1);
            std::string want = testenc::encode(testenc::Fmt::newc, {e});
            want.resize((want.size() + 511) / 512 * 512, '\0');
            EXPECT_EQ(sb.read("a"), want) << "name of " << name.size() << ", data of " << len;
        }
    }
}

// The header of the worked example declares 0x89ABCDEF bytes of data. The
// file may grow to one block only, so the data write fails after the
// header, name and padding reached the file: the add fails with EFBIG with
// the counter advanced, and cpiowrite_finish reports the partial entry.
TEST_F(Writer, WorkedExampleHeaderThenAPartialEntry) {
    struct rlimit was {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old), 0);
    struct rlimit small = was;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

    ASSERT_EQ(cpiowrite_set_mtime(ctx, 0x5F3E2D1C), 1);
    static const char chunk[1 << 20] = {};
    std::vector<cpio_span> spans(0x89ABCDEF / sizeof chunk, cpio_span{sizeof chunk, chunk});
    spans.push_back({0x89ABCDEF % sizeof chunk, chunk});
    errno = 0;
    const int added =
        cpiowrite_add_datav(ctx, "dir/abc", 0xABCD, 0xFEDCBA98, 0x0A0B0C0D, spans.data(), int32_t(spans.size()));
    const int add_errno = errno;
    const int32_t ino_after = cpiowrite_get_ino(ctx);
    cpiowrite_ctx *c = ctx;
    ctx = nullptr;
    errno = 0;
    const int finished = cpiowrite_finish(c);
    const int finish_errno = errno;
    setrlimit(RLIMIT_FSIZE, &was);
    sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_EQ(added, 0);
    EXPECT_EQ(add_errno, EFBIG);
    EXPECT_EQ(ino_after, 0x100001);
    EXPECT_EQ(finished, 0);
    EXPECT_EQ(finish_errno, EFBIG);
    const std::string a = sb.read("out.cpio");
    ASSERT_GE(a.size(), 120u);
    EXPECT_EQ(a.substr(0, 120), std::string("070701"
                                            "00100000"
                                            "0000ABCD"
                                            "FEDCBA98"
                                            "0A0B0C0D"
                                            "00000001"
                                            "5F3E2D1C"
                                            "89ABCDEF"
                                            "00000000"
                                            "0000001E"
                                            "00000000"
                                            "00000000"
                                            "00000008"
                                            "00000000"
                                            "dir/abc\0\0\0",
                                            120));
}

TEST_F(Writer, InodeNumbersRunTo7FFFFFFEThenEMFILE) {
    ASSERT_EQ(cpiowrite_set_ino(ctx, 0x7FFFFFFE), 1);
    ASSERT_EQ(cpiowrite_add_data(ctx, "last", 0100644, 0, 0, "x", 1), 1);
    EXPECT_EQ(cpiowrite_get_ino(ctx), 0x7FFFFFFF);
    errno = 0;
    EXPECT_EQ(cpiowrite_add_data(ctx, "refused", 0100644, 0, 0, "x", 1), 0);
    EXPECT_EQ(errno, EMFILE);
    EXPECT_EQ(cpiowrite_get_ino(ctx), 0x7FFFFFFF);
    const auto got = entries_of(finish());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].ino, 0x7FFFFFFEu);
}

// ---------------------------------------------------------------------------
// What the adders write

TEST_F(Writer, AddFileTakesSizeOwnerAndMtimeFromTheFileAndTheCallersMode) {
    const bool root = geteuid() == 0;
    const uint32_t uid = root ? 1234 : geteuid(), gid = root ? 5678 : getegid();
    const size_t sizes[] = {0, 3, 4096, 4097, 5120};
    for (size_t n : sizes) {
        std::string bytes(n, '\0');
        for (size_t i = 0; i < n; ++i) bytes[i] = char('a' + i * 7 % 26);
        const std::string f = sb.path("f" + std::to_string(n));
        sb.write("f" + std::to_string(n), bytes);
        if (root) {
            ASSERT_EQ(chown(f.c_str(), uid, gid), 0);
        }
        ASSERT_EQ(Sandbox::run("chmod 0644 '" + f + "' && touch -d @1500000000 '" + f + "'"), 0);
        ASSERT_EQ(cpiowrite_add_file(ctx, ("f" + std::to_string(n)).c_str(), 0100751, f.c_str()), 1) << n;
    }
    const auto got = entries_of(finish());
    ASSERT_EQ(got.size(), std::size(sizes));
    for (size_t i = 0; i < std::size(sizes); ++i) {
        const Got &g = got[i];
        EXPECT_EQ(g.filesize, sizes[i]);
        EXPECT_EQ(g.data, sb.read(g.name)) << g.name;
        EXPECT_EQ(g.mode, 0100751u);
        EXPECT_EQ(g.uid, uid);
        EXPECT_EQ(g.gid, gid);
        EXPECT_EQ(g.mtime, 1500000000u);
        EXPECT_EQ(g.ino, 0x100000u + i);
        EXPECT_EQ(g.nlink, 1u);
        EXPECT_EQ(g.devmajor, 0u);
        EXPECT_EQ(g.devminor, 30u);
    }
    EXPECT_EQ(got[4].filesize, 0x1400u);
}

TEST_F(Writer, BufferAddersWriteTheirBuffersInOrder) {
    ASSERT_EQ(cpiowrite_set_mtime(ctx, 0x5F3E2D1C), 1);
    ASSERT_EQ(cpiowrite_add_data2(ctx, "d2", 0100644, 0, 0, "12345", 5, "678", 3), 1);
    const cpio_span spans[] = {{3, "abc"}, {0, nullptr}, {2, "de"}};
    ASSERT_EQ(cpiowrite_add_datav(ctx, "dv", 0100600, 11, 22, spans, 3), 1);
    ASSERT_EQ(cpiowrite_add_data(ctx, "d1", 0100600, 33, 44, "one", 3), 1);
    const std::string a = finish();
    // The data2 layout: 110 + 3 = 113 padded to 116, then 8 data bytes to 124.
    EXPECT_EQ(a.substr(0, 124), std::string("070701"
                                            "00100000"
                                            "000081A4"
                                            "00000000"
                                            "00000000"
                                            "00000001"
                                            "5F3E2D1C"
                                            "00000008"
                                            "00000000"
                                            "0000001E"
                                            "00000000"
                                            "00000000"
                                            "00000003"
                                            "00000000"
                                            "d2\0\0\0\0"
                                            "12345678",
                                            124));
    const auto got = entries_of(a);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].offset, 0u);
    EXPECT_EQ(got[1].offset, 124u);
    EXPECT_EQ(got[1].data, "abcde");
    EXPECT_EQ(got[1].uid, 11u);
    EXPECT_EQ(got[1].gid, 22u);
    EXPECT_EQ(got[2].data, "one");
    EXPECT_EQ(got[2].ino, 0x100002u);
}

TEST_F(Writer, EmptyBuffersMakeEntriesWithoutData) {
    const cpio_span one{1, "x"};
    ASSERT_EQ(cpiowrite_add_data(ctx, "null", 040755, 0, 0, nullptr, 0), 1);
    ASSERT_EQ(cpiowrite_add_data(ctx, "nonnull", 040755, 0, 0, "x", 0), 1);
    ASSERT_EQ(cpiowrite_add_data2(ctx, "two", 040755, 0, 0, nullptr, 0, "x", 0), 1);
    ASSERT_EQ(cpiowrite_add_datav(ctx, "v-null", 040755, 0, 0, nullptr, 0), 1);
    ASSERT_EQ(cpiowrite_add_datav(ctx, "v-nonnull", 040755, 0, 0, &one, 0), 1);
    const auto got = entries_of(finish());
    ASSERT_EQ(got.size(), 5u);
    for (const Got &g : got) {
        EXPECT_EQ(g.filesize, 0u) << g.name;
        EXPECT_EQ(g.mode, 040755u) << g.name;
    }
}

// ---------------------------------------------------------------------------
// Refusals: errno, nothing written, counter and device numbers unchanged.

struct Refusal {
    const char *label;
    int32_t ino;  // set before the call
    std::function<int(cpiowrite_ctx *, const Sandbox &)> call;
    int err;
};

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.label; }

struct Refused : ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, WritesNothingAndKeepsTheCounter) {
    const Refusal &r = GetParam();
    Sandbox sb;
    sb.write("reg", "ten bytes!");
    ASSERT_EQ(mkdir(sb.path("dir").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(sb.path("fifo").c_str(), 0644), 0);
    const int fd = open(sb.path("huge").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 32), 0);  // one byte more than a header can declare
    close(fd);

    cpiowrite_ctx *ctx = cpiowrite_start(sb.path("a").c_str());
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(cpiowrite_set_ino(ctx, r.ino), 1);
    errno = 0;
    EXPECT_EQ(r.call(ctx, sb), 0);
    EXPECT_EQ(errno, r.err) << strerror(errno);
    EXPECT_EQ(cpiowrite_get_ino(ctx), r.ino);
    EXPECT_EQ(cpiowrite_get_devmajor(ctx), 0);
    EXPECT_EQ(cpiowrite_get_devminor(ctx), 30);
    EXPECT_EQ(cpiowrite_finish(ctx), 1);
    EXPECT_EQ(sb.read("a"), written::empty_archive());
}

std::string label(const ::testing::TestParamInfo<Refusal> &info) { return info.param.label; }

int by_file(cpiowrite_ctx *ctx, const Sandbox &sb, const std::string &name, const char *rel) {
    return cpiowrite_add_file(ctx, name.c_str(), 0100644, sb.path(rel).c_str());
}

constexpr int32_t N = 0x100000;

INSTANTIATE_TEST_SUITE_P(
    AddFile, Refused,
    ::testing::Values(
        Refusal{"name_260", N, [](auto *c, auto &sb) { return by_file(c, sb, name260, "reg"); }, ENAMETOOLONG},
        Refusal{"name_260_before_the_path", N, [](auto *c, auto &sb) { return by_file(c, sb, name260, "missing"); },
                ENAMETOOLONG},
        Refusal{"name_259", N, [](auto *c, auto &sb) { return by_file(c, sb, name259, "reg"); }, ENAMETOOLONG},
        Refusal{"name_259_after_the_path", N, [](auto *c, auto &sb) { return by_file(c, sb, name259, "missing"); },
                ENOENT},
        Refusal{"null_name", N,
                [](auto *c, auto &sb) { return cpiowrite_add_file(c, nullptr, 0100644, sb.path("reg").c_str()); },
                EFAULT},
        Refusal{"missing", N, [](auto *c, auto &sb) { return by_file(c, sb, "f", "missing"); }, ENOENT},
        Refusal{"below_a_file", N, [](auto *c, auto &sb) { return by_file(c, sb, "f", "reg/x"); }, ENOTDIR},
        Refusal{"directory", N, [](auto *c, auto &sb) { return by_file(c, sb, "f", "dir"); }, EFBIG},
        Refusal{"fifo", N, [](auto *c, auto &sb) { return by_file(c, sb, "f", "fifo"); }, EFBIG},
        Refusal{"over_4_GiB", N, [](auto *c, auto &sb) { return by_file(c, sb, "f", "huge"); }, EFBIG},
        Refusal{"ino_0", 0, [](auto *c, auto &sb) { return by_file(c, sb, "f", "reg"); }, EMFILE},
        Refusal{"ino_0_after_the_path", 0, [](auto *c, auto &sb) { return by_file(c, sb, "f", "missing"); }, ENOENT},
        Refusal{"ino_0_after_the_name", 0, [](auto *c, auto &sb) { return by_file(c, sb, name259, "reg"); },
                ENAMETOOLONG},
        Refusal{"ino_7FFFFFFF", 0x7FFFFFFF, [](auto *c, auto &sb) { return by_file(c, sb, "f", "reg"); }, EMFILE}),
    label);

int by_data(cpiowrite_ctx *ctx, const std::string &name, const void *p, uint32_t len) {
    return cpiowrite_add_data(ctx, name.c_str(), 0100644, 0, 0, p, len);
}

INSTANTIATE_TEST_SUITE_P(
    AddData, Refused,
    ::testing::Values(
        Refusal{"name_260", N, [](auto *c, auto &) { return by_data(c, name260, "x", 1); }, ENAMETOOLONG},
        Refusal{"name_259", N, [](auto *c, auto &) { return by_data(c, name259, "x", 1); }, ENAMETOOLONG},
        Refusal{"null_name", N, [](auto *c, auto &) { return cpiowrite_add_data(c, nullptr, 0, 0, 0, "x", 1); },
                EFAULT},
        Refusal{"null_data", N, [](auto *c, auto &) { return by_data(c, "d", nullptr, 1); }, EFAULT},
        Refusal{"name_260_before_null_data", N, [](auto *c, auto &) { return by_data(c, name260, nullptr, 1); },
                ENAMETOOLONG},
        Refusal{"null_data_before_name_259", N, [](auto *c, auto &) { return by_data(c, name259, nullptr, 1); },
                EFAULT},
        Refusal{"ino_0", 0, [](auto *c, auto &) { return by_data(c, "d", "x", 1); }, EMFILE},
        Refusal{"ino_7FFFFFFF", 0x7FFFFFFF, [](auto *c, auto &) { return by_data(c, "d", "x", 1); }, EMFILE},
        Refusal{"null_data_before_ino_0", 0, [](auto *c, auto &) { return by_data(c, "d", nullptr, 1); }, EFAULT},
        Refusal{"name_259_before_ino_0", 0, [](auto *c, auto &) { return by_data(c, name259, "x", 1); }, ENAMETOOLONG}),
    label);

int by_data2(cpiowrite_ctx *ctx, const std::string &name, const void *p1, uint32_t len1, const void *p2,
             uint32_t len2) {
    return cpiowrite_add_data2(ctx, name.c_str(), 0100644, 0, 0, p1, len1, p2, len2);
}

INSTANTIATE_TEST_SUITE_P(
    AddData2, Refused,
    ::testing::Values(
        Refusal{"name_260", N, [](auto *c, auto &) { return by_data2(c, name260, "a", 1, "b", 1); }, ENAMETOOLONG},
        Refusal{"name_259", N, [](auto *c, auto &) { return by_data2(c, name259, "a", 1, "b", 1); }, ENAMETOOLONG},
        Refusal{"null_first", N, [](auto *c, auto &) { return by_data2(c, "d", nullptr, 1, "b", 1); }, EFAULT},
        Refusal{"null_second", N, [](auto *c, auto &) { return by_data2(c, "d", "a", 1, nullptr, 1); }, EFAULT},
        Refusal{"total_over_32_bits", N, [](auto *c, auto &) { return by_data2(c, "d", "a", 0xFFFFFFFF, "b", 1); },
                EFBIG},
        Refusal{"null_before_total", N, [](auto *c, auto &) { return by_data2(c, "d", "a", 0xFFFFFFFF, nullptr, 1); },
                EFAULT},
        Refusal{"name_260_before_null", N, [](auto *c, auto &) { return by_data2(c, name260, nullptr, 1, "b", 1); },
                ENAMETOOLONG},
        Refusal{"total_before_name_259", N,
                [](auto *c, auto &) { return by_data2(c, name259, "a", 0xFFFFFFFF, "b", 1); }, EFBIG},
        Refusal{"total_before_ino_0", 0, [](auto *c, auto &) { return by_data2(c, "d", "a", 0xFFFFFFFF, "b", 1); },
                EFBIG},
        Refusal{"ino_0", 0, [](auto *c, auto &) { return by_data2(c, "d", "a", 1, "b", 1); }, EMFILE}),
    label);

int by_datav(cpiowrite_ctx *ctx, const std::string &name, const std::vector<cpio_span> &spans) {
    return cpiowrite_add_datav(ctx, name.c_str(), 0100644, 0, 0, spans.data(), int32_t(spans.size()));
}
const std::vector<cpio_span> overflowing = {{0xFFFFFFFF, "a"}, {1, "b"}};

INSTANTIATE_TEST_SUITE_P(
    AddDatav, Refused,
    ::testing::Values(
        Refusal{"negative_count", N,
                [](auto *c, auto &) { return cpiowrite_add_datav(c, "v", 0100644, 0, 0, nullptr, -1); }, EINVAL},
        Refusal{"null_spans", N, [](auto *c, auto &) { return cpiowrite_add_datav(c, "v", 0100644, 0, 0, nullptr, 2); },
                EFAULT},
        Refusal{"null_span_data", N,
                [](auto *c, auto &) {
                    return by_datav(c, "v", {{1, "a"}, {5, nullptr}});
                },
                EFAULT},
        Refusal{"total_over_32_bits", N, [](auto *c, auto &) { return by_datav(c, "v", overflowing); }, EFBIG},
        Refusal{"bad_span_after_the_overflow", N,
                [](auto *c, auto &) {
                    return by_datav(c, "v", {{0xFFFFFFFF, "a"}, {1, "b"}, {3, nullptr}});
                },
                EFAULT},
        Refusal{"name_260_before_the_count", N,
                [](auto *c, auto &) { return cpiowrite_add_datav(c, name260.c_str(), 0100644, 0, 0, nullptr, -1); },
                ENAMETOOLONG},
        Refusal{"count_before_name_259", N,
                [](auto *c, auto &) { return cpiowrite_add_datav(c, name259.c_str(), 0100644, 0, 0, nullptr, -1); },
                EINVAL},
        Refusal{"name_259", N,
                [](auto *c, auto &) {
                    return by_datav(c, name259, {{1, "a"}});
                },
                ENAMETOOLONG},
        Refusal{"total_before_ino_0", 0, [](auto *c, auto &) { return by_datav(c, "v", overflowing); }, EFBIG},
        Refusal{"ino_0", 0,
                [](auto *c, auto &) {
                    return by_datav(c, "v", {{1, "a"}});
                },
                EMFILE}),
    label);

int by_link(cpiowrite_ctx *ctx, const std::string &name, int32_t ino) {
    return cpiowrite_add_hardlink(ctx, name.c_str(), 0100644, 0, 0, 3, 4, ino);
}

INSTANTIATE_TEST_SUITE_P(
    AddHardlink, Refused,
    ::testing::Values(
        Refusal{"ino_0", N, [](auto *c, auto &) { return by_link(c, "l", 0); }, EMFILE},
        Refusal{"ino_negative", N, [](auto *c, auto &) { return by_link(c, "l", -1); }, EMFILE},
        Refusal{"ino_7FFFFFFF", N, [](auto *c, auto &) { return by_link(c, "l", 0x7FFFFFFF); }, EMFILE},
        Refusal{"name_260", N, [](auto *c, auto &) { return by_link(c, name260, 0x500); }, ENAMETOOLONG},
        Refusal{"name_259", N, [](auto *c, auto &) { return by_link(c, name259, 0x500); }, ENAMETOOLONG},
        Refusal{"name_259_before_ino_0", N, [](auto *c, auto &) { return by_link(c, name259, 0); }, ENAMETOOLONG},
        Refusal{"null_name", N,
                [](auto *c, auto &) { return cpiowrite_add_hardlink(c, nullptr, 0100644, 0, 0, 3, 4, 0x500); },
                EFAULT}),
    label);

// ---------------------------------------------------------------------------
// Link counts

struct Step {
    bool link;  // a hard link, or a data-bearing entry written with the
                // context's identity set to the same numbers
    const char *name;
    int32_t ino, devmajor, devminor;
    uint32_t nlink;  // after cpiowrite_finish
};

struct LinkCase {
    const char *label;
    std::vector<Step> steps;
};

void PrintTo(const LinkCase &c, std::ostream *os) { *os << c.label; }

struct LinkCounts : ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkCounts, EndAsTheGroupsSay) {
    Sandbox sb;
    cpiowrite_ctx *ctx = cpiowrite_start(sb.path("a").c_str());
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(cpiowrite_set_mtime(ctx, 424242), 1);
    for (const Step &s : GetParam().steps) {
        if (s.link) {
            const int32_t ino = cpiowrite_get_ino(ctx), devmajor = cpiowrite_get_devmajor(ctx),
                          devminor = cpiowrite_get_devminor(ctx);
            ASSERT_EQ(cpiowrite_add_hardlink(ctx, s.name, 0100644, 0, 0, s.devmajor, s.devminor, s.ino), 1) << s.name;
            EXPECT_EQ(cpiowrite_get_ino(ctx), ino) << s.name;
            EXPECT_EQ(cpiowrite_get_devmajor(ctx), devmajor) << s.name;
            EXPECT_EQ(cpiowrite_get_devminor(ctx), devminor) << s.name;
        } else {
            ASSERT_EQ(cpiowrite_set_ino(ctx, s.ino), 1);
            ASSERT_EQ(cpiowrite_set_devmajor(ctx, s.devmajor), 1);
            ASSERT_EQ(cpiowrite_set_devminor(ctx, s.devminor), 1);
            ASSERT_EQ(cpiowrite_add_data(ctx, s.name, 0100644, 0, 0, "data", 4), 1) << s.name;
            EXPECT_EQ(cpiowrite_get_ino(ctx), s.ino + 1);
        }
    }
    ASSERT_EQ(cpiowrite_finish(ctx), 1);
    const auto got = entries_of(sb.read("a"));
    ASSERT_EQ(got.size(), GetParam().steps.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const Step &s = GetParam().steps[i];
        const Got &g = got[i];
        EXPECT_EQ(g.name, s.name);
        EXPECT_EQ(g.nlink, s.nlink) << s.name;
        EXPECT_EQ(g.ino, uint32_t(s.ino)) << s.name;
        EXPECT_EQ(g.devmajor, uint32_t(s.devmajor)) << s.name;
        EXPECT_EQ(g.devminor, uint32_t(s.devminor)) << s.name;
        EXPECT_EQ(g.filesize, s.link ? 0u : 4u) << s.name;
        EXPECT_EQ(g.mtime, 424242u) << s.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Writer, LinkCounts,
    ::testing::Values(
        // The data-bearing entry first keeps the nlink it was written with.
        LinkCase{"file_then_two_links",
                 {{false, "f", N, 0, 30, 1}, {true, "l1", N, 0, 30, 3}, {true, "l2", N, 0, 30, 3}}},
        LinkCase{"two_links_then_the_file",
                 {{true, "l1", 0x500, 3, 4, 3}, {true, "l2", 0x500, 3, 4, 3}, {false, "f", 0x500, 3, 4, 3}}},
        LinkCase{"two_identities",
                 {{true, "a1", 0x500, 3, 4, 4},
                  {true, "b1", 0x500, 3, 5, 2},
                  {true, "a2", 0x500, 3, 4, 4},
                  {true, "a3", 0x500, 3, 4, 4}}},
        LinkCase{"each_number_of_the_identity_counts",
                 {{true, "l1", 0x500, 3, 4, 3},
                  {true, "l2", 0x500, 3, 4, 3},
                  {false, "minor", 0x500, 3, 5, 1},
                  {false, "major", 0x500, 2, 4, 1},
                  {false, "ino", 0x501, 3, 4, 1},
                  {false, "same", 0x500, 3, 4, 3}}},
        LinkCase{"links_far_apart",
                 {{true, "l1", 0x700, 0, 1, 3},
                  {false, "other", 0x600, 0, 1, 1},
                  {true, "l2", 0x700, 0, 1, 3},
                  {false, "f", 0x700, 0, 1, 3}}}),
    [](const auto &info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Files that change while they are copied

// A file that grows while it is copied: bytes are appended as soon as the
// writer opens it, long before its last read. The entry carries exactly the
// size that stat saw, and the archive stays readable to its end.
TEST_F(Writer, AGrowingFileIsCopiedUpToItsStatSize) {
    const std::string f = sb.path("growing");
    std::string original((4 << 20) + 1001, '\0');
    for (size_t i = 0; i < original.size(); ++i) original[i] = char('a' + i % 23);
    sb.write("growing", original);
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, f.c_str(), IN_OPEN), 0);
    std::thread grower([&] {
        pollfd p{watch, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1) return;
        const int fd = open(f.c_str(), O_WRONLY | O_APPEND);
        const std::string more(10000, 'G');
        if (fd >= 0 && write(fd, more.data(), more.size()) < 0) perror("append");
        if (fd >= 0) close(fd);
    });
    const int added = cpiowrite_add_file(ctx, "growing", 0100644, f.c_str());
    grower.join();
    close(watch);
    ASSERT_EQ(added, 1) << strerror(errno);
    ASSERT_EQ(sb.read("growing").size(), original.size() + 10000) << "the file did not grow";
    ASSERT_EQ(cpiowrite_add_data(ctx, "after", 0100644, 0, 0, "end", 3), 1);
    const auto got = entries_of(finish());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].filesize, original.size());
    EXPECT_TRUE(got[0].data == original);
    EXPECT_EQ(got[1].name, "after");
    EXPECT_EQ(got[1].data, "end");
}

// A kernel attribute file reports 4096 bytes and holds a few: the copy runs
// dry after the header was written. The add fails, and so does finish.
TEST_F(Writer, AFileThatEndsEarlyLeavesAPartialEntryThatFinishReports) {
    const char *attr = "/sys/devices/system/cpu/online";
    struct stat st {};
    if (stat(attr, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= off_t(Sandbox::slurp(attr).size()))
        GTEST_SKIP() << attr << " does not hold less than its size";
    errno = 0;
    EXPECT_EQ(cpiowrite_add_file(ctx, "online", 0100444, attr), 0);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(cpiowrite_get_ino(ctx), 0x100001);
    cpiowrite_ctx *c = ctx;
    ctx = nullptr;
    errno = 0;
    EXPECT_EQ(cpiowrite_finish(c), 0);
    EXPECT_EQ(errno, EIO);
}

// ---------------------------------------------------------------------------
// Failures of the stream. /dev/full is only ever finished: cpiowrite_abort
// would remove the path.

struct FullCase {
    const char *label;
    std::function<void(cpiowrite_ctx *)> adds;
};

void PrintTo(const FullCase &c, std::ostream *os) { *os << c.label; }

struct DeviceFull : ::testing::TestWithParam<FullCase> {};

TEST_P(DeviceFull, FinishReportsENOSPC) {
    if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    cpiowrite_ctx *ctx = cpiowrite_start("/dev/full");
    ASSERT_NE(ctx, nullptr) << strerror(errno);
    GetParam().adds(ctx);
    errno = 0;
    EXPECT_EQ(cpiowrite_finish(ctx), 0);
    EXPECT_EQ(errno, ENOSPC);
}

INSTANTIATE_TEST_SUITE_P(
    Writer, DeviceFull,
    ::testing::Values(FullCase{"trailer_only", [](cpiowrite_ctx *) {}},
                      FullCase{"small_entries",
                               [](cpiowrite_ctx *c) {
                                   EXPECT_EQ(cpiowrite_add_data(c, "a", 0100644, 0, 0, "abc", 3), 1);  // buffered
                               }},
                      FullCase{"an_entry_larger_than_the_buffer",
                               [](cpiowrite_ctx *c) {
                                   const std::string big(1 << 20, 'b');
                                   errno = 0;
                                   EXPECT_EQ(cpiowrite_add_data(c, "big", 0100644, 0, 0, big.data(), 1 << 20), 0);
                                   EXPECT_EQ(errno, ENOSPC);
                                   EXPECT_EQ(cpiowrite_add_data(c, "next", 0100644, 0, 0, "n", 1), 1);
                               }},
                      FullCase{"link_counts",
                               [](cpiowrite_ctx *c) {
                                   EXPECT_EQ(cpiowrite_add_hardlink(c, "l1", 0100644, 0, 0, 0, 1, 9), 1);
                                   EXPECT_EQ(cpiowrite_add_hardlink(c, "l2", 0100644, 0, 0, 0, 1, 9), 1);
                               }}),
    [](const auto &info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Abort

TEST_F(Writer, AbortRemovesTheArchive) {
    ASSERT_EQ(cpiowrite_add_data(ctx, "a", 0100644, 0, 0, std::string(10000, 'a').data(), 10000), 1);
    ASSERT_EQ(cpiowrite_add_hardlink(ctx, "l", 0100644, 0, 0, 0, 1, 9), 1);
    ASSERT_TRUE(exists(path));
    cpiowrite_abort(ctx);
    ctx = nullptr;
    EXPECT_FALSE(exists(path));
}

// A path that names something other than a regular file is not the
// writer's to remove.
TEST(WriterAbort, LeavesAFifoInPlace) {
    Sandbox sb;
    const std::string fifo = sb.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // so that opening for writing does not wait
    ASSERT_GE(reader, 0);
    cpiowrite_ctx *ctx = cpiowrite_start(fifo.c_str());
    ASSERT_NE(ctx, nullptr) << strerror(errno);
    cpiowrite_abort(ctx);
    close(reader);
    struct stat st {};
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

}  // namespace
