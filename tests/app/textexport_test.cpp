#include "app/TextExport.h"

#include "analysis/ParamTable.h"
#include "analysis/VariabilityCore.h"
#include "core/MVarArray.h"
#include "storage/PGFiles.h"
#include "tests/app/TextTestUtil.h"
#include "tests/common/Golden.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

using apptest::TempDir;

// CP1251 bytes of UTF-8 text (the expected texts are written in UTF-8 here).
std::string Cp(const std::string& utf8) {
    return MString(std::string_view(utf8)).ToCodePage("CP1251");
}

std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

// 12 s of an imported-style record (10 ms samples in blocks of 50). The level changes every
// second at x.05 s and cycles 0.5, 0.75, 0.25 from 0.05 s; beats at 0.5, 1.5 ... 11.5 s at 60/min.
// Time stamps at 3.5, 6.5 and 9.5 s.
apptest::RecordPlan GoldenRecord() {
    apptest::RecordPlan plan;
    plan.samples = 1200;
    plan.period = 0.01;
    plan.block = 50;
    plan.value = [](int64_t k) { return 0.25 * double(1 + ((k + 95) / 100) % 3); };
    for (int k = 0; k < 12; ++k) plan.beats.push_back({k + 0.5, 60.0});
    plan.metadata = {
        {"PatName", "Иванов"}, {"RecordStartT", "1700000000"}, {"Start GetTickCount()", "123456"}};
    return plan;
}

class TextExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        if (tz) m_oldTz = tz, m_hadTz = true;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        m_record = m_dir.File("rec.pwv");
        apptest::WriteRecord(m_record, GoldenRecord());
    }
    void TearDown() override {
        if (m_hadTz)
            ::setenv("TZ", m_oldTz.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

    // Exports the golden record with the options; the file's bytes.
    std::string Export(const ExportOptions& o, ExportResult* result = nullptr) {
        PGFiles rec;
        EXPECT_TRUE(rec.Open(MString(std::string_view(m_record)), PGFiles::OpenMode::ReadOnly));
        const std::string out = m_dir.File("out.txt");
        const ExportResult r = WriteExport(MString(std::string_view(out)), o, rec);
        EXPECT_TRUE(r.ok) << r.reason;
        if (result) *result = r;
        return apptest::ReadFile(out);
    }

    TempDir m_dir;
    std::string m_record;
    std::string m_oldTz;
    bool m_hadTz = false;
};

const std::string kStartInfo = "Запись произведена:\r\n14.11.2023 22:13:20\r\n"
                               "Метка начала записи time(nullptr):\r\n1700000000\r\n"
                               "Метка начала записи GetTickCount():\r\n123456\r\n";

TEST_F(TextExportTest, AllPartsGolden) {
    ExportOptions o;
    o.sampleF = 10;
    o.delimiter = u";";
    o.timeStamps = true;
    o.start = 4;
    o.end = 6;
    ExportResult r;
    const std::string actual = Export(o, &r);

    // 2 s at 10 Hz: one piece; the header counts trunc(2 / 0.1) = 20 samples, the stepping loop
    // writes 21 (its last time is a hair below 6 s).
    std::string stamps;
    for (int i = 0; i <= 20; ++i) stamps += std::to_string(4'000'000 + 100'000 * i) + ";";
    const std::string amps = "500;" + Repeat("750;", 10) + Repeat("250;", 10);
    const std::string expected =
        Cp(kStartInfo +
           "Начало фрагмента (относительно начала записи, сек):\r\n4\r\n"
           "Длительность фрагмента (сек):\r\n2\r\n"
           "Значения выражены в условных единицах. Частота дискретизации (Гц):\r\n10\r\n"
           "Количество экспортированных сэмплов:\r\n20\r\n"
           "Метки времени сэмплов выражены в микросекундах.\r\n"
           "#Time\r\n" +
           stamps + "\r\n#Amp\r\n" + amps +
           "\r\n\r\n"
           "Количество экспортированных кардиоинтервалов:\r\n2\r\n"
           "Длительности кардиоинтервалов выражены в миллисекундах:\r\n"
           "1000;1000;\r\n\r\n\r\n");
    EXPECT_TRUE(golden::Bytes("export_all_parts", Bytes(expected), Bytes(actual)));
    // Windows-1251, not UTF-8: "Запись" is six bytes.
    ASSERT_GE(actual.size(), 6u);
    EXPECT_EQ(Bytes(actual.substr(0, 6)), (std::vector<uint8_t>{0xC7, 0xE0, 0xEF, 0xE8, 0xF1, 0xFC}));
    EXPECT_EQ(r.samples, 20);
    EXPECT_EQ(r.rrIntervals, 2);
    EXPECT_EQ(r.parameters, 0); // 3 beats make no table
}

TEST_F(TextExportTest, DelimiterCasesGolden) {
    struct Case {
        const char16_t* typed; // as typed in the view's field
        std::string separator; // what follows each value
    };
    const Case cases[] = {{u"n", "\r\n"}, {u";", ";"}, {u"", " "}, {u"\tn", "\t\r\n"}, {u"ж", "ж"}};
    for (const Case& c : cases) {
        ExportOptions o;
        ApplyExportDelimiterText(o, c.typed, nullptr);
        o.sampleF = 10;
        o.rr = false;
        o.start = 4;
        o.end = 6;
        const std::string amps =
            "500" + c.separator + Repeat("750" + c.separator, 10) + Repeat("250" + c.separator, 10);
        const std::string expected =
            Cp(kStartInfo +
               "Начало фрагмента (относительно начала записи, сек):\r\n4\r\n"
               "Длительность фрагмента (сек):\r\n2\r\n"
               "Значения выражены в условных единицах. Частота дискретизации (Гц):\r\n10\r\n"
               "Количество экспортированных сэмплов:\r\n20\r\n"
               "#Amp\r\n" +
               amps + "\r\n\r\n");
        EXPECT_TRUE(golden::Bytes("export_delimiter", Bytes(expected), Bytes(Export(o))))
            << MString(c.typed).ToUtf8();
    }
}

TEST_F(TextExportTest, RRPartAloneWithTable) {
    // 20 s with beats at k + 0.5 s alternating 60 and 75 per minute (1000 and 800 ms).
    apptest::RecordPlan plan = GoldenRecord();
    plan.samples = 2000;
    plan.beats.clear();
    for (int k = 0; k < 20; ++k) plan.beats.push_back({k + 0.5, k % 2 ? 75.0 : 60.0});
    apptest::WriteRecord(m_record, plan);
    ExportOptions o;
    o.pulse = false;
    o.start = 4;
    o.end = 18;
    ExportResult r;
    const std::string actual = Export(o, &r);

    // The series starts at the first time stamp (3.5 s): the beats written before it are not
    // read. The fragment is the index range from the first beat at or after 4 s (4.5) to the
    // first at or after 18 s (18.5): 14 intervals listed, 15 beats analysed.
    VariabilityCore core;
    for (int k = 3; k < 20; ++k) core.AddBeat(float(k + 0.5), k % 2 ? 75.0f : 60.0f);
    core.Compute(core.IndexAtTime(4), core.IndexAtTime(18));
    std::string table;
    ForEachParamRow(core.Table(), [&](const ParamRowView& row) {
        table += row.Name().ToUtf8() + " = " + row.ValueText().ToUtf8() + "\r\n";
    });
    ASSERT_FALSE(table.empty());
    const std::string expected = Cp(kStartInfo +
                                    "Начало фрагмента (относительно начала записи, сек):\r\n4\r\n"
                                    "Длительность фрагмента (сек):\r\n14\r\n"
                                    "Количество экспортированных кардиоинтервалов:\r\n14\r\n"
                                    "Длительности кардиоинтервалов выражены в миллисекундах:\r\n" +
                                    Repeat("1000 800 ", 7) + "\r\n\r\n" + table + "\r\n");
    EXPECT_TRUE(golden::Bytes("export_rr_table", Bytes(expected), Bytes(actual)));
    EXPECT_EQ(r.rrIntervals, 14);
    EXPECT_EQ(r.parameters, core.Table().Count());
    // The alternation shows in the table: every successive difference is 200 ms.
    EXPECT_NE(table.find("PNN50, % = 100\r\n"), std::string::npos) << table;
}

TEST_F(TextExportTest, NothingToWriteLeavesAnEmptyFile) {
    ExportOptions o;
    o.pulse = false;
    o.start = 4;
    o.end = 4.2; // no complete RR interval
    EXPECT_EQ(Export(o), "");
    o.rr = false;
    EXPECT_EQ(Export(o), "");
}

TEST_F(TextExportTest, RecordWithoutMetadataAndReversedFragment) {
    apptest::RecordPlan plan = GoldenRecord();
    plan.metadata.clear();
    apptest::WriteRecord(m_record, plan);
    ExportOptions o;
    o.rr = false;
    o.start = 6;
    o.end = 4; // an end before the start is an empty fragment
    const std::string expected =
        Cp("Начало фрагмента (относительно начала записи, сек):\r\n6\r\n"
           "Длительность фрагмента (сек):\r\n0\r\n"
           "Значения выражены в условных единицах. Частота дискретизации (Гц):\r\n100\r\n"
           "Количество экспортированных сэмплов:\r\n0\r\n"
           "#Amp\r\n\r\n\r\n");
    EXPECT_TRUE(golden::Bytes("export_reversed", Bytes(expected), Bytes(Export(o))));
}

TEST_F(TextExportTest, PiecesOfAMinute) {
    // 60 s at 100 Hz: 6000 samples, two pieces of 30 s; each block gets its values.
    apptest::RecordPlan plan;
    plan.samples = 7000;
    plan.period = 0.01;
    plan.value = [](int64_t) { return 0.5; };
    apptest::WriteRecord(m_record, plan);
    ExportOptions o;
    o.rr = false;
    o.timeStamps = true;
    o.start = 3;
    o.end = 63;
    ExportResult r;
    const std::string text = Export(o, &r);
    EXPECT_EQ(r.samples, 6000);
    const size_t time = text.find("#Time\r\n"), amp = text.find("#Amp\r\n");
    ASSERT_NE(time, std::string::npos);
    ASSERT_NE(amp, std::string::npos);
    const std::string stamps = text.substr(time + 7, amp - time - 7);
    const std::string amps = text.substr(amp + 6);
    const size_t values = size_t(std::count(amps.begin(), amps.end(), ' '));
    EXPECT_GE(values, 6000u);
    EXPECT_LE(values, 6002u); // at most one more per piece
    EXPECT_EQ(size_t(std::count(stamps.begin(), stamps.end(), ' ')), values);
    EXPECT_EQ(stamps.substr(0, 8), "3000000 "); // trunc(S x 1e6 + 0.5)
    EXPECT_EQ(amps.substr(0, 4), "500 ");
}

TEST_F(TextExportTest, LongPiecesKeepEveryInputSample) {
    // 600 s of a live record (2 ms samples): at 10 Hz a piece spans 290 s, 145,000 input samples.
    // The level steps every 10 s through five values.
    apptest::RecordPlan plan;
    plan.samples = 300'000;
    plan.period = 0.002;
    plan.block = 28;
    plan.value = [](int64_t k) { return 0.0625 + 0.125 * double((k / 5000) % 5); };
    apptest::WriteRecord(m_record, plan);
    ExportOptions o;
    o.rr = false;
    o.sampleF = 10;
    o.start = 10;
    o.end = 590;
    ExportResult r;
    const std::string text = Export(o, &r);
    EXPECT_EQ(r.samples, 5800);
    const size_t amp = text.find("#Amp\r\n");
    ASSERT_NE(amp, std::string::npos);
    std::vector<int> values;
    for (size_t p = amp + 6; p < text.size() && text[p] != '\r';) {
        const size_t sp = text.find(' ', p);
        values.push_back(std::atoi(text.c_str() + p));
        p = sp + 1;
    }
    ASSERT_GE(values.size(), 5800u);
    // Piece k spans [10 + 290 k, 10 + 290 (k + 1)); its output times step by 0.1 s from its start.
    const int levels[] = {62, 187, 312, 437, 562};
    int checked = 0;
    size_t i = 0;
    for (int piece = 0; piece < 2; ++piece) {
        const double t0 = 10 + 290.0 * piece, t1 = t0 + 290.0;
        for (double q = t0; q < t1; q += 0.1, ++i) {
            ASSERT_LT(i, values.size());
            const double inStep = std::fmod(q, 10.0);
            if (inStep < 0.05 || inStep > 9.95) continue; // a level change lies next to q
            ASSERT_EQ(values[i], levels[int(q / 10) % 5]) << "at " << q << " s";
            ++checked;
        }
    }
    EXPECT_EQ(i, values.size());
    EXPECT_GT(checked, 5000);
}

TEST_F(TextExportTest, FailuresAreReported) {
    PGFiles rec;
    ASSERT_TRUE(rec.Open(MString(std::string_view(m_record)), PGFiles::OpenMode::ReadOnly));
    ExportOptions o;
    o.start = 4;
    o.end = 6;
    ExportResult r = WriteExport(MString(std::string_view(m_dir.File("no/such/folder.txt"))), o, rec);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message.ToUtf8(), MString(kExportCreateFailedMessage).ToUtf8());
    // Written bytes that do not reach the disk fail the export instead of passing for success.
    r = WriteExport(MString(u"/dev/full"), o, rec);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message.ToUtf8(), MString(kExportWriteFailedMessage).ToUtf8());
    EXPECT_NE(r.reason.find("No space"), std::string::npos) << r.reason;
}

TEST(ExportOptionsTest, SettingsDefaultsAndStoredValues) {
    MVarArray settings;
    ExportOptions o;
    LoadExportOptions(settings, o);
    EXPECT_EQ(o.sampleF, 100);
    EXPECT_EQ(o.delimiter.ToUtf8(), " ");
    EXPECT_TRUE(o.pulse);
    EXPECT_TRUE(o.rr);
    EXPECT_FALSE(o.timeStamps);
    EXPECT_EQ(settings.Count(), 0); // reading inserts nothing

    settings.Item(MVariant(kExportSampleFKey)).Value() = MVariant(int32_t(250));
    settings.Item(MVariant(kExportDelimiterKey)).Value() = MVariant(u";\r\n");
    settings.Item(MVariant(kExportPulseKey)).Value() = MVariant(int32_t(0));
    settings.Item(MVariant(kExportRRKey)).Value() = MVariant(int32_t(7));
    settings.Item(MVariant(kExportTimeStampsKey)).Value() = MVariant(int32_t(1));
    LoadExportOptions(settings, o);
    EXPECT_EQ(o.sampleF, 250);
    EXPECT_EQ(o.delimiter.ToUtf8(), ";\r\n");
    EXPECT_FALSE(o.pulse);
    EXPECT_TRUE(o.rr); // any value but 0
    EXPECT_TRUE(o.timeStamps);
    EXPECT_EQ(ExportDelimiterEditText(o.delimiter).ToUtf8(), ";n");

    // A hand-edited rate outside what the view and the command line store is clamped.
    for (const auto& [stored, loaded] : {std::pair{0, 10}, {-5, 10}, {9000, 5000}, {5000, 5000}}) {
        settings.Item(MVariant(kExportSampleFKey)).Value() = MVariant(int32_t(stored));
        LoadExportOptions(settings, o);
        EXPECT_EQ(o.sampleF, loaded) << stored;
    }
}

TEST(ExportOptionsTest, ViewFieldRules) {
    MVarArray settings;
    ExportOptions o;
    struct RateCase {
        const char16_t* text;
        bool taken;
        double rate;
    };
    const RateCase rates[] = {{u"150", true, 150},   {u"5", true, 10},      {u"3000", true, 2000},
                              {u"abc", false, 2000}, {u"12a", false, 2000}, {u"", false, 2000}};
    for (const RateCase& c : rates) {
        EXPECT_EQ(ApplyExportRateText(o, c.text, &settings), c.taken) << MString(c.text).ToUtf8();
        EXPECT_EQ(o.sampleF, c.rate) << MString(c.text).ToUtf8();
    }
    const MVarArray* stored = settings.Find(MVariant(kExportSampleFKey));
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(stored->Value().GetType(), MVariant::kInt); // a whole number is kept as int32
    EXPECT_EQ(stored->Value().AsInt(), 2000);

    const std::pair<const char16_t*, const char*> delimiters[] = {
        {u"n", "\r\n"}, {u";", ";"}, {u"", " "}, {u"anbn", "a\r\nb\r\n"}, {u"5", "5"}, {u" 1 ", " 1 "}};
    for (const auto& [typed, delimiter] : delimiters) {
        ApplyExportDelimiterText(o, typed, &settings);
        EXPECT_EQ(o.delimiter.ToUtf8(), delimiter);
        // Stored as text, so that reading it back gives the same delimiter.
        ExportOptions back;
        LoadExportOptions(settings, back);
        EXPECT_EQ(back.delimiter.ToUtf8(), delimiter);
    }

    o.pulse = false;
    o.rr = true;
    o.timeStamps = true;
    StoreExportSwitches(o, settings);
    for (const auto& [key, value] :
         {std::pair{kExportPulseKey, 0}, {kExportRRKey, 1}, {kExportTimeStampsKey, 1}}) {
        const MVarArray* c = settings.Find(MVariant(key));
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(c->Value().GetType(), MVariant::kInt);
        EXPECT_EQ(c->Value().AsInt(), value);
    }
}

TEST(ExportOptionsTest, FragmentPositionsAndSizeEstimate) {
    ExportOptions o;
    EXPECT_EQ(ApplyExportFragmentPositions(o, 10, 50, 57.5), 50);
    EXPECT_EQ(o.start, 10);
    EXPECT_EQ(ApplyExportFragmentPositions(o, 30, 20, 57.5), 35);   // end pushed to start + 5
    EXPECT_EQ(ApplyExportFragmentPositions(o, 55, 20, 57.5), 57.5); // but not beyond the record
    EXPECT_EQ(o.end, 57.5);

    o.start = 0;
    o.end = 100;
    o.sampleF = 100;
    o.delimiter = u" ";
    // 100 s x 100 Hz x 4 + 100 s x 1.3 x 4 = 40,520 bytes.
    EXPECT_DOUBLE_EQ(ExportSizeEstimate(o), 40'520);
    EXPECT_EQ(ExportSizeText(ExportSizeEstimate(o)).ToUtf8(), "40 kB");
    o.timeStamps = true; // + 100 x 100 x 9
    EXPECT_DOUBLE_EQ(ExportSizeEstimate(o), 130'520);
    o.pulse = o.rr = o.timeStamps = false;
    EXPECT_EQ(ExportSizeText(ExportSizeEstimate(o)).ToUtf8(), "0 kB");
    o.rr = true;
    o.delimiter = u"\r\n";
    EXPECT_DOUBLE_EQ(ExportSizeEstimate(o), 100 * 1.3 * 5);
}

TEST(ExportOptionsTest, WholeRecordFragment) {
    TempDir dir;
    apptest::WriteRecord(dir.File("r.pwv"), GoldenRecord());
    PGFiles rec;
    ASSERT_TRUE(rec.Open(MString(std::string_view(dir.File("r.pwv"))), PGFiles::OpenMode::ReadOnly));
    ExportOptions o;
    SetWholeRecordFragment(o, rec);
    EXPECT_EQ(o.start, 3); // trunc(3.5)
    EXPECT_EQ(o.end, 9);   // trunc(9.5)
    rec.Close();
    SetWholeRecordFragment(o, rec); // closed: no time range
    EXPECT_EQ(o.start, 0);
    EXPECT_EQ(o.end, 0);
}

} // namespace
