// The in-memory reader over archives of every format.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "encoders.h"
#include "viredovozu.h"

using namespace testenc;

namespace {

class Read : public ::testing::TestWithParam<Fmt> {
   protected:
    std::string image;
    cpioread_ctx ctx{};
    cpio_simple_entity e{};

    cpioread_ctx *init(const std::vector<Entry> &entries, bool with_trailer = true, const std::string &tail = "") {
        image = encode(GetParam(), entries, with_trailer) + tail;
        return cpioread_init(&ctx, image.data());
    }
    std::string name() const { return e.name; }
    std::string data() const { return std::string(reinterpret_cast<const char *>(e.data), e.filesize); }
};

const std::vector<Entry> three = {file("a.txt", "alpha"), file("dir/b", ""), file("c", "gamma ray")};

TEST_P(Read, WalksEveryEntryOnceThenStops) {
    ASSERT_EQ(init(three), &ctx);
    EXPECT_EQ(ctx.count, 3u);
    EXPECT_EQ(ctx.current, nullptr);
    EXPECT_EQ(cpioread_next(&ctx, &e), nullptr) << "no walk started";

    ASSERT_EQ(cpioread_first(&ctx, &e), &e);
    EXPECT_EQ(name(), "a.txt");
    EXPECT_EQ(data(), "alpha");
    ASSERT_EQ(cpioread_next(&ctx, &e), &e);
    EXPECT_EQ(name(), "dir/b");
    ASSERT_EQ(cpioread_next(&ctx, &e), &e);
    EXPECT_EQ(name(), "c");
    EXPECT_EQ(data(), "gamma ray");
    EXPECT_EQ(e.mode, 0100644u);
    EXPECT_EQ(e.mtime, 1654091024u);
    EXPECT_EQ(cpioread_next(&ctx, &e), nullptr);
    EXPECT_EQ(ctx.current, nullptr);
    EXPECT_EQ(cpioread_next(&ctx, &e), nullptr);

    ASSERT_EQ(cpioread_first(&ctx, &e), &e);
    EXPECT_EQ(name(), "a.txt");
}

TEST_P(Read, EmptyDataPointsAtTheNextHeader) {
    ASSERT_EQ(init(three), &ctx);
    ASSERT_TRUE(cpioread_find(&ctx, &e, "dir/b"));
    const unsigned char *empty_data = e.data;
    ASSERT_TRUE(cpioread_find(&ctx, &e, "c"));
    EXPECT_EQ(reinterpret_cast<const char *>(empty_data), e.name - header_len(GetParam()));
}

TEST_P(Read, TrailerOnlyHasNoEntries) {
    ASSERT_EQ(init({}), &ctx);
    EXPECT_EQ(ctx.count, 0u);
    EXPECT_EQ(cpioread_first(&ctx, &e), nullptr);
    EXPECT_EQ(cpioread_find(&ctx, &e, "TRAILER!!!"), nullptr);
}

TEST_P(Read, BadMagicAfterAnEntryEndsCountingAndWalking) {
    ASSERT_EQ(init({file("only", "1")}, false, "this is not a header, just text"), &ctx);
    EXPECT_EQ(ctx.count, 1u);
    ASSERT_EQ(cpioread_first(&ctx, &e), &e);
    EXPECT_EQ(cpioread_next(&ctx, &e), nullptr);
    EXPECT_EQ(cpioread_find(&ctx, &e, "only"), &e);
}

TEST_P(Read, FindMatchesWholeNamesOnlyAndDoesNotMoveTheWalk) {
    ASSERT_EQ(init({file("dup", "first"), file("dir/bbb", ""), file("dup", "second"), file("last", "L")}), &ctx);
    for (const char *miss : {"TRAILER!!!", "du", "dupe", "DUP", "", "dir"})
        EXPECT_EQ(cpioread_find(&ctx, &e, miss), nullptr) << miss;
    EXPECT_EQ(cpioread_find(&ctx, &e, nullptr), nullptr);
    ASSERT_EQ(cpioread_find(&ctx, &e, "dup"), &e);
    EXPECT_EQ(data(), "first");

    ASSERT_EQ(cpioread_first(&ctx, &e), &e);
    ASSERT_EQ(cpioread_find(&ctx, &e, "last"), &e);
    ASSERT_EQ(cpioread_next(&ctx, &e), &e);
    EXPECT_EQ(name(), "dir/bbb");
}

TEST_P(Read, UnknownImageLeavesTheContextFailed) {
    image = "This is plain text, not an archive.";
    ctx.count = 7;
    EXPECT_EQ(cpioread_init(&ctx, image.data()), nullptr);
    EXPECT_EQ(ctx.ops, nullptr);
    EXPECT_EQ(ctx.image, nullptr);
    EXPECT_EQ(ctx.count, 0u);
    EXPECT_EQ(ctx.current, nullptr);
    EXPECT_EQ(cpioread_first(&ctx, &e), nullptr);
    EXPECT_EQ(cpioread_find(&ctx, &e, "x"), nullptr);
    EXPECT_EQ(cpioread_next(&ctx, &e), nullptr);
}

TEST_P(Read, NullArgumentsGiveNull) {
    ASSERT_EQ(init(three), &ctx);
    EXPECT_EQ(cpioread_first(nullptr, &e), nullptr);
    EXPECT_EQ(cpioread_find(nullptr, &e, "c"), nullptr);
    EXPECT_EQ(cpioread_next(nullptr, &e), nullptr);
    ASSERT_EQ(cpioread_first(&ctx, &e), &e);
    EXPECT_EQ(cpioread_next(&ctx, nullptr), nullptr);
    ASSERT_EQ(cpioread_next(&ctx, &e), &e) << "the walk stays where it was";
    EXPECT_EQ(name(), "dir/b");
}

TEST_P(Read, AnEntryOfSizeZeroIsReturnedOnceAndEndsTheWalk) {
    image = encode(GetParam(), {file("a", "x"), wrapping_entry(GetParam())});
    ASSERT_EQ(cpioread_init(&ctx, image.data()), &ctx);
    EXPECT_EQ(ctx.ops->get_entry_size(image.data() + ctx.ops->get_entry_size(image.data())), 0u);
    EXPECT_EQ(ctx.count, 2u);
    ASSERT_EQ(cpioread_first(&ctx, &e), &e);
    ASSERT_EQ(cpioread_next(&ctx, &e), &e);
    EXPECT_EQ(cpioread_next(&ctx, &e), nullptr);
    EXPECT_EQ(cpioread_next(&ctx, &e), nullptr);
}

INSTANTIATE_TEST_SUITE_P(AllFormats, Read, ::testing::ValuesIn(all_formats),
                         [](const auto &info) { return std::string(fmt_name(info.param)); });

TEST(ReadBin, EntriesOfMixedByteOrderAreEachReadInTheirOwn) {
    std::string image = encode_entry(Fmt::bin_le, file("little", "LE")) +
                        encode_entry(Fmt::bin_be, file("big", "BEB")) + encode_entry(Fmt::bin_le, trailer());
    cpioread_ctx ctx{};
    cpio_simple_entity e{};
    ASSERT_EQ(cpioread_init(&ctx, image.data()), &ctx);
    EXPECT_EQ(ctx.count, 2u);
    ASSERT_EQ(cpioread_find(&ctx, &e, "big"), &e);
    EXPECT_EQ(e.filesize, 3u);
    EXPECT_EQ(e.mtime, 1654091024u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(e.data), 3), "BEB");
}

}  // namespace
