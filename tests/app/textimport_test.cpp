#include "app/TextImport.h"

#include "core/MString.h"
#include "storage/PGFiles.h"
#include "tests/app/TextTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

using apptest::TempDir;

std::vector<double> Numbers(std::string_view text, int64_t* skipped = nullptr) {
    TextNumbers n;
    ParseTextNumbers(text, n);
    if (skipped) *skipped = n.skippedTokens;
    return n.values;
}

// Every sample and heart-rate entry of a record, read back from its start.
struct RecordContent {
    double start = -1, end = -1;
    std::vector<double> values, times;
    std::vector<double> hr, hrTimes;
};

RecordContent ReadBack(const std::string& path) {
    RecordContent c;
    double v[256], t[256];
    {
        // From the first chunk on (a seek would start at the first time stamp).
        PGFiles rec;
        EXPECT_TRUE(rec.Open(MString(std::string_view(path)), PGFiles::OpenMode::ReadOnly));
        c.start = rec.StartTime();
        c.end = rec.EndTime();
        for (int32_t n; (n = rec.ReadRawSamples(v, t, 256)) > 0;) {
            c.values.insert(c.values.end(), v, v + n);
            c.times.insert(c.times.end(), t, t + n);
        }
    }
    PGFiles rec;
    EXPECT_TRUE(rec.Open(MString(std::string_view(path)), PGFiles::OpenMode::ReadOnly));
    for (int32_t n; (n = rec.ReadHeartRates(v, t, 256)) > 0;) {
        c.hr.insert(c.hr.end(), v, v + n);
        c.hrTimes.insert(c.hrTimes.end(), t, t + n);
    }
    return c;
}

TEST(TextImportTokens, ReadLikeTheStringConversion) {
    // The token reader must give what MString::ToDouble gives for the same token.
    const char* tokens[] = {"12",
                            "-3.5",
                            "+4,25",
                            "--5",
                            "5-3",
                            ".5",
                            "-.5",
                            "5.",
                            "1.2.3",
                            "007",
                            "0,001",
                            "-0",
                            "+-7",
                            "-+7",
                            "1,",
                            "3..4",
                            "9.-1",
                            "0.1",
                            "12345678901234567890",
                            "1234567890.12345678901",
                            "0.000000000000000000001",
                            "999999999999999.9",
                            "123456789012345",
                            "1234567890123456",
                            "4503599627370497"};
    for (const char* token : tokens) {
        double v = 0;
        ASSERT_TRUE(TextTokenValue(token, v)) << token;
        EXPECT_EQ(v, MString(token).ToDouble()) << token;
        EXPECT_EQ(std::signbit(v), std::signbit(MString(token).ToDouble())) << token;
    }
    // Random tokens of the token alphabet, long ones included.
    std::mt19937 rng(7);
    const char alphabet[] = "0123456789012345678901234567890123456789+-.,";
    for (int i = 0; i < 20000; ++i) {
        std::string token(size_t(1 + rng() % (i % 10 == 0 ? 60 : 12)), ' ');
        for (char& c : token) c = alphabet[rng() % (sizeof alphabet - 1)];
        double v = 0;
        if (TextTokenValue(token, v)) {
            ASSERT_EQ(v, MString(token.c_str()).ToDouble()) << token;
        }
    }
}

TEST(TextImportTokens, TokensThatAreNotNumbersAreSkipped) {
    const char* notNumbers[] = {"-", "+", ".", ",", "+-", ".,", "-.", "--,."};
    for (const char* token : notNumbers) {
        double v = 0;
        EXPECT_FALSE(TextTokenValue(token, v)) << token;
    }
    // A value beyond the double range is not a sample.
    double v = 0;
    EXPECT_FALSE(TextTokenValue(std::string(400, '9'), v));
    // One below the smallest double is 0, as the string conversion gives it.
    ASSERT_TRUE(TextTokenValue("0." + std::string(400, '0') + "1", v));
    EXPECT_EQ(v, 0.0);
}

TEST(TextImportParse, SeparatorsTokensAndTheLastNumber) {
    struct Case {
        const char* text;
        std::vector<double> values;
        int64_t skipped;
    };
    const Case cases[] = {
        {"1;2 3\n4\r\n5\t6", {1, 2, 3, 4, 5, 6}, 0},
        // The last number counts although no byte follows it.
        {"10 20 30", {10, 20, 30}, 0},
        {"7", {7}, 0},
        {"1,5;2,25", {1.5, 2.25}, 0},                          // "," as decimal separator
        {"1,2,3", {1.2}, 0},                                   // "," is part of a token: one token
        {"time value\n0 -1.5\n1 +2e3", {0, -1.5, 1, 2, 3}, 0}, // "e" separates
        {"a - b . c", {}, 2},
        {"Пульс: 72", {72}, 0}, // bytes of other text are separators
        {"", {}, 0},
        {"x1y2z", {1, 2}, 0},
    };
    for (const Case& c : cases) {
        int64_t skipped = -1;
        EXPECT_EQ(Numbers(c.text, &skipped), c.values) << c.text;
        EXPECT_EQ(skipped, c.skipped) << c.text;
    }
}

TEST(TextImportParse, ExtremesAndLimit) {
    TextNumbers n;
    ParseTextNumbers("3 -2 8 5", n);
    EXPECT_EQ(n.smallest, -2);
    EXPECT_EQ(n.largest, 8);
    // Values above the old starting bounds of the tracking are their own extremes.
    TextNumbers big;
    ParseTextNumbers("2000000000 3000000000", big);
    EXPECT_EQ(big.smallest, 2e9);
    EXPECT_EQ(big.largest, 3e9);

    TextNumbers limited;
    ParseTextNumbers("1 2 3 4 5", limited, 3);
    EXPECT_EQ(limited.values.size(), 3u);
    EXPECT_TRUE(limited.truncated);
    TextNumbers exact;
    ParseTextNumbers("1 2 3", exact, 3);
    EXPECT_FALSE(exact.truncated);
}

TEST(TextImportParse, SplitAnywhereGivesTheSameNumbersAsOneBlock) {
    const std::string text = "12.5;-3,25 7\n1e5 .5 --4 999";
    const std::vector<double> whole = Numbers(text);
    // ReadTextNumbers reads a file in one piece; a text cut at a separator adds up.
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        if (cut > 0 && cut < text.size() && text[cut] != ' ' && text[cut] != ';' && text[cut] != '\n')
            continue;
        TextNumbers n;
        ParseTextNumbers(std::string_view(text).substr(0, cut), n);
        ParseTextNumbers(std::string_view(text).substr(cut), n);
        EXPECT_EQ(n.values, whole) << cut;
    }
}

TEST(TextImportPaths, TargetGetsThePwvExtension) {
    const std::pair<const char16_t*, const char16_t*> cases[] = {
        {u"/data/a.txt", u"/data/a.pwv"},   {u"/data/a", u"/data/a.pwv"},
        {u"/d.x/a", u"/d.x/a.pwv"},         {u"a.tar.gz", u"a.tar.pwv"},
        {u"C:\\m\\a.csv", u"C:\\m\\a.pwv"}, {u"/data/a.PWV", u"/data/a.pwv"},
    };
    for (const auto& c : cases) EXPECT_EQ(ImportTargetPath(c.first).ToUtf8(), MString(c.second).ToUtf8());
}

TEST(TextImport, RefusedNumbersCreateNothing) {
    TempDir dir;
    struct Case {
        std::string text;
        int rate;
        const char* why;
    };
    std::string twelve;
    for (int i = 0; i < 12; ++i) twelve += std::to_string(10 + (i * 7) % 11) + (i % 2 ? "; " : " ");
    const Case cases[] = {
        {twelve, 6, "last only"},                   // 11 / 6 s = 1.83 s
        {"1 2 3 4 5 6 7 8 9 10", 6, "at least 11"}, // ten numbers
        {"5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5 5", 6, "equal"},
        {twelve, 5, "sample rate"},
        {twelve, 10001, "sample rate"},
        {"1 2 3 4 5 6 7 8 9 10 11 12 " + std::string(10, '-'), 2, "sample rate"},
    };
    for (const Case& c : cases) {
        const std::string source = dir.File("in.txt"), target = dir.File("in.pwv");
        apptest::WriteFile(source, c.text);
        PGFiles rec;
        const TextImportResult r =
            ImportTextFile(MString(std::string_view(source)), c.rate, MString(std::string_view(target)), rec);
        EXPECT_FALSE(r.ok) << c.why;
        EXPECT_NE(r.reason.find(c.why), std::string::npos) << r.reason;
        EXPECT_FALSE(apptest::Exists(target)) << c.why;
        EXPECT_EQ(apptest::ListFolder(dir.Path()), std::vector<std::string>{"in.txt"});
    }
    EXPECT_FALSE(MString(kImportFailedMessage).IsEmpty());
}

TEST(TextImport, FailedImportKeepsAnExistingTarget) {
    TempDir dir;
    const std::string source = dir.File("in.txt"), target = dir.File("old.pwv");
    apptest::WriteFile(target, "earlier record");
    apptest::WriteFile(source, "1 2 3");
    PGFiles rec;
    EXPECT_FALSE(
        ImportTextFile(MString(std::string_view(source)), 100, MString(std::string_view(target)), rec).ok);
    EXPECT_EQ(apptest::ReadFile(target), "earlier record");
}

TEST(TextImport, MissingUnreadableAndSameFile) {
    TempDir dir;
    PGFiles rec;
    TextImportResult r = ImportTextFile(MString(std::string_view(dir.File("none.txt"))), 100,
                                        MString(std::string_view(dir.File("none.pwv"))), rec);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.reason.find("cannot open"), std::string::npos) << r.reason;

    r = ImportTextFile(MString(std::string_view(dir.Path())), 100,
                       MString(std::string_view(dir.File("d.pwv"))), rec);
    EXPECT_FALSE(r.ok); // a folder

    const std::string same = dir.File("same.pwv");
    apptest::WriteFile(same, apptest::PulseText(10, 100, 70));
    r = ImportTextFile(MString(std::string_view(same)), 100, MString(std::string_view(same)), rec);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(apptest::ReadFile(same), apptest::PulseText(10, 100, 70));

    // A target in a folder that does not exist cannot be created; nothing is left behind.
    const std::string source = dir.File("in.txt");
    apptest::WriteFile(source, apptest::PulseText(10, 100, 70));
    r = ImportTextFile(MString(std::string_view(source)), 100,
                       MString(std::string_view(dir.File("no/out.pwv"))), rec);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.reason.find("cannot create"), std::string::npos) << r.reason;
}

TEST(TextImport, PulseTextBecomesARecordWithItsBeats) {
    TempDir dir;
    const std::string source = dir.File("pulse.csv"), target = dir.File("pulse.pwv");
    const double bpm = 72;
    // 60 s at 250 Hz, the last number without a line break after it.
    apptest::WriteFile(source, apptest::PulseText(60, 250, bpm, false));
    PGFiles rec;
    const TextImportResult r =
        ImportTextFile(MString(std::string_view(source)), 250, MString(std::string_view(target)), rec);
    ASSERT_TRUE(r.ok) << r.reason;
    EXPECT_EQ(r.values, 15000); // the last number is taken
    EXPECT_NEAR(r.duration, 14999.0 / 250, 1e-9);
    // Every 10 ms while t < 59.996 s: 6000 samples, the last (shorter) block included.
    EXPECT_EQ(r.samples, 6000);
    EXPECT_EQ(apptest::ListFolder(dir.Path()), (std::vector<std::string>{"pulse.csv", "pulse.pwv"}));

    const RecordContent c = ReadBack(target);
    ASSERT_EQ(c.values.size(), 6000u);
    EXPECT_NEAR(c.start, 3.5, 1e-9); // the first block starting after 3 s
    EXPECT_GT(c.end, 57.0);
    EXPECT_NEAR(c.times.back(), 59.99, 1e-6);
    // Rescaled to 0 ... 1 (stored with 4 decimals).
    EXPECT_GE(*std::min_element(c.values.begin(), c.values.end()), 0.0);
    EXPECT_LE(*std::max_element(c.values.begin(), c.values.end()), 1.0);
    EXPECT_GT(*std::max_element(c.values.begin(), c.values.end()), 0.99);
    // The resampled wave follows the input: compare at a few times.
    double vmin = 1e9, vmax = -1e9;
    for (int i = 0; i < 15000; ++i) {
        const double x = std::round(apptest::PulseValue(i / 250.0, bpm) * 100) / 100;
        vmin = std::min(vmin, x);
        vmax = std::max(vmax, x);
    }
    for (size_t i : {size_t(0), size_t(123), size_t(2999), size_t(5999)}) {
        const double t = double(i) * 0.01;
        const double expect = (apptest::PulseValue(t, bpm) - vmin) / (vmax - vmin);
        EXPECT_NEAR(c.values[i], expect, 0.01) << t;
    }
    // One heart-rate entry per beat, near the generated rate once the detector has settled.
    EXPECT_EQ(int64_t(c.hr.size()), r.beats);
    EXPECT_NEAR(double(c.hr.size()), 60 * bpm / 60, 3);
    for (size_t i = 5; i < c.hr.size(); ++i) EXPECT_NEAR(c.hr[i], bpm, 2) << i;
}

TEST(TextImport, LargeValuesKeepTheirShape) {
    // Raw counts of a 24-bit converter: offsets beyond a million must still rescale to 0 ... 1.
    TempDir dir;
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += std::to_string(8'000'000 + int(1000 * apptest::PulseValue(i / 100.0, 60))) + "\n";
    const std::string source = dir.File("raw.txt"), target = dir.File("raw.pwv");
    apptest::WriteFile(source, text);
    PGFiles rec;
    const TextImportResult r =
        ImportTextFile(MString(std::string_view(source)), 100, MString(std::string_view(target)), rec);
    ASSERT_TRUE(r.ok) << r.reason;
    const RecordContent c = ReadBack(target);
    ASSERT_FALSE(c.values.empty());
    EXPECT_NEAR(*std::min_element(c.values.begin(), c.values.end()), 0.0, 1e-3);
    EXPECT_NEAR(*std::max_element(c.values.begin(), c.values.end()), 1.0, 2e-3);
    // 20 s at 60 per minute; the detector needs a few beats to start.
    EXPECT_NEAR(double(c.hr.size()), 18, 3);
    for (size_t i = 5; i < c.hr.size(); ++i) EXPECT_NEAR(c.hr[i], 60, 2) << i;
}

TEST(TextImport, ExtremesTooFarApartForTheirDifference) {
    // Text cannot hold such values ("e" separates); they come from a long run of digits.
    TextNumbers n;
    for (int i = 0; i < 1000; ++i) n.values.push_back(i % 2 ? 1.5e308 : -1.5e308);
    n.smallest = -1.5e308;
    n.largest = 1.5e308;
    TempDir dir;
    PGFiles rec;
    const TextImportResult r = ImportTextNumbers(n, 100, MString(std::string_view(dir.File("x.pwv"))), rec);
    ASSERT_TRUE(r.ok) << r.reason;
    const RecordContent c = ReadBack(dir.File("x.pwv"));
    for (double v : c.values) ASSERT_TRUE(v >= 0.0 && v <= 1.0) << v;
}

} // namespace
