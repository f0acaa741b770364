// The format layer: detection, digit conversion, layouts and the nine
// operations of each table.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "encoders.h"
#include "heap_bytes.h"
#include "viredovozu.h"

using namespace testenc;

namespace {

const cpio_ops *ops_of(Fmt f) {
    return f == Fmt::newc ? &cpio_ops__newc : f == Fmt::odc ? &cpio_ops__odc : &cpio_ops__bin;
}

TEST(Detection, MagicsChooseTheTable) {
    struct Case {
        std::string image;
        const cpio_ops *want;
    } cases[] = {
        {"070701", &cpio_ops__newc},
        {"070707", &cpio_ops__odc},
        {"\xC7\x71....", &cpio_ops__bin},
        {"\x71\xC7....", &cpio_ops__bin},
        {"070702", nullptr},
        {"07070X", nullptr},
        {"hello!", nullptr},
        {"\x71\x71....", nullptr},
        {"07....", nullptr},
    };
    for (const Case &c : cases) {
        HeapBytes img(c.image);
        EXPECT_EQ(cpio_find_ops_for_img__(img.get()), c.want) << c.image;
    }
}

TEST(Detection, ProbesStopAtTheFirstDifferingByte) {
    // Each image is exactly as long as the probes may read; ASan catches
    // a probe that goes on past the first difference.
    for (const char *image : {"1", "0x", "07071", "070X"}) {
        HeapBytes img(image);
        EXPECT_EQ(cpio_find_ops_for_img__(img.get()), nullptr) << image;
    }
}

TEST(Detection, SupportedFormatsInDetectionOrder) {
    const char *const *list = skarnel_supported_formats();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list[0], "newc");
    EXPECT_STREQ(list[1], "odc");
    EXPECT_STREQ(list[2], "bin");
    EXPECT_EQ(list[3], nullptr);
    EXPECT_EQ(skarnel_supported_formats(), list);
}

// A newc header whose mode field is the eight raw bytes given.
uint32_t newc_mode_of(const std::string &field) {
    std::string h = encode_entry(Fmt::newc, file("x", ""));
    h.replace(14, 8, field);
    cpio_simple_entity e{};
    cpio_ops__newc.fill_simple_entity(h.data(), &e);
    return e.mode;
}

TEST(Digits, HexConvertsEveryByteWithoutValidation) {
    struct Case {
        std::string field;
        uint32_t want;
    } cases[] = {
        {"000081A4", 33188},
        {"000081a4", 33188},
        {"0000000B", 11},
        {"0000000b", 11},
        {"00000010", 16},
        {"0000001G", 39},
        {"       1", 4008636161u},
        {"FFFFFFFF", 4294967295u},
        {"fFfFfFfF", 4294967295u},
        {"0000000g", 55},
        {"0000000+", uint32_t(-5)},
        {"0000000-", uint32_t(-3)},
        {std::string("0000000\0", 8), uint32_t(-48)},
        {"0000000\xFF", uint32_t(-49)},
        {"0000000\x80", uint32_t(0x80 - 304)},
    };
    for (const Case &c : cases) EXPECT_EQ(newc_mode_of(c.field), c.want) << c.field;
}

// An odc header with namesize and filesize fields given as raw text.
cpio_extended_entity odc_fields(const std::string &namesize, const std::string &filesize) {
    std::string h = encode_entry(Fmt::odc, file("x", ""));
    h.replace(59, 6, namesize);
    h.replace(65, 11, filesize);
    cpio_extended_entity e{};
    cpio_ops__odc.fill_extended_entity(h.data(), &e, 0);
    return e;
}

TEST(Digits, OctalConvertsEveryByteWithoutValidation) {
    EXPECT_EQ(odc_fields("000006", "00000000000").namesize, 6u);
    EXPECT_EQ(odc_fields("000018", "00000000000").namesize, 16u);
    EXPECT_EQ(odc_fields("   006", "00000000000").namesize, 4294369286u);
    EXPECT_EQ(odc_fields("000002", "40000000000").filesize, 0u);
    EXPECT_EQ(odc_fields("000002", "77777777777").filesize, 4294967295u);
    EXPECT_EQ(odc_fields("000002", "0000000000\xFF").filesize, uint32_t(-49));
}

TEST(Layout, NewcPadsHeaderAndNameToFour) {
    struct Case {
        uint32_t namesize, filesize, data_offs, entry_size;
    } cases[] = {
        {0, 0, 112, 112},  {1, 0, 112, 112},  {2, 0, 112, 112},           {3, 0, 116, 116}, {6, 0, 116, 116},
        {11, 0, 124, 124}, {11, 5, 124, 132}, {11, 0xFFFFFFFF, 124, 124}, {7, 1, 120, 124},
    };
    for (const Case &c : cases) {
        Entry e = file("n", "");
        e.namesize = c.namesize;
        e.filesize = c.filesize;
        const std::string h = encode_entry(Fmt::newc, e);
        EXPECT_EQ(cpio_ops__newc.get_data_offs(h.data()), c.data_offs) << c.namesize;
        EXPECT_EQ(cpio_ops__newc.get_entry_size(h.data()), c.entry_size) << c.namesize << "/" << c.filesize;
    }
}

TEST(Layout, OdcHasNoPadding) {
    Entry e = file("abcd", "xyz");
    const std::string h = encode_entry(Fmt::odc, e);
    EXPECT_EQ(cpio_ops__odc.get_data_offs(h.data()), 76u + 5);
    EXPECT_EQ(cpio_ops__odc.get_entry_size(h.data()), 76u + 5 + 3);
    e.data.clear();
    const std::string empty = encode_entry(Fmt::odc, e);
    EXPECT_EQ(cpio_ops__odc.get_entry_size(empty.data()), cpio_ops__odc.get_data_offs(empty.data()));
}

TEST(Layout, BinPadsNameAndDataToTwoInBothByteOrders) {
    for (Fmt f : {Fmt::bin_le, Fmt::bin_be}) {
        struct Case {
            uint32_t namesize, filesize, data_offs, entry_size;
        } cases[] = {
            {5, 0, 32, 32}, {6, 0, 32, 32}, {6, 3, 32, 36}, {6, 0xFFFFFFFF, 32, 32}, {65535, 1, 26 + 65536, 26 + 65538},
        };
        for (const Case &c : cases) {
            Entry e = file("n", "");
            e.namesize = c.namesize;
            e.filesize = c.filesize;
            const std::string h = encode_entry(f, e);
            EXPECT_EQ(cpio_ops__bin.get_data_offs(h.data()), c.data_offs) << fmt_name(f);
            EXPECT_EQ(cpio_ops__bin.get_entry_size(h.data()), c.entry_size) << fmt_name(f);
        }
    }
}

TEST(Layout, BinReadsWordsInTheHeadersOwnOrder) {
    // mtime 1654091024 is 0x6297106D: bytes 97 62 10 6D little-endian,
    // 62 97 6D 10 big-endian.
    std::string le = encode_entry(Fmt::bin_le, file("a", ""));
    std::string be = encode_entry(Fmt::bin_be, file("a", ""));
    EXPECT_EQ(le.substr(16, 4), std::string("\x97\x62\x10\x6D", 4));
    EXPECT_EQ(be.substr(16, 4), std::string("\x62\x97\x6D\x10", 4));
    for (const std::string &h : {le, be}) {
        cpio_simple_entity e{};
        cpio_ops__bin.fill_simple_entity(h.data(), &e);
        EXPECT_EQ(e.mtime, 1654091024u);
    }
    // filesize as the words 0x0001 and 0x0003.
    le.replace(22, 4, std::string("\x01\x00\x03\x00", 4));
    be.replace(22, 4, std::string("\x00\x01\x00\x03", 4));
    for (const std::string &h : {le, be}) {
        cpio_simple_entity e{};
        cpio_ops__bin.fill_simple_entity(h.data(), &e);
        EXPECT_EQ(e.filesize, 65539u);
    }
}

class Ops : public ::testing::TestWithParam<Fmt> {
   protected:
    const cpio_ops &ops() const { return *ops_of(GetParam()); }
    size_t hlen() const { return header_len(GetParam()); }
};

TEST_P(Ops, FillsBothRecordsFromTheHeader) {
    Entry in = file("dir/name", "hello");
    in.mode = 0100755;
    in.uid = 501;
    in.gid = 20;
    in.nlink = 2;
    in.ino = 1234;
    in.mtime = 1700000000;
    if (GetParam() == Fmt::newc) in.devmajor = 8, in.devminor = 1, in.rdevmajor = 4, in.rdevminor = 5;
    const std::string h = encode_entry(GetParam(), in);

    cpio_simple_entity s{};
    ops().fill_simple_entity(h.data(), &s);
    EXPECT_EQ(s.name, h.data() + hlen());
    EXPECT_STREQ(s.name, "dir/name");
    EXPECT_EQ(s.namesize, 9u);
    EXPECT_EQ(s.mode, 0100755u);
    EXPECT_EQ(s.mtime, 1700000000u);
    EXPECT_EQ(s.filesize, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(s.data), 5), "hello");
    EXPECT_EQ(ops().get_name(h.data()), s.name);
    EXPECT_EQ(reinterpret_cast<const char *>(s.data), h.data() + ops().get_data_offs(h.data()));

    char buf[16] = "old";
    cpio_extended_entity x{};
    x.name_buf = buf;
    x.name_buf_size = sizeof buf;
    ASSERT_EQ(ops().fill_extended_entity(h.data(), &x, 1000), &x);
    EXPECT_STREQ(buf, "dir/name");
    EXPECT_EQ(x.hdr_offset, 1000u);
    EXPECT_EQ(x.data_offset, 1000u + ops().get_data_offs(h.data()));
    EXPECT_EQ(x.next_offset, 1000u + ops().get_entry_size(h.data()));
    EXPECT_EQ(x.namesize, 9u);
    EXPECT_EQ(x.filesize, 5u);
    EXPECT_EQ(x.mode, 0100755u);
    EXPECT_EQ(x.uid, 501u);
    EXPECT_EQ(x.gid, 20u);
    EXPECT_EQ(x.nlink, 2u);
    EXPECT_EQ(x.ino, 1234u);
    EXPECT_EQ(x.mtime, 1700000000u);
    const bool newc = GetParam() == Fmt::newc;
    EXPECT_EQ(x.devmajor, newc ? 8u : 0u);
    EXPECT_EQ(x.devminor, newc ? 1u : 0u);
    EXPECT_EQ(x.rdevmajor, newc ? 4u : 0u);
    EXPECT_EQ(x.rdevminor, newc ? 5u : 0u);
    EXPECT_EQ(x.magic, 0u);
    EXPECT_EQ(x.name_buf, buf);
    EXPECT_EQ(x.name_buf_size, sizeof buf);
}

TEST_P(Ops, NameBufferOfExactlyNamesizeSufficesAndOneLessIsRefused) {
    const std::string h = encode_entry(GetParam(), file("abcdefg", "data"));  // namesize 8
    char buf[8];
    std::memset(buf, 'z', sizeof buf);
    cpio_extended_entity x{};
    x.name_buf = buf;
    x.name_buf_size = 7;
    EXPECT_EQ(ops().fill_extended_entity(h.data(), &x, 4), nullptr);
    EXPECT_EQ(std::string(buf, 8), "zzzzzzzz");  // untouched
    EXPECT_EQ(x.namesize, 8u);                   // yet the numbers are the entry's
    EXPECT_EQ(x.filesize, 4u);
    EXPECT_EQ(x.hdr_offset, 4u);
    EXPECT_EQ(x.next_offset, 4u + ops().get_entry_size(h.data()));
    x.name_buf_size = 8;
    EXPECT_EQ(ops().fill_extended_entity(h.data(), &x, 4), &x);
    EXPECT_STREQ(buf, "abcdefg");
    x.name_buf = nullptr;
    x.name_buf_size = 0;
    EXPECT_EQ(ops().fill_extended_entity(h.data(), &x, 8), &x);
    EXPECT_EQ(x.hdr_offset, 8u);
}

TEST_P(Ops, NameWithoutNulIsCutWithinItsSize) {
    // Header and exactly namesize name bytes, none of them NUL: the copy
    // reads no further and terminates inside the buffer.
    Entry e = file("abcd", "");
    e.no_nul = true;
    e.namesize = 4;
    const std::string h = encode_entry(GetParam(), e).substr(0, hlen() + 4);
    HeapBytes img(h);
    HeapBytes buf(std::string(4, 'z'));
    cpio_extended_entity x{};
    x.name_buf = buf.data();
    x.name_buf_size = 4;
    ASSERT_EQ(ops().fill_extended_entity(img.get(), &x, 0), &x);
    EXPECT_STREQ(buf.data(), "abc");

    // namesize 0: the empty name, or refusal without room for a NUL.
    Entry z = file("", "");
    z.namesize = 0;
    const std::string hz = encode_entry(GetParam(), z).substr(0, hlen());
    HeapBytes imgz(hz);
    x.name_buf_size = 1;
    ASSERT_EQ(ops().fill_extended_entity(imgz.get(), &x, 0), &x);
    EXPECT_STREQ(buf.data(), "");
    x.name_buf_size = 0;
    EXPECT_EQ(ops().fill_extended_entity(imgz.get(), &x, 0), nullptr);
}

TEST_P(Ops, TrailerTestReadsTenBytesOfTheName) {
    for (const char *name : {"TRAILER!!!", "TRAILER!!!X"}) {
        const std::string full = encode_entry(GetParam(), file(name, ""));
        HeapBytes img(full.substr(0, hlen() + 10));
        EXPECT_EQ(ops().is_trailer(img.get()), 1) << name;
    }
    for (const char *name : {"TRAILER!!", "trailer!!!", "TRAILER!!?"}) {
        const std::string full = encode_entry(GetParam(), file(name, ""));
        EXPECT_EQ(ops().is_trailer(full.data()), 0) << name;
    }
}

TEST_P(Ops, NameEqualComparesOnlyWhenTheLengthIsNamesize) {
    const std::string full = encode_entry(GetParam(), file("abc", ""));
    HeapBytes hdr_only(full.substr(0, hlen()));
    // Wrong length: no byte of either name is read (the header holds none,
    // and the sought name is null).
    EXPECT_EQ(ops().name_equal(hdr_only.get(), nullptr, 3), 0);
    EXPECT_EQ(ops().name_equal(hdr_only.get(), nullptr, 5), 0);
    EXPECT_EQ(ops().name_equal(full.data(), "abc", 4), 1);
    EXPECT_EQ(ops().name_equal(full.data(), "abd", 4), 0);
    EXPECT_EQ(ops().name_equal(full.data(), "ABC", 4), 0);
}

TEST_P(Ops, ValidHeaderIsTheMagicAlone) {
    const std::string h = encode_entry(GetParam(), file("a", ""));
    EXPECT_EQ(ops().is_valid_hdr(h.data()), 1);
    EXPECT_EQ(ops().probe(h.data()), 1);
    for (Fmt other : all_formats) {
        if (ops_of(other) == &ops()) continue;
        const std::string o = encode_entry(other, file("a", ""));
        EXPECT_EQ(ops().is_valid_hdr(o.data()), 0) << fmt_name(other);
    }
}

TEST_P(Ops, OffsetsCarryIntoTheHighHalf) {
    Entry e = file("TRAILER!!!", std::string(80, 'd'));  // namesize 11, filesize 80
    const std::string h = encode_entry(GetParam(), e);
    cpio_extended_entity x{};
    const uint64_t at = (uint64_t{1} << 32) - 64;
    ASSERT_EQ(ops().fill_extended_entity(h.data(), &x, at), &x);
    const uint64_t four_g = uint64_t{1} << 32;
    switch (GetParam()) {
        case Fmt::newc:
            EXPECT_EQ(x.data_offset, four_g + 60);
            EXPECT_EQ(x.next_offset, four_g + 140);
            break;
        case Fmt::odc:
            EXPECT_EQ(x.data_offset, four_g + 23);
            EXPECT_EQ(x.next_offset, four_g + 103);
            break;
        default:
            EXPECT_EQ(x.data_offset, four_g - 64 + 38);
            EXPECT_EQ(x.next_offset, four_g - 64 + 118);
    }
}

TEST_P(Ops, PaddingOfAHugeFilesizeWrapsToZero) {
    if (GetParam() == Fmt::odc) GTEST_SKIP() << "odc has no padding";
    Entry e = file("n", "");
    e.filesize = 0xFFFFFFFF;
    const std::string h = encode_entry(GetParam(), e);
    cpio_extended_entity x{};
    ops().fill_extended_entity(h.data(), &x, 100);
    EXPECT_EQ(x.next_offset, x.data_offset);
    EXPECT_EQ(ops().get_entry_size(h.data()), ops().get_data_offs(h.data()));
}

INSTANTIATE_TEST_SUITE_P(AllFormats, Ops, ::testing::ValuesIn(all_formats),
                         [](const auto &info) { return std::string(fmt_name(info.param)); });

}  // namespace

// The fast digit paths give exactly the digit loop's value, plain digits
// or not.
#include "formats/digits.h"

namespace {

TEST(Digits, FastPathsAgreeWithTheDigitLoop) {
    static const char odd_bytes[] = "0123456789abcdefABCDEF0127 +-gG\x80\xFF\x7F";
    const std::string alphabet = std::string(odd_bytes, sizeof odd_bytes - 1) + std::string(1, '\0');
    uint64_t x = 88172645463325252ull;
    auto next = [&] { return x ^= x << 13, x ^= x >> 7, x ^= x << 17; };
    for (int round = 0; round < 200000; ++round) {
        unsigned char field[16];
        // Mostly plain digits, with an odd byte now and then.
        const bool odd = round % 4 == 0;
        for (unsigned char &b : field)
            b = static_cast<unsigned char>(odd ? alphabet[next() % alphabet.size()] : alphabet[next() % 22]);
        ASSERT_EQ(viredovozu::parse_hex8(field), viredovozu::parse_digits<16>(field, 8));
        for (uint32_t width : {6u, 11u}) {
            unsigned char oct[16];
            for (unsigned char &b : oct) b = static_cast<unsigned char>('0' + next() % 8);
            if (odd) oct[16 - width + next() % width] = field[0];
            ASSERT_EQ(viredovozu::parse_octal(oct + 16 - width, width),
                      viredovozu::parse_digits<8>(oct + 16 - width, width));
        }
    }
}

}  // namespace

namespace {

// Whole newc headers, plain or with one odd byte anywhere among the
// fields: the records hold the digit loop's value of every field.
TEST(Digits, NewcHeadersFillAsTheDigitLoopReadsThem) {
    const std::string plain = "0123456789abcdefABCDEF";
    const std::string odd = std::string("G g+-\x80\xFF\x7F", 9) + std::string(1, '\0');
    uint64_t x = 0x243F6A8885A308D3ull;
    auto next = [&] { return x ^= x << 13, x ^= x >> 7, x ^= x << 17; };
    for (int round = 0; round < 20000; ++round) {
        std::string h = encode_entry(Fmt::newc, file("name", ""));
        for (size_t i = 6; i < 110; ++i) h[i] = plain[next() % plain.size()];
        if (round % 2) h[6 + next() % 96] = odd[next() % odd.size()];
        h.replace(94, 8, "00000005");  // namesize 5: "name" and its NUL follow
        const auto *b = reinterpret_cast<const unsigned char *>(h.data());
        auto at = [&](size_t off) { return viredovozu::parse_digits<16>(b + off, 8); };
        cpio_extended_entity x_ent{};
        cpio_simple_entity s_ent{};
        cpio_ops__newc.fill_extended_entity(h.data(), &x_ent, 0);
        cpio_ops__newc.fill_simple_entity(h.data(), &s_ent);
        ASSERT_EQ(x_ent.ino, at(6));
        ASSERT_EQ(x_ent.mode, at(14));
        ASSERT_EQ(x_ent.uid, at(22));
        ASSERT_EQ(x_ent.gid, at(30));
        ASSERT_EQ(x_ent.nlink, at(38));
        ASSERT_EQ(x_ent.mtime, at(46));
        ASSERT_EQ(x_ent.filesize, at(54));
        ASSERT_EQ(x_ent.devmajor, at(62));
        ASSERT_EQ(x_ent.devminor, at(70));
        ASSERT_EQ(x_ent.rdevmajor, at(78));
        ASSERT_EQ(x_ent.rdevminor, at(86));
        ASSERT_EQ(x_ent.namesize, at(94));
        ASSERT_EQ(s_ent.mode, at(14));
        ASSERT_EQ(s_ent.mtime, at(46));
        ASSERT_EQ(s_ent.filesize, at(54));
    }
}

}  // namespace

namespace {

// The same for odc: plain octal headers, or one odd byte anywhere.
TEST(Digits, OdcHeadersFillAsTheDigitLoopReadsThem) {
    const std::string odd = std::string("89 +-\x80\xFF\x7F", 8) + std::string(1, '\0');
    uint64_t x = 0x13198A2E03707344ull;
    auto next = [&] { return x ^= x << 13, x ^= x >> 7, x ^= x << 17; };
    for (int round = 0; round < 20000; ++round) {
        std::string h = encode_entry(Fmt::odc, file("name", ""));
        for (size_t i = 6; i < 76; ++i) h[i] = char('0' + next() % 8);
        if (round % 2) h[6 + next() % 70] = odd[next() % odd.size()];
        h.replace(59, 6, "000005");  // namesize 5: "name" and its NUL follow
        const auto *b = reinterpret_cast<const unsigned char *>(h.data());
        auto at = [&](size_t off, uint32_t width) { return viredovozu::parse_digits<8>(b + off, width); };
        cpio_extended_entity x_ent{};
        cpio_simple_entity s_ent{};
        cpio_ops__odc.fill_extended_entity(h.data(), &x_ent, 0);
        cpio_ops__odc.fill_simple_entity(h.data(), &s_ent);
        ASSERT_EQ(x_ent.ino, at(12, 6));
        ASSERT_EQ(x_ent.mode, at(18, 6));
        ASSERT_EQ(x_ent.uid, at(24, 6));
        ASSERT_EQ(x_ent.gid, at(30, 6));
        ASSERT_EQ(x_ent.nlink, at(36, 6));
        ASSERT_EQ(x_ent.mtime, at(48, 11));
        ASSERT_EQ(x_ent.namesize, at(59, 6));
        ASSERT_EQ(x_ent.filesize, at(65, 11));
        ASSERT_EQ(s_ent.mode, at(18, 6));
        ASSERT_EQ(s_ent.mtime, at(48, 11));
        ASSERT_EQ(s_ent.filesize, at(65, 11));
        ASSERT_EQ(cpio_ops__odc.get_entry_size(h.data()), 76 + 5 + at(65, 11));
    }
}

}  // namespace
