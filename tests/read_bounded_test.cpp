// The bounded in-memory reader: what cpioread_init_bounded promises beyond
// cpioread_init. Images live in exact-size heap blocks, so that
// AddressSanitizer and valgrind see any read past them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "encoders.h"
#include "heap_bytes.h"
#include "viredovozu.h"

using namespace testenc;

namespace {

class ReadBounded : public ::testing::TestWithParam<Fmt> {};

std::vector<cpio_simple_entity> walk(cpioread_ctx *ctx) {
    std::vector<cpio_simple_entity> out;
    cpio_simple_entity e;
    for (auto *p = cpioread_first(ctx, &e); p != nullptr; p = cpioread_next(ctx, &e)) out.push_back(e);
    return out;
}

TEST_P(ReadBounded, AWellFormedImageReadsAsWithoutTheBound) {
    std::vector<Entry> padding;
    for (int i = 1; i <= 6; ++i) padding.push_back(file(std::string(i, 'p'), std::string(i + 1, 'd')));
    const std::vector<std::string> images = {
        encode(GetParam(), {file("a.txt", "alpha"), file("dir/b", ""), file("c", "gamma ray")}),
        encode(GetParam(), {}),
        encode(GetParam(), padding) + std::string(512, '\0'),
        encode(GetParam(), {file("x", "1")}, false) + "not a header",
    };
    for (const std::string &s : images) {
        HeapBytes image(s);
        cpioread_ctx plain{}, bounded{};
        std::memset(&plain, 0x5A, sizeof plain);
        ASSERT_EQ(cpioread_init(&plain, image.get()), &plain);
        EXPECT_EQ(plain.end, nullptr);
        ASSERT_EQ(cpioread_init_bounded(&bounded, image.get(), image.size()), &bounded);
        EXPECT_EQ(bounded.ops, plain.ops);
        EXPECT_EQ(bounded.image, plain.image);
        EXPECT_EQ(bounded.end, static_cast<const unsigned char *>(image.get()) + image.size());
        EXPECT_EQ(bounded.count, plain.count);
        const auto a = walk(&plain), b = walk(&bounded);
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].name, b[i].name);
            EXPECT_EQ(a[i].data, b[i].data);
            EXPECT_EQ(a[i].filesize, b[i].filesize);
            cpio_simple_entity f;
            ASSERT_EQ(cpioread_find(&bounded, &f, a[i].name), &f) << a[i].name;
        }
        cpio_simple_entity f;
        EXPECT_EQ(cpioread_find(&bounded, &f, "absent"), nullptr);
    }
}

TEST_P(ReadBounded, ImagesShorterThanSixBytesAreDetectedWithoutReadingPastThem) {
    const std::string archive = encode(GetParam(), {file("a", "b")});
    const bool bin = GetParam() == Fmt::bin_le || GetParam() == Fmt::bin_be;
    for (size_t n = 0; n < 6; ++n) {
        HeapBytes image(archive.substr(0, n));
        cpioread_ctx ctx;
        cpio_simple_entity e;
        if (bin && n >= 2) {
            // A bin magic, and no room for a header: no entry.
            ASSERT_EQ(cpioread_init_bounded(&ctx, image.get(), n), &ctx) << n;
            EXPECT_EQ(ctx.ops, &cpio_ops__bin);
            EXPECT_EQ(ctx.count, 0u);
            EXPECT_EQ(cpioread_first(&ctx, &e), nullptr);
        } else {
            EXPECT_EQ(cpioread_init_bounded(&ctx, image.get(), n), nullptr) << n;
            EXPECT_EQ(ctx.ops, nullptr);
            EXPECT_EQ(ctx.image, nullptr);
            EXPECT_EQ(ctx.end, nullptr);
            EXPECT_EQ(ctx.count, 0u);
        }
    }
}

// The first entry, then a header whose name ends exactly at the image's
// end: no data, no padding, no trailer.
std::string ending_in_a_name(Fmt f, const std::string &name, uint32_t filesize) {
    Entry last = file(name, "");
    last.filesize = filesize;
    std::string tail = encode_entry(f, last);
    tail.resize(header_len(f) + name.size() + 1);
    return encode_entry(f, file("a", "x")) + tail;
}

TEST_P(ReadBounded, ANameThatEndsExactlyAtTheImagesEnd) {
    const Fmt f = GetParam();
    // Header and name of 110 + 6, 76 + 6 and 26 + 6 bytes need no padding:
    // the empty data starts at the image's end. The name is shorter than
    // the trailer test, which must not read past the end either.
    HeapBytes image(ending_in_a_name(f, "lastx", 0));
    cpioread_ctx ctx;
    ASSERT_EQ(cpioread_init_bounded(&ctx, image.get(), image.size()), &ctx);
    EXPECT_EQ(ctx.count, 2u);
    cpio_simple_entity e;
    ASSERT_EQ(cpioread_find(&ctx, &e, "lastx"), &e);
    EXPECT_EQ(e.filesize, 0u);
    EXPECT_EQ(e.name + e.namesize, image.data() + image.size());
    EXPECT_EQ(reinterpret_cast<const char *>(e.data), image.data() + image.size());
    const auto entries = walk(&ctx);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_STREQ(entries[1].name, "lastx");

    // A name of 5 bytes: odc has no padding; newc and bin would start the
    // data after padding that the image lacks, so the entry is not inside.
    HeapBytes unpadded(ending_in_a_name(f, "last", 0));
    ASSERT_EQ(cpioread_init_bounded(&ctx, unpadded.get(), unpadded.size()), &ctx);
    EXPECT_EQ(ctx.count, f == Fmt::odc ? 2u : 1u);

    // The same entry claiming one byte of data that the image lacks.
    HeapBytes cut(ending_in_a_name(f, "lastx", 1));
    ASSERT_EQ(cpioread_init_bounded(&ctx, cut.get(), cut.size()), &ctx);
    EXPECT_EQ(ctx.count, 1u);
    EXPECT_EQ(cpioread_find(&ctx, &e, "lastx"), nullptr);
    ASSERT_EQ(cpioread_find(&ctx, &e, "a"), &e);
    EXPECT_EQ(walk(&ctx).size(), 1u);
}

TEST_P(ReadBounded, AnImageWithoutTrailerSimplyEndsTheWalk) {
    const std::string archive = encode(GetParam(), {file("one", "1"), file("two", "22")}, false);
    HeapBytes image(archive);
    cpioread_ctx ctx;
    ASSERT_EQ(cpioread_init_bounded(&ctx, image.get(), image.size()), &ctx);
    EXPECT_EQ(ctx.count, 2u);
    EXPECT_EQ(walk(&ctx).size(), 2u);
    EXPECT_EQ(ctx.current, nullptr);
}

TEST_P(ReadBounded, ARecordsNameIsAStringInsideTheImage) {
    // A name whose last byte is not its NUL would send a caller reading it
    // as a string past the entry: the bounded reader refuses the entry.
    Entry odd = file("abc", "data");
    odd.no_nul = true;
    odd.namesize = 3;
    HeapBytes image(encode(GetParam(), {file("ok", "1"), odd}));
    cpioread_ctx ctx;
    ASSERT_EQ(cpioread_init_bounded(&ctx, image.get(), image.size()), &ctx);
    EXPECT_EQ(ctx.count, 1u);
}

TEST(ReadBoundedContext, ANullImageFailsAndPlainInitClearsTheBound) {
    cpioread_ctx ctx;
    std::memset(&ctx, 0x5A, sizeof ctx);
    EXPECT_EQ(cpioread_init_bounded(&ctx, nullptr, 0), nullptr);
    EXPECT_EQ(ctx.ops, nullptr);
    EXPECT_EQ(ctx.image, nullptr);
    EXPECT_EQ(ctx.end, nullptr);
    EXPECT_EQ(ctx.count, 0u);
    EXPECT_EQ(ctx.current, nullptr);

    HeapBytes image(encode(Fmt::newc, {file("a", "b")}));
    ASSERT_EQ(cpioread_init_bounded(&ctx, image.get(), image.size()), &ctx);
    EXPECT_NE(ctx.end, nullptr);
    ASSERT_EQ(cpioread_init(&ctx, image.get()), &ctx);
    EXPECT_EQ(ctx.end, nullptr);
    EXPECT_EQ(ctx.count, 1u);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, ReadBounded, ::testing::ValuesIn(all_formats),
                         [](const auto &info) { return std::string(fmt_name(info.param)); });

}  // namespace
