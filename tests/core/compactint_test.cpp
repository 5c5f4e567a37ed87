#include "core/MCompactInt.h"
#include "core/MStream.h"
#include "tests/common/Golden.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

namespace {

std::vector<uint8_t> Serial(const MCompactInt& v) {
    MStream s;
    const int32_t n = v.WriteTo(s);
    EXPECT_EQ(n, s.GetSize());
    return std::vector<uint8_t>(s.Data(), s.Data() + s.GetSize());
}

MCompactInt FromBytes(const std::vector<uint8_t>& bytes, int32_t* consumed = nullptr) {
    MCompactInt v;
    const int32_t n = v.Decode(bytes.data(), bytes.size());
    if (consumed) *consumed = n;
    return v;
}

struct Example {
    int64_t value;
    std::vector<uint8_t> bytes;
};

const std::vector<Example> kExamples = {
    {0, {0x00}},
    {1, {0x01}},
    {3, {0x03}},
    {-1, {0x05}},
    {4, {0x08, 0x01}},
    {9, {0x09, 0x02}},
    {12, {0x08, 0x03}},
    {1000, {0x08, 0xFA}},
    {-1000, {0x0C, 0xFA}},
    {1024, {0x10, 0x00, 0x01}},
    {70000, {0x10, 0x5C, 0x44}},
    {500000, {0x18, 0x48, 0xE8, 0x01}},
};

TEST(CompactInt, ExampleTableBothDirections) {
    for (const auto& e : kExamples) {
        SCOPED_TRACE(e.value);
        EXPECT_TRUE(
            golden::Bytes("compactint_" + std::to_string(e.value), e.bytes, Serial(MCompactInt(e.value))));

        int32_t consumed = 0;
        const MCompactInt decoded = FromBytes(e.bytes, &consumed);
        EXPECT_EQ(consumed, int32_t(e.bytes.size()));
        EXPECT_EQ(decoded.ToInt64(), e.value);
        EXPECT_EQ(decoded.IsNegative(), e.value < 0);
        EXPECT_EQ(decoded, MCompactInt(e.value));

        // The stream reader agrees with the buffer decoder and stops after the value.
        MStream s;
        ASSERT_TRUE(s.Write(e.bytes.data(), int32_t(e.bytes.size())));
        ASSERT_TRUE(s.Write("\x7F", 1));
        s.Seek(0);
        MCompactInt read;
        EXPECT_EQ(read.ReadFrom(s), int32_t(e.bytes.size()));
        EXPECT_EQ(read, decoded);
        EXPECT_EQ(s.GetPosition(), int64_t(e.bytes.size()));
        if (e.value != 0) {
            EXPECT_EQ(read.Flags(), e.bytes[0]); // a value just read keeps its first byte
        }
    }
}

TEST(CompactInt, RoundTripsWithSerialLengths) {
    struct Case {
        int64_t value;
        size_t length;
    };
    const Case cases[] = {
        {0, 1},          {1, 1},         {-1, 1},           {3, 1},         {-3, 1},        {4, 2},
        {-4, 2},         {1LL << 31, 5}, {-(1LL << 31), 5}, {1LL << 62, 9}, {INT64_MAX, 9}, {INT64_MIN, 9},
        {-INT64_MAX, 9}, {INT32_MAX, 5}, {INT32_MIN, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const auto bytes = Serial(MCompactInt(c.value));
        EXPECT_EQ(bytes.size(), c.length);
        int32_t consumed = 0;
        const MCompactInt back = FromBytes(bytes, &consumed);
        EXPECT_EQ(consumed, int32_t(c.length));
        EXPECT_EQ(back.ToInt64(), c.value);
        EXPECT_EQ(back, MCompactInt(c.value));
    }
    // The int32 constructor takes the same path.
    EXPECT_EQ(Serial(MCompactInt(int32_t(-1000))), (std::vector<uint8_t>{0x0C, 0xFA}));
    EXPECT_EQ(MCompactInt(INT32_MIN).ToInt32(), INT32_MIN);
}

TEST(CompactInt, HexString) {
    const std::pair<int64_t, const char*> cases[] = {
        {258, "0x0201"}, {0, "0x0"}, {1, "0x01"}, {-1, "-0x01"}, {1000, "0xE803"}, {-70000, "-0x701101"},
    };
    for (const auto& [value, text] : cases) EXPECT_EQ(MCompactInt(value).ToHexString(), text) << value;
}

TEST(CompactInt, ConversionsSaturate) {
    const int64_t kFive = 5'000'000'000LL; // five magnitude bytes
    struct Case {
        int64_t value;
        int32_t as32;
    };
    const Case cases[] = {
        {INT32_MAX, INT32_MAX}, {int64_t(INT32_MAX) + 1, INT32_MAX},
        {INT32_MIN, INT32_MIN}, {kFive, INT32_MAX},
        {-kFive, -INT32_MAX},   {INT64_MAX, INT32_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(MCompactInt(c.value).ToInt32(), c.as32) << c.value;

    // Nine and more magnitude bytes only come from a serial form longer than valid data has.
    std::vector<uint8_t> big = {uint8_t(9 << 3), 0, 0, 0, 0, 0, 0, 0, 0, 1}; // 2^66
    EXPECT_EQ(FromBytes(big).ToInt64(), INT64_MAX);
    EXPECT_EQ(FromBytes(big).ToInt32(), INT32_MAX);
    big[0] |= MCompactInt::kNegative;
    EXPECT_EQ(FromBytes(big).ToInt64(), -INT64_MAX);
    EXPECT_EQ(FromBytes(big).ToInt32(), -INT32_MAX);
}

TEST(CompactInt, LongestSerialFormDecodesWithoutOverflow) {
    std::vector<uint8_t> bytes(32, 0xFF);
    bytes[0] = uint8_t(31 << 3 | 3); // 31 following bytes, all bits set
    int32_t consumed = 0;
    const MCompactInt v = FromBytes(bytes, &consumed);
    EXPECT_EQ(consumed, 32);
    EXPECT_EQ(v.Length(), 32); // 2 + 8 * 31 = 250 bits
    EXPECT_EQ(v.Magnitude()[31], 0x03);
    EXPECT_EQ(v.ToInt64(), INT64_MAX);
    EXPECT_EQ(v.ToHexString(), "0x" + std::string(62, 'F') + "03");
    EXPECT_EQ(Serial(v), bytes);
    EXPECT_GT(v, MCompactInt(INT64_MAX));

    MStream s;
    s.Write(bytes.data(), int32_t(bytes.size()));
    s.Seek(0);
    MCompactInt read;
    EXPECT_EQ(read.ReadFrom(s), 32);
    EXPECT_EQ(read, v);
}

TEST(CompactInt, ShortInputLeavesValueUnchanged) {
    const std::vector<std::vector<uint8_t>> cases = {
        {},
        {0x10, 0x5C},
        {0x18, 0x48, 0xE8},
        {0xF8},
    };
    for (const auto& bytes : cases) {
        MCompactInt v(77);
        EXPECT_EQ(v.Decode(bytes.data(), bytes.size()), 0);
        EXPECT_EQ(v.ToInt64(), 77);

        MStream s;
        if (!bytes.empty()) s.Write(bytes.data(), int32_t(bytes.size()));
        s.Seek(0);
        EXPECT_EQ(v.ReadFrom(s), 0);
        EXPECT_EQ(v.ToInt64(), 77);
    }
}

// Serial forms padded with high zero bytes, or a zero with the sign bit, are not what the
// encoder writes, but they decode to the plain value and compare equal to it.
TEST(CompactInt, PaddedFormsDecodeToTheCanonicalValue) {
    struct Case {
        std::vector<uint8_t> bytes;
        int64_t value;
    };
    const Case cases[] = {
        {{0x08, 0x00}, 0},
        {{0x10, 0x00, 0x00}, 0},
        {{0x04}, 0},
        {{0x0C, 0x00}, 0},
        {{0x18, 0x01, 0x00, 0x00}, 4},
        {{0x1D, 0xFA, 0x00, 0x00}, -1001},
        {{0x41, 0, 0, 0, 0, 0, 0, 0, 0}, 1}, // n = 8, all zero
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(golden::Hex(c.bytes, 0, c.bytes.size()));
        const MCompactInt v = FromBytes(c.bytes);
        EXPECT_EQ(v, MCompactInt(c.value));
        EXPECT_FALSE(v < MCompactInt(c.value));
        EXPECT_FALSE(MCompactInt(c.value) < v);
        EXPECT_EQ(v.ToInt64(), c.value);
        EXPECT_EQ(Serial(v), Serial(MCompactInt(c.value)));
        EXPECT_EQ(v.ToHexString(), MCompactInt(c.value).ToHexString());
    }
}

TEST(CompactInt, OrderMatchesIntegerOrder) {
    const int64_t sorted[] = {
        INT64_MIN, -INT64_MAX, -(1LL << 40), -70000, -1024, -1000, -256,      -4,        -1,       0, 1,
        3,         4,          255,          256,    1000,  70000, 1LL << 31, 1LL << 62, INT64_MAX};
    const size_t n = sizeof sorted / sizeof sorted[0];
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            const MCompactInt a(sorted[i]), b(sorted[j]);
            SCOPED_TRACE(std::to_string(sorted[i]) + " vs " + std::to_string(sorted[j]));
            EXPECT_EQ(a < b, i < j);
            EXPECT_EQ(a > b, i > j);
            EXPECT_EQ(a <= b, i <= j);
            EXPECT_EQ(a >= b, i >= j);
            EXPECT_EQ(a == b, i == j);
            EXPECT_EQ(a != b, i != j);
        }
    }
}

TEST(CompactInt, CopyKeepsValue) {
    const MCompactInt a(-500000);
    const MCompactInt b(a);
    MCompactInt c;
    c = a;
    EXPECT_EQ(b, a);
    EXPECT_EQ(c.ToInt64(), -500000);
    EXPECT_EQ(MCompactInt().ToInt64(), 0);
    EXPECT_EQ(MCompactInt().Length(), 0);
}

} // namespace
