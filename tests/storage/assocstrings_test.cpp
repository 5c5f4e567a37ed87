#include "core/MStream.h"
#include "storage/MAssocStrings.h"
#include "tests/common/Golden.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Contents(MStream& s) {
    return Bytes(s.Data(), s.Data() + s.GetSize());
}

void Put32(Bytes& b, int32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(uint32_t(v) >> (8 * i)));
}
void PutText(Bytes& b, const std::u16string& s) {
    Put32(b, s.empty() ? 0 : int32_t(2 * (s.size() + 1)));
    if (s.empty()) return;
    for (char16_t c : s) {
        b.push_back(uint8_t(c));
        b.push_back(uint8_t(c >> 8));
    }
    b.push_back(0);
    b.push_back(0);
}

bool ReadBytes(MAssocStrings& a, const Bytes& b) {
    MStream s;
    if (!b.empty()) s.Write(b.data(), int32_t(b.size()));
    s.Seek(0);
    return a.ReadFrom(s);
}

TEST(MAssocStrings, GoldenPatAge) {
    MAssocStrings a;
    a.Value(u"PatAge") = u"42";
    MStream s;
    ASSERT_TRUE(a.WriteTo(s));
    const Bytes expected = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00,
                            'P',  0,    'a',  0,    't',  0,    'A',  0,    'g',  0,    'e',  0,
                            0,    0,    0x06, 0x00, 0x00, 0x00, 0x34, 0x00, 0x32, 0x00, 0x00, 0x00};
    EXPECT_TRUE(golden::Bytes("assoc_patage", expected, Contents(s)));
    MAssocStrings back;
    ASSERT_TRUE(ReadBytes(back, expected));
    EXPECT_TRUE(back == a);
}

TEST(MAssocStrings, ReadingAKeyAddsItAndKeysAreExact) {
    MAssocStrings a;
    EXPECT_TRUE(a.Value(u"PatName").IsEmpty());
    EXPECT_EQ(a.Count(), 1);
    a.Value(u"PatName") = u"Иванов";
    MString& lower = a.Value(u"patname");
    EXPECT_EQ(a.Count(), 2);
    lower = u"x";
    a.Value(u"RecordStartT") = u"1700000000";
    // References handed out earlier stay valid while entries are added.
    EXPECT_TRUE(lower.Equals(u"x"));
    EXPECT_TRUE(a.Value(u"PatName").Equals(u"Иванов"));
    EXPECT_EQ(a.Count(), 3);
    EXPECT_TRUE(a.At(0).key.Equals(u"PatName"));
    EXPECT_TRUE(a.At(2).key.Equals(u"RecordStartT"));

    EXPECT_TRUE(a.Contains(u"PatName", 0));
    EXPECT_FALSE(a.Contains(u"PatName", 1));
    EXPECT_FALSE(a.Contains(u"PatAge"));
    EXPECT_EQ(a.Count(), 3);
}

TEST(MAssocStrings, SetCount) {
    MAssocStrings a;
    a.Value(u"a") = u"1";
    a.Value(u"b") = u"2";
    a.Value(u"c") = u"3";
    EXPECT_TRUE(a.SetCount(3));
    EXPECT_EQ(a.Count(), 3);
    EXPECT_TRUE(a.SetCount(2));
    ASSERT_EQ(a.Count(), 2);
    EXPECT_TRUE(a.At(1).value.Equals(u"2"));
    EXPECT_TRUE(a.SetCount(4));
    ASSERT_EQ(a.Count(), 4);
    EXPECT_TRUE(a.At(3).key.IsEmpty());
    EXPECT_EQ(a.At(3).tag, 0);
    EXPECT_TRUE(a.SetCount(0));
    EXPECT_EQ(a.Count(), 0);
    a.Value(u"a");
    EXPECT_TRUE(a.SetCount(-5));
    EXPECT_EQ(a.Count(), 0);
}

TEST(MAssocStrings, RoundTripKeepsOrderTagsAndEmptyValues) {
    Bytes b;
    Put32(b, 3);
    Put32(b, 7);
    PutText(b, u"k1");
    PutText(b, u"");
    Put32(b, -1);
    PutText(b, u"ключ");
    PutText(b, u"значение");
    Put32(b, 0);
    PutText(b, u"");
    PutText(b, u"v");
    MAssocStrings a;
    ASSERT_TRUE(ReadBytes(a, b));
    ASSERT_EQ(a.Count(), 3);
    EXPECT_EQ(a.At(0).tag, 7);
    EXPECT_TRUE(a.At(0).value.IsEmpty());
    EXPECT_EQ(a.At(1).tag, -1);
    EXPECT_TRUE(a.At(1).value.Equals(u"значение"));
    EXPECT_TRUE(a.Contains(u"ключ", -1));
    MStream s;
    ASSERT_TRUE(a.WriteTo(s));
    EXPECT_TRUE(golden::Bytes("assoc_roundtrip", b, Contents(s))); // an empty value is B = 0
}

TEST(MAssocStrings, BadSerialForms) {
    struct Case {
        const char* what;
        Bytes bytes;
        bool ok;
        int count; // entries afterwards
    };
    auto entry = [](Bytes& b, const std::u16string& k, const std::u16string& v) {
        Put32(b, 0);
        PutText(b, k);
        PutText(b, v);
    };
    std::vector<Case> cases;
    {
        Bytes b;
        Put32(b, 100'000);
        cases.push_back({"count 100,000", b, false, 1});
    }
    {
        Bytes b;
        Put32(b, -1);
        cases.push_back({"negative count", b, false, 1});
    }
    cases.push_back({"no count", {1, 0}, false, 1});
    {
        Bytes b;
        Put32(b, 3);
        entry(b, u"a", u"1");
        entry(b, u"b", u"2");
        entry(b, u"c", u"3");
        b.resize(b.size() - 3); // the last value is cut
        cases.push_back({"cut in the third entry", b, false, 2});
    }
    {
        Bytes b;
        Put32(b, 2);
        entry(b, u"a", u"1");
        Put32(b, 0);
        Put32(b, 10'000'000);
        cases.push_back({"string of 10,000,000 bytes", b, false, 1});
    }
    {
        Bytes b;
        Put32(b, 1);
        Put32(b, 0);
        Put32(b, -2);
        cases.push_back({"negative string count", b, false, 0});
    }
    {
        Bytes b;
        Put32(b, 99'999); // says more than the bytes hold
        entry(b, u"a", u"1");
        cases.push_back({"count larger than the data", b, false, 1});
    }
    for (const Case& c : cases) {
        MAssocStrings a;
        a.Value(u"old");
        EXPECT_EQ(ReadBytes(a, c.bytes), c.ok) << c.what;
        EXPECT_EQ(a.Count(), c.count) << c.what;
    }
}

TEST(MAssocStrings, LargestCountIsAccepted) {
    Bytes b;
    Put32(b, 99'999);
    for (int i = 0; i < 99'999; ++i) {
        Put32(b, 0);
        Put32(b, 0);
        Put32(b, 0);
    }
    MAssocStrings a;
    EXPECT_TRUE(ReadBytes(a, b));
    EXPECT_EQ(a.Count(), 99'999);
}

TEST(MAssocStrings, ZeroInsideAStringEndsIt) {
    Bytes b;
    Put32(b, 1);
    Put32(b, 0);
    PutText(b, u"Pat");
    PutText(b, std::u16string(u"ab\0cd", 5));
    MAssocStrings a;
    ASSERT_TRUE(ReadBytes(a, b));
    EXPECT_TRUE(a.Value(u"Pat").Equals(u"ab"));
}

} // namespace
