#include "core/MStream.h"
#include "core/MString.h"

#include "tests/common/Golden.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

std::string U8(const MString& s) {
    return s.ToUtf8();
}

std::vector<uint8_t> Bytes(MStream& s) {
    return std::vector<uint8_t>(s.Data(), s.Data() + s.GetPosition());
}

// Fills an empty stream with bytes and rewinds it.
void Fill(MStream& s, const std::vector<uint8_t>& bytes) {
    if (!bytes.empty()) s.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
    s.Seek(0);
}

TEST(MStringTest, CompareAndEquals) {
    EXPECT_TRUE(MString().Equals(MString(u"")));
    EXPECT_TRUE(MString(u"abc").Equals(u"abc"));
    EXPECT_FALSE(MString(u"abc").Equals(u"ABC"));
    EXPECT_FALSE(MString(u"abc").Equals(u"abc "));
    EXPECT_LT(MString().Compare(MString(u"a")), 0);
    EXPECT_LT(MString(u"ab").Compare(MString(u"abc")), 0);
    EXPECT_GT(MString(u"b").Compare(MString(u"abc")), 0);
    // Code units compare unsigned: a Cyrillic letter sorts after every ASCII one.
    EXPECT_GT(MString(u"м").Compare(MString(u"z")), 0);
    EXPECT_NE(MString().c_str(), nullptr);
    EXPECT_EQ(MString().c_str()[0], u'\0');
}

TEST(MStringTest, FindAndSubstr) {
    MString s(u"abcabc");
    EXPECT_EQ(s.Find(u"bc"), 1);
    EXPECT_EQ(s.Find(u"bc", 2), 4);
    EXPECT_EQ(s.Find(u"bc", 5), -1);
    EXPECT_EQ(s.Find(u"bc", 60), -1);
    EXPECT_EQ(s.Find(u""), -1);
    EXPECT_EQ(MString().Find(u"a"), -1);
    EXPECT_EQ(U8(s.Substr(4, 10)), "bc");
    EXPECT_EQ(U8(s.Substr(6, 1)), "");
    EXPECT_EQ(U8(s.Substr(-2, 2)), "ab");
    EXPECT_EQ(U8(s.Substr(1, 0)), "");
}

TEST(MStringTest, Between) {
    struct Case {
        const char16_t* text;
        int from;
        bool caseSensitive;
        const char16_t* open;
        const char16_t* close;
        const char16_t* expected;
    };
    const Case cases[] = {
        {u"a=b", 0, true, u"", u"=", u"a"},
        {u"a=b", 0, true, u"=", u"", u"b"},
        {u"a=b", 0, true, u"x", u"=", u""},
        {u"key=[value];", 0, true, u"[", u"]", u"value"},
        {u"key=[value", 0, true, u"[", u"]", u"value"}, // no close: to the end
        {u"[a][b]", 1, true, u"[", u"]", u"b"},         // search starts at `from`
        {u"[a][b]", 99, true, u"[", u"]", u""},
        {u"Name: X; NAME: Y", 0, true, u"NAME: ", u";", u"Y"},
        {u"Name: X; NAME: Y", 0, false, u"NAME: ", u";", u"X"},
        {u"ДЛИНА=5;", 0, false, u"длина=", u";", u"5"},
    };
    for (const Case& c : cases) {
        MString got = MString(c.text).Between(c.from, c.caseSensitive, c.open, c.close);
        EXPECT_EQ(U8(got), U8(c.expected))
            << U8(c.text) << " open " << U8(c.open) << " close " << U8(c.close);
    }
}

TEST(MStringTest, Replace) {
    struct Case {
        const char16_t* text;
        const char16_t* what;
        const char16_t* with;
        bool all;
        const char16_t* expected;
        int count;
    };
    const Case cases[] = {
        {u"nn", u"n", u"\r\n", false, u"\r\nn", 1},
        {u"nn", u"n", u"\r\n", true, u"\r\n\r\n", 2},
        {u"aaa", u"a", u"aa", true, u"aaaaaa", 3}, // continues after each replacement
        {u"abab", u"ab", u"", true, u"", 2},
        {u"abc", u"x", u"y", true, u"abc", 0},
        {u"aBc", u"b", u"x", true, u"aBc", 0}, // case-sensitive
        {u"", u"a", u"b", true, u"", 0},
    };
    for (const Case& c : cases) {
        MString s(c.text);
        EXPECT_EQ(s.Replace(c.what, c.with, c.all), c.count) << U8(c.text);
        EXPECT_TRUE(s.Equals(c.expected)) << U8(c.text) << " -> " << U8(s);
    }
    MString s(u"abc");
    EXPECT_EQ(s.Replace(u"", u"x", true), 0); // never loops on an empty pattern
    EXPECT_TRUE(s.Equals(u"abc"));
}

TEST(MStringTest, TrimLowerExtension) {
    MString t(u"\0\t\r\n a b \n\0", 11);
    EXPECT_TRUE(t.Trim().Equals(u"a b"));
    EXPECT_TRUE(MString(u" \t ").Trim().IsEmpty());

    EXPECT_EQ(U8(MString(u"ABC Привет ЁЖ Ünï ΣΑ 123").ToLower()), "abc привет ёж ünï σα 123");

    struct Case {
        const char16_t* path;
        const char16_t* ext;
    };
    const Case cases[] = {{u"record.pwv", u"pwv"}, {u"a.b.ddb", u"ddb"}, {u".bashrc", u""},
                          {u"noext", u""},         {u"dot.", u""},       {u"", u""}};
    for (const Case& c : cases) EXPECT_TRUE(MString(c.path).Extension().Equals(c.ext)) << U8(c.path);
}

TEST(MStringTest, ToInt64IsLenient) {
    struct Case {
        const char16_t* text;
        int64_t expected;
    };
    const Case cases[] = {
        {u"12", 12},
        {u"  -7", -7},
        {u"+3", 3},
        {u"abc42def", 42},
        {u"x-5", -5},
        {u"- \t5", -5}, // blanks between sign and digit
        {u"-x5", 5},    // a sign not followed by a digit is skipped
        {u"12.9", 12},
        {u"0x1F", 31},
        {u"0X1f", 31},
        {u"-0x10", -16},
        {u"0xg", 0},
        {u"", 0},
        {u"abc", 0},
        {u"99999999999999999999", INT64_MAX},
        {u"-99999999999999999999", INT64_MIN},
        {u"duration=30s", 30},
    };
    for (const Case& c : cases) EXPECT_EQ(MString(c.text).ToInt64(), c.expected) << U8(c.text);
}

TEST(MStringTest, ToDoubleIsLenient) {
    struct Case {
        const char16_t* text;
        double expected;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {u"1,5", 1.5},         {u"1.5", 1.5},   {u" -2.5e3x", -2500}, {u"abc3.25", 3.25}, {u"0x10", 16},
        {u".5", 0.5},          {u"-.5", -0.5},  {u"x,25", 0.25},      {u"5.", 5},         {u"1e", 1},
        {u"1e+2", 100},        {u"2E-1", 0.2},  {u"1.2.3", 1.2},      {u"", 0},           {u"-", 0},
        {u"007.50", 7.5},      {u"1e400", inf}, {u"-1e400", -inf},    {u"1e-400", 0},     {u"- 4", -4},
        {u"t=12,75 c", 12.75},
    };
    for (const Case& c : cases) EXPECT_EQ(MString(c.text).ToDouble(), c.expected) << U8(c.text);
}

TEST(MStringTest, NumericTextClasses) {
    struct Case {
        const char16_t* text;
        bool integer;
        bool decimal;
    };
    const Case cases[] = {
        {u"12", true, true},          {u" -12\t", true, true},        {u"0x10", true, false},
        {u"0xFFFFFFFF", true, false}, {u"0x1FFFFFFFF", false, false}, // would not survive a 32-bit store
        {u"2147483647", true, true},  {u"-2147483648", true, true},   {u"2147483648", false, true},
        {u"1,5", false, true},        {u".5", false, true},           {u"1e5", false, true},
        {u"1e", false, false},        {u"1.2.3", false, false},       {u"12a", false, false},
        {u"", false, false},          {u"-", false, false},           {u"0x", false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MString(c.text).IsIntegerText(), c.integer) << U8(c.text);
        EXPECT_EQ(MString(c.text).IsDecimalText(), c.decimal) << U8(c.text);
    }
}

TEST(MStringTest, FromIntAndFromDouble) {
    EXPECT_EQ(U8(MString::FromInt(0)), "0");
    EXPECT_EQ(U8(MString::FromInt(INT64_MIN)), "-9223372036854775808");
    struct Case {
        double v;
        const char* expected;
    };
    const Case cases[] = {
        {1.23456789, "1.23456"}, // cut, not rounded
        {1e20, "1e+20"},         // exponent form kept
        {1.23456789e-7, "1.23456789e-07"},
        {100, "100"},
        {-2.5, "-2.5"},
        {1.0 / 3, "0.33333"},
        {2.0 / 3, "0.66666"},
        {1234567.891, "1234567.891"},
        {12345.6789012, "12345.6789"},
        {0, "0"},
    };
    for (const Case& c : cases) EXPECT_EQ(U8(MString::FromDouble(c.v)), c.expected) << c.v;
}

TEST(MStringTest, FormatDuration) {
    struct Case {
        double seconds;
        const char* expected;
    };
    const Case cases[] = {
        {5.25, "05,250s"},
        {65, "01:05"},
        {3725.5, "01:02:05,500"},
        {0, "00s"},
        {59.9996, "60s"}, // the millisecond carry reaches the seconds and stops there
        {3599.9996, "59:60"},
        {59.9994, "59,999s"},
        {0.0004, "00s"},
        {0.0016, "00,002s"},
        {36000, "10:00:00"},
        {442800, "123:00:00"},
        {60, "01:00"},
        {-1, ""},
        {std::numeric_limits<double>::quiet_NaN(), ""},
    };
    for (const Case& c : cases) EXPECT_EQ(U8(MString::FormatDuration(c.seconds)), c.expected) << c.seconds;
}

TEST(MStringTest, SerialForm) {
    MStream s;
    ASSERT_TRUE(MString(u"Des").WriteTo(s));
    ASSERT_TRUE(MString().WriteTo(s));
    EXPECT_TRUE(golden::Bytes("mstring_serial",
                              {0x08, 0, 0, 0, 0x44, 0, 0x65, 0, 0x73, 0, 0, 0, /* empty */ 0, 0, 0, 0},
                              Bytes(s)));
    s.Seek(0);
    MString a(u"junk"), b(u"junk");
    ASSERT_TRUE(a.ReadFrom(s));
    ASSERT_TRUE(b.ReadFrom(s));
    EXPECT_TRUE(a.Equals(u"Des"));
    EXPECT_TRUE(b.IsEmpty());
}

TEST(MStringTest, ReadingRecomputesTheLength) {
    struct Case {
        std::vector<uint8_t> bytes;
        const char16_t* expected;
    };
    const Case cases[] = {
        {{6, 0, 0, 0, 'A', 0, 0, 0, 'B', 0}, u"A"}, // cut at the first zero unit
        {{4, 0, 0, 0, 'A', 0, 'B', 0}, u"AB"},      // no terminator at all
        {{3, 0, 0, 0, 'A', 0, 'B'}, u"A"},          // half a unit at the end is dropped
        {{2, 0, 0, 0, 0, 0}, u""},
    };
    for (const Case& c : cases) {
        MStream s;
        Fill(s, c.bytes);
        MString str;
        ASSERT_TRUE(str.ReadFrom(s));
        EXPECT_TRUE(str.Equals(c.expected)) << U8(str);
        EXPECT_EQ(s.GetPosition(), static_cast<int64_t>(c.bytes.size()));
    }
}

TEST(MStringTest, ReadingRefusesBadCounts) {
    const std::vector<uint8_t> cases[] = {
        {0xFF, 0xFF, 0xFF, 0xFF},               // negative
        {0x80, 0x96, 0x98, 0x00},               // 10,000,000: above the limit
        {0x7F, 0x96, 0x98, 0x00, 'A', 0, 0, 0}, // 9,999,999 but only 4 bytes follow
        {0x10, 0, 0, 0, 'A', 0, 'B', 0},        // 16 announced, 4 present
        {0x04, 0, 0},                           // cut inside the count
    };
    for (const auto& bytes : cases) {
        MStream s;
        Fill(s, bytes);
        MString str(u"old");
        EXPECT_FALSE(str.ReadFrom(s)) << golden::Hex(bytes, 0, 8);
        EXPECT_TRUE(str.Equals(u"old"));
    }
}

TEST(MStringTest, WritingRefusesWhatNoReaderAccepts) {
    MStream s;
    // 4,999,998 units are 9,999,998 bytes with the terminator: the longest readable string.
    MString longest(std::u16string(4'999'998, u'x'));
    ASSERT_TRUE(longest.WriteTo(s));
    MString tooLong(std::u16string(4'999'999, u'x'));
    EXPECT_FALSE(tooLong.WriteTo(s));
    s.Seek(0);
    MString back;
    ASSERT_TRUE(back.ReadFrom(s));
    EXPECT_EQ(back.Length(), 4'999'998);
}

TEST(MStringTest, Utf8Conversions) {
    const char* text = "Привет, мир € 𝄞";
    MString s(text);
    EXPECT_EQ(s.Length(), 16); // the clef is a surrogate pair
    EXPECT_EQ(s.ToUtf8(), text);
    EXPECT_EQ(MString(std::string("abc")).ToUtf8(), "abc");
    // Broken input: a lone continuation byte, a cut sequence, an overlong form, a surrogate.
    EXPECT_TRUE(MString("a\x80z").Equals(u"a\uFFFDz"));
    EXPECT_TRUE(MString("a\xD0").Equals(u"a\uFFFD"));
    EXPECT_TRUE(MString("\xC0\xAF").Equals(u"\uFFFD\uFFFD"));
    EXPECT_TRUE(MString("\xED\xA0\x80!").Equals(u"\uFFFD\uFFFD\uFFFD!"));
    // A lone surrogate has no UTF-8 form.
    EXPECT_EQ(MString(std::u16string(1, char16_t(0xD800))).ToUtf8(), "\xEF\xBF\xBD");
}

TEST(MStringTest, CodePageConversions) {
    MString s(u"Mo, мс Ёё");
    std::string cp = s.ToCodePage("CP1251");
    EXPECT_EQ(cp, std::string("Mo, \xEC\xF1 \xA8\xB8"));
    EXPECT_TRUE(MString::FromCodePage(cp, "CP1251").Equals(s.c_str()));
    // Characters the code page lacks become "?"; a surrogate pair is one character.
    EXPECT_EQ(MString(u"a中𝄞b").ToCodePage("CP1251"), "a??b");
    // 0x98 is the one undefined byte of Windows-1251.
    EXPECT_TRUE(MString::FromCodePage("a\x98z", "CP1251").Equals(u"a\uFFFDz"));
    EXPECT_EQ(MString(u"ё").ToCodePage("UTF-8"), "ё");
    EXPECT_EQ(MString(u"abc").ToCodePage("NO-SUCH-CODE-PAGE"), "");
    EXPECT_TRUE(MString::FromCodePage("abc", "NO-SUCH-CODE-PAGE").IsEmpty());
    // A long text grows the output buffer.
    MString longText(std::u16string(10000, u'Ж'));
    EXPECT_EQ(longText.ToCodePage("CP1251"), std::string(10000, '\xC6'));
}

} // namespace
