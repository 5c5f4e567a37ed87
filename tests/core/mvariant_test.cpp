#include "core/MStream.h"
#include "core/MVariant.h"

#include "tests/common/Golden.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

std::vector<uint8_t> Serial(const MVariant& v) {
    MStream s;
    EXPECT_TRUE(v.WriteTo(s));
    return std::vector<uint8_t>(s.Data(), s.Data() + s.GetPosition());
}

// Fills an empty stream with bytes and rewinds it.
void Fill(MStream& s, const std::vector<uint8_t>& bytes) {
    if (!bytes.empty()) s.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
    s.Seek(0);
}

MVariant Assigned(const MVariant& source) {
    MVariant v;
    v.Assign(source);
    return v;
}

TEST(MVariantTest, ConstructionKeepsTheGivenType) {
    EXPECT_EQ(MVariant().GetType(), MVariant::kEmpty);
    EXPECT_EQ(MVariant(7).GetType(), MVariant::kInt);
    EXPECT_EQ(MVariant(100.0).GetType(), MVariant::kDouble);
    EXPECT_EQ(MVariant(u"12").GetType(), MVariant::kString);
    MVariant copy(MVariant(u"12"));
    EXPECT_EQ(copy.GetType(), MVariant::kString);
}

TEST(MVariantTest, AssignNarrowsToTheEffectiveType) {
    struct Case {
        const char* name;
        MVariant source;
        MVariant::Type type;
        double number; // the numeric value when the result is a number
    };
    const Case cases[] = {
        {"\"12\"", MVariant(u"12"), MVariant::kInt, 12},
        {"\" -7 \"", MVariant(u" -7 "), MVariant::kInt, -7},
        {"\"0x10\"", MVariant(u"0x10"), MVariant::kInt, 16},
        {"\"0xFFFFFFFF\"", MVariant(u"0xFFFFFFFF"), MVariant::kInt, -1},
        {"\"1,5\"", MVariant(u"1,5"), MVariant::kDouble, 1.5},
        {"\"1e3\"", MVariant(u"1e3"), MVariant::kDouble, 1000}, // a decimal text gives a double
        // Beyond int32 a digit text stays a number, not its low 32 bits.
        {"\"3000000000\"", MVariant(u"3000000000"), MVariant::kDouble, 3e9},
        {"\"12345678901\"", MVariant(u"12345678901"), MVariant::kDouble, 12345678901.0},
        {"\"1e999\"", MVariant(u"1e999"), MVariant::kString, 0},
        {"\"0x1FFFFFFFF\"", MVariant(u"0x1FFFFFFFF"), MVariant::kString, 0},
        {"\"abc\"", MVariant(u"abc"), MVariant::kString, 0},
        {"\"\"", MVariant(u""), MVariant::kString, 0},
        {"100.0", MVariant(100.0), MVariant::kInt, 100},
        {"-0.0", MVariant(-0.0), MVariant::kInt, 0},
        {"2.5", MVariant(2.5), MVariant::kDouble, 2.5},
        {"3e9", MVariant(3e9), MVariant::kDouble, 3e9},
        {"NaN", MVariant(std::numeric_limits<double>::quiet_NaN()), MVariant::kDouble, 0},
        {"compact 3 bytes", MVariant(MCompactInt(int64_t{0x123456})), MVariant::kInt, 0x123456},
        {"compact 5 bytes", MVariant(MCompactInt(int64_t{1} << 32)), MVariant::kDouble, 4294967296.0},
        {"compact 8 bytes", MVariant(MCompactInt(int64_t{1} << 62)), MVariant::kCompact, 0},
        {"int", MVariant(5), MVariant::kInt, 5},
        {"empty", MVariant(), MVariant::kEmpty, 0},
        {"blob", MVariant(MBlob("\x01\x02", 2)), MVariant::kBlob, 0},
    };
    for (const Case& c : cases) {
        MVariant v = Assigned(c.source);
        EXPECT_EQ(v.GetType(), c.type) << c.name;
        if (c.type == MVariant::kInt) {
            EXPECT_EQ(v.AsInt(), static_cast<int32_t>(c.number)) << c.name;
        }
        if (c.type == MVariant::kDouble && !std::isnan(c.source.AsDouble())) {
            EXPECT_EQ(v.AsDouble(), c.number) << c.name;
        }
    }
    EXPECT_EQ(Assigned(MVariant(u"abc")).AsString().ToUtf8(), "abc");
    MVariant blob = Assigned(MVariant(MBlob("\x01\x02", 2)));
    ASSERT_NE(blob.BlobPtr(), nullptr);
    EXPECT_EQ(blob.BlobPtr()->Size(), 2u);
}

TEST(MVariantTest, AssignmentOperatorsNarrow) {
    MVariant v;
    v = MVariant(u"30");
    EXPECT_EQ(v.GetType(), MVariant::kInt);
    MVariant source(u"1,5");
    v = source;
    EXPECT_EQ(v.GetType(), MVariant::kDouble);
    v = 100.0;
    EXPECT_EQ(v.GetType(), MVariant::kInt);
    v = u"text";
    EXPECT_EQ(v.GetType(), MVariant::kString);
    MVariant& self = v;
    v = self; // self-assignment keeps the value
    EXPECT_EQ(v.AsString().ToUtf8(), "text");
    MVariant exact;
    exact.CopyFrom(MVariant(u"12"));
    EXPECT_EQ(exact.GetType(), MVariant::kString);
}

TEST(MVariantTest, Conversions) {
    EXPECT_EQ(MVariant(-2.7).AsInt(), -2);
    EXPECT_EQ(MVariant(1e20).AsInt(), INT32_MAX);
    EXPECT_EQ(MVariant(-1e20).AsInt(), INT32_MIN);
    EXPECT_EQ(MVariant(std::numeric_limits<double>::quiet_NaN()).AsInt(), 0);
    EXPECT_EQ(MVariant(u"4294967297").AsInt(), 1); // the low 32 bits of the 64-bit value
    EXPECT_EQ(MVariant(u"duration").AsInt(), 0);
    EXPECT_EQ(MVariant(MCompactInt(int64_t{1} << 40)).AsInt(), INT32_MAX);
    EXPECT_EQ(MVariant(MCompactInt(int64_t{-1000})).AsInt(), -1000);
    EXPECT_EQ(MVariant().AsInt(), 0);

    EXPECT_EQ(MVariant(3).AsDouble(), 3.0);
    EXPECT_EQ(MVariant(u"2,25").AsDouble(), 2.25);
    EXPECT_EQ(MVariant(MCompactInt(int64_t{1} << 40)).AsDouble(), 1099511627776.0);
    EXPECT_EQ(MVariant(MBlob("x", 1)).AsDouble(), 0.0);

    EXPECT_EQ(MVariant(-12).AsString().ToUtf8(), "-12");
    EXPECT_EQ(MVariant(1.23456789).AsString().ToUtf8(), "1.23456");
    EXPECT_EQ(MVariant(MBlob("x", 1)).AsString().ToUtf8(), "BLOB");
    EXPECT_EQ(MVariant(MCompactInt(int64_t{258})).AsString().ToUtf8(), "0x0201");
    EXPECT_TRUE(MVariant().AsString().IsEmpty());
}

TEST(MVariantTest, Comparisons) {
    struct Case {
        const char* name;
        MVariant a, b;
        int order; // -1, 0, 1, 2 (unordered)
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"ints", MVariant(2), MVariant(10), -1},
        {"strings compare as text", MVariant(u"2"), MVariant(u"10"), 1},
        {"int and integer text compare as numbers", MVariant(2), MVariant(u"10"), -1},
        {"int equals its text", MVariant(12), MVariant(u"12"), 0},
        {"int and text compare as text", MVariant(2), MVariant(u"abc"), -1},
        {"double equals decimal text", MVariant(1.5), MVariant(u"1,5"), 0},
        {"int and double", MVariant(1), MVariant(1.5), -1},
        {"whole double and int", MVariant(3.0), MVariant(3), 0},
        {"empty equals empty", MVariant(), MVariant(), 0},
        {"empty equals 0", MVariant(), MVariant(0), 0},
        {"empty equals empty text", MVariant(), MVariant(u""), 0},
        {"empty below any text", MVariant(), MVariant(u"a"), -1},
        {"blobs by content", MVariant(MBlob("ab", 2)), MVariant(MBlob("ab", 2)), 0},
        {"blobs ordered by content", MVariant(MBlob("ab", 2)), MVariant(MBlob("b", 1)), -1},
        {"blob against text by tag", MVariant(MBlob("ab", 2)), MVariant(u"ab"), 1},
        {"compacts", MVariant(MCompactInt(int64_t{-5})), MVariant(MCompactInt(int64_t{3})), -1},
        {"long compact against int", MVariant(MCompactInt(INT64_MAX)), MVariant(5), 1},
        {"NaN", MVariant(nan), MVariant(1.0), 2},
        {"NaN twice", MVariant(nan), MVariant(nan), 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MVariant::Order(c.a, c.b), c.order) << c.name;
        int reverse = c.order == 2 ? 2 : -c.order;
        EXPECT_EQ(MVariant::Order(c.b, c.a), reverse) << c.name << " (reversed)";
        EXPECT_EQ(c.a.Equal(c.b), c.order == 0) << c.name;
        EXPECT_EQ(c.a.Less(c.b), c.order == -1) << c.name;
        EXPECT_EQ(c.a.Greater(c.b), c.order == 1) << c.name;
        EXPECT_EQ(c.a.LessOrEqual(c.b), c.order == -1 || c.order == 0) << c.name;
        EXPECT_EQ(c.a.GreaterOrEqual(c.b), c.order == 1 || c.order == 0) << c.name;
    }
}

TEST(MVariantTest, SerialForm) {
    struct Case {
        const char* name;
        MVariant v;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"empty", MVariant(), {0, 0, 0, 0}},
        {"int", MVariant(1500000000), {1, 0, 0, 0, 0x00, 0x2F, 0x68, 0x59}},
        {"double", MVariant(1.5), {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F}},
        {"string", MVariant(u"Y"), {3, 0, 0, 0, 4, 0, 0, 0, 0x59, 0, 0, 0}},
        {"empty string", MVariant(u""), {3, 0, 0, 0, 0, 0, 0, 0}},
        {"blob", MVariant(MBlob("\x01\x02\x03", 3)), {4, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3}},
        {"compact", MVariant(MCompactInt(int64_t{-1000})), {5, 0, 0, 0, 0x0C, 0xFA}},
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(golden::Bytes(std::string("mvariant_") + c.name, c.bytes, Serial(c.v)));
        MStream s;
        Fill(s, c.bytes);
        MVariant back(u"junk");
        ASSERT_TRUE(back.ReadFrom(s)) << c.name;
        EXPECT_EQ(back.GetType(), c.v.GetType()) << c.name;
        EXPECT_TRUE(back.Equal(c.v)) << c.name;
        EXPECT_EQ(s.GetPosition(), static_cast<int64_t>(c.bytes.size())) << c.name;
    }
}

TEST(MVariantTest, ReadingRefusesBadInput) {
    const std::vector<uint8_t> cases[] = {
        {},                                   // nothing
        {1, 0, 0},                            // cut tag
        {6, 0, 0, 0, 0, 0, 0, 0},             // unknown tag
        {0xFF, 0xFF, 0xFF, 0xFF},             // negative tag
        {1, 0, 0, 0, 7, 0},                   // cut int
        {2, 0, 0, 0, 0, 0, 0, 0},             // cut double
        {3, 0, 0, 0, 0x10, 0, 0, 0, 'a', 0},  // string longer than the data
        {4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F}, // blob of 2 GB announced, none present
        {4, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}, // negative blob count
        {4, 0, 0, 0, 4, 0, 0, 0, 1, 2},       // cut blob
        {5, 0, 0, 0},                         // compact without its first byte
        {5, 0, 0, 0, 0x10, 0x01},             // compact announcing 2 bytes, 1 present
    };
    for (const auto& bytes : cases) {
        MStream s;
        Fill(s, bytes);
        MVariant v(u"old");
        EXPECT_FALSE(v.ReadFrom(s)) << golden::Hex(bytes, 0, 12);
        EXPECT_TRUE(v.IsEmpty());
    }
}

} // namespace
