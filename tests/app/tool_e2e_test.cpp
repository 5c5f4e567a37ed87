// End-to-end tests of the batch tool: the real corvina-tool executable runs as a child process with
// its own configuration folder.

#include "app/TextExport.h"
#include "app/TextImport.h"
#include "core/MFileStream.h"
#include "core/MVarArray.h"
#include "storage/MMuxer.h"
#include "storage/PGFiles.h"
#include "tests/app/TextTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#ifndef CORVINA_TOOL_EXE
#error "CORVINA_TOOL_EXE must name the corvina-tool executable"
#endif

namespace {

using apptest::RunResult;
using apptest::TempDir;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The number after "key": in JSON text; NaN when absent.
double JsonValue(const std::string& json, const std::string& key, size_t from = 0) {
    const size_t at = json.find("\"" + key + "\": ", from);
    if (at == std::string::npos) return NAN;
    return std::strtod(json.c_str() + at + key.size() + 4, nullptr);
}

// A minute of a pulse-like record: 10 ms samples, beats every 0.8 s alternating 72 and 78 per
// minute, patient metadata.
apptest::RecordPlan MinuteRecord() {
    apptest::RecordPlan plan;
    plan.samples = 6000;
    plan.period = 0.01;
    plan.value = [](int64_t k) { return (apptest::PulseValue(double(k) * 0.01, 75) - 500) / 400; };
    for (int k = 0; k < 74; ++k) plan.beats.push_back({0.4 + 0.8 * k, k % 2 ? 78.0 : 72.0});
    plan.metadata = {{"PatName", "Петров П. П."}, {"RecordStartT", "1700000000"}};
    return plan;
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_config = m_dir.File("config");
        ASSERT_EQ(::mkdir(m_config.c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(m_dir.File("home").c_str(), 0700), 0);
    }

    RunResult Tool(const std::vector<std::string>& args) {
        return apptest::Run(CORVINA_TOOL_EXE, args,
                            {"XDG_CONFIG_HOME=" + m_config, "HOME=" + m_dir.File("home"), "TZ=UTC"});
    }

    std::string Record(const std::string& name, const apptest::RecordPlan& plan = MinuteRecord()) {
        const std::string path = m_dir.File(name);
        apptest::WriteRecord(path, plan);
        return path;
    }

    std::string Text(const std::string& name, const std::string& content) {
        const std::string path = m_dir.File(name);
        apptest::WriteFile(path, content);
        return path;
    }

    // Saves application settings into the tool's configuration folder.
    void SaveSettings(const std::vector<std::pair<std::u16string, MVariant>>& values) {
        const std::string folder = m_config + "/Onyx.Corvina";
        ::mkdir(folder.c_str(), 0700);
        MVarArray root;
        for (const auto& [key, value] : values) root.Item(MVariant(MString(key))).Value().CopyFrom(value);
        ASSERT_TRUE(root.SaveToFile(MString(std::string_view(folder + "/Ini.bin"))));
    }

    TempDir m_dir;
    std::string m_config;
};

TEST_F(ToolTest, CommandsAndHelp) {
    RunResult r = Tool({});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Contains(r.err, "Usage: corvina-tool")) << r.err;
    r = Tool({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(Contains(r.out, "Commands:")) << r.out;
    r = Tool({"frobnicate"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(Contains(r.err, "unknown command 'frobnicate'")) << r.err;
    for (const char* command : {"import", "export", "analyze", "info"}) {
        r = Tool({command, "--help"});
        EXPECT_EQ(r.exitCode, 0) << command;
        EXPECT_TRUE(Contains(r.out, std::string("Usage: corvina-tool ") + command)) << r.out;
        EXPECT_TRUE(r.err.empty()) << r.err;
        r = Tool({command, "--bogus", "x"});
        EXPECT_EQ(r.exitCode, 2) << command;
        EXPECT_TRUE(Contains(r.err, "unknown option --bogus")) << r.err;
    }
}

TEST_F(ToolTest, ImportBadInput) {
    const std::string twelve = Text("twelve.txt", "10; 12 14; 20 11; 13 15; 19 16; 18 17; 10");
    const std::string dir = m_dir.Path();
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {{"import", dir + "/none.txt", "--rate", "100"}, 1, "cannot open"},
        {{"import", twelve, "--rate", "abc"}, 2, "--rate wants a whole number"},
        {{"import", twelve, "--rate", "5"}, 2, "--rate wants a whole number"},
        {{"import", twelve, "--rate", "10001"}, 2, "--rate wants a whole number"},
        {{"import", twelve, "--rate", "6.5"}, 2, "--rate wants a whole number"},
        {{"import", twelve}, 2, "--rate HZ is required"},
        {{"import", twelve, "--rate"}, 2, "needs a value"},
        {{"import", "--rate", "100"}, 2, "no input file"},
        {{"import", twelve, twelve, "--rate", "100"}, 2, "one input file"},
        // Twelve numbers at 6 Hz last 1.8 s: the import fails with the viewer's message.
        {{"import", twelve, "--rate", "6"}, 1, "Произошла какая-то ошибка при попытке импорта данных"},
        {{"import", twelve, "--rate", "6"}, 1, "more than 5 s are needed"},
        {{"import", Text("short.txt", "1 2 3"), "--rate", "100"}, 1, "at least 11 are needed"},
        {{"import",
          Text("flat.txt", "7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7 7"),
          "--rate", "6"},
         1,
         "all numbers are equal"},
        {{"import", dir, "--rate", "100"}, 1, "cannot open"},
    };
    for (const Case& c : cases) {
        const RunResult r = Tool(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[1] << " " << r.err;
        EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_FALSE(apptest::Exists(m_dir.File("twelve.pwv")));

    // Outputs that cannot be written.
    const std::string pulse = Text("pulse.txt", apptest::PulseText(20, 100, 70));
    for (const std::string& out :
         {dir + "/no/such/x.pwv", pulse + "/x.pwv", std::string("/proc/corvina.pwv")}) {
        const RunResult r = Tool({"import", pulse, "--rate", "100", "-o", out});
        EXPECT_EQ(r.exitCode, 1) << out;
        EXPECT_TRUE(Contains(r.err, "cannot create")) << r.err;
    }
    // A .pwv input would be replaced by its own import.
    const std::string rec = Record("rec.pwv");
    const std::string before = apptest::ReadFile(rec);
    RunResult r = Tool({"import", rec, "--rate", "100"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, "already has the extension .pwv")) << r.err;
    r = Tool({"import", pulse, "--rate", "100", "-o", pulse});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(apptest::ReadFile(rec), before);
}

TEST_F(ToolTest, ImportFiveMinutesThenAnalyze) {
    const double bpm = 66;
    const std::string source = Text("subject 7.csv", apptest::PulseText(300, 100, bpm, false));
    RunResult r = Tool({"import", source, "--rate", "100"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "30000 numbers")) << r.out;
    const std::string record = m_dir.File("subject 7.pwv");
    ASSERT_TRUE(apptest::Exists(record));

    r = Tool({"analyze", record, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const double hr = JsonValue(r.out, "<ЧСС(HR)>, уд/мин");
    EXPECT_NEAR(hr, bpm, 2) << r.out;
    EXPECT_NEAR(JsonValue(r.out, "beats"), 290 * bpm / 60, 10) << r.out; // fragment of about 290 s
    EXPECT_NEAR(JsonValue(r.out, "record_length_s"), 294, 1) << r.out;
    EXPECT_NEAR(JsonValue(r.out, "Mo, мс"), 60000 / bpm, 30) << r.out;
    EXPECT_LT(JsonValue(r.out, "СКО(SDNN), мс"), 30) << r.out; // a steady rhythm

    r = Tool({"analyze", record});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "<ЧСС(HR)>, уд/мин")) << r.out;
    EXPECT_TRUE(Contains(r.out, "(norm 55-85)")) << r.out;
}

TEST_F(ToolTest, ExportBadInput) {
    const std::string rec = Record("rec.pwv");
    const std::string dir = m_dir.Path();
    apptest::RecordPlan shortSpec = MinuteRecord();
    shortSpec.samples = 200; // 2 s: no time stamp
    const std::string shortRec = Record("short.pwv", shortSpec);
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {{"export", dir + "/none.pwv"}, 1, "cannot open"},
        {{"export", Text("notes.txt", "not a record\n")}, 1, "is not a record file"},
        {{"export", Text("empty.pwv", "")}, 1, "is not a record file"},
        {{"export", dir}, 1, "is a folder"},
        {{"export", shortRec}, 1, "has no time range"},
        {{"export", rec, "--rate", "9"}, 2, "--rate wants a whole number of Hz from 10 to 5000"},
        {{"export", rec, "--rate", "5001"}, 2, "--rate wants"},
        {{"export", rec, "--rate", "1e2"}, 2, "--rate wants"},
        {{"export", rec, "--from", "abc"}, 2, "--from wants seconds"},
        {{"export", rec, "--to", "-3"}, 2, "--to wants seconds"},
        {{"export", rec, "--from", "500"}, 2, "is empty"},
        {{"export", rec, "--from", "20", "--to", "10"}, 2, "is empty"},
        {{"export", rec, "--delimiter", ""}, 2, "--delimiter wants 1 to 4 characters"},
        {{"export", rec, "--delimiter", "abcde"}, 2, "--delimiter wants"},
        {{"export", rec, "--pulse=1"}, 2, "takes no value"},
        {{"export"}, 2, "no record file"},
        {{"export", rec, "-o", dir + "/no/such/out.txt"}, 1, "Ошибка! Не удается создать указанный файл!"},
        {{"export", rec, "-o", "/dev/full"}, 1, "Ошибка! Не удается записать данные в указанный файл!"},
        {{"export", rec, "-o", rec}, 1, "would replace the record"},
    };
    for (const Case& c : cases) {
        const RunResult r = Tool(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << (c.args.size() > 2 ? c.args[2] : "") << " " << r.err;
        EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
    }
    EXPECT_FALSE(apptest::Exists(m_dir.File("rec.txt")));
}

TEST_F(ToolTest, ExportWritesTheViewsText) {
    const std::string rec = Record("rec.pwv");
    RunResult r = Tool({"export", rec, "--from", "10", "--to", "20", "--timestamps"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string text = apptest::ReadFile(m_dir.File("rec.txt"));
    const std::string utf8 = MString::FromCodePage(text, "CP1251").ToUtf8();
    EXPECT_EQ(text.substr(0, 6), MString(u"Запись").ToCodePage("CP1251"));
    EXPECT_TRUE(Contains(utf8, "Начало фрагмента (относительно начала записи, сек):\r\n10\r\n")) << utf8;
    EXPECT_TRUE(Contains(utf8, "Количество экспортированных сэмплов:\r\n1000\r\n")) << utf8;
    EXPECT_TRUE(Contains(utf8, "#Time\r\n10000000 10010000 ")) << utf8.substr(0, 600);
    EXPECT_TRUE(Contains(utf8, "Количество экспортированных кардиоинтервалов:\r\n13\r\n"));
    EXPECT_TRUE(Contains(utf8, "833 769 833 769 ")) << utf8; // 72 and 78 per minute
    EXPECT_TRUE(Contains(utf8, "\r\n<ЧСС(HR)>, уд/мин = 75")) << utf8;
    EXPECT_TRUE(Contains(r.out, "1000 samples at 100 Hz")) << r.out;

    // Saved export settings are the defaults; options win over them; --no-settings ignores them.
    SaveSettings({{u"ExportDelimiter", MVariant(u";")},
                  {u"ExportSampleF", MVariant(int32_t(50))},
                  {u"HRateCBChecked", MVariant(int32_t(0))}});
    const std::string out = m_dir.File("out.txt");
    r = Tool({"export", rec, "-o", out, "--from", "10", "--to", "12"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::string t = MString::FromCodePage(apptest::ReadFile(out), "CP1251").ToUtf8();
    EXPECT_TRUE(Contains(t, "(Гц):\r\n50\r\n")) << t;
    EXPECT_TRUE(Contains(t, "#Amp\r\n")) << t;
    EXPECT_TRUE(Contains(t.substr(t.find("#Amp")), ";")) << t;
    EXPECT_FALSE(Contains(t, "кардиоинтервалов")) << t;

    r = Tool(
        {"export", rec, "-o", out, "--from", "10", "--to", "12", "--rr", "--delimiter", "n", "--rate", "20"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    t = MString::FromCodePage(apptest::ReadFile(out), "CP1251").ToUtf8();
    EXPECT_TRUE(Contains(t, "(Гц):\r\n20\r\n")) << t;
    EXPECT_TRUE(Contains(t, "кардиоинтервалов")) << t;
    EXPECT_FALSE(Contains(t, ";")) << t;

    r = Tool({"export", rec, "-o", out, "--from", "10", "--to", "12", "--no-settings"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    t = MString::FromCodePage(apptest::ReadFile(out), "CP1251").ToUtf8();
    EXPECT_TRUE(Contains(t, "(Гц):\r\n100\r\n")) << t;
    EXPECT_TRUE(Contains(t, "кардиоинтервалов")) << t;

    r = Tool({"export", rec, "-o", out, "--no-pulse", "--no-rr"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(apptest::ReadFile(out), "");
}

TEST_F(ToolTest, AnalyzeSeveralRecords) {
    const std::string a = Record("a.pwv");
    apptest::RecordPlan fewBeats = MinuteRecord();
    fewBeats.beats.resize(8);
    const std::string b = Record("b.pwv", fewBeats);
    const std::string missing = m_dir.File("missing.pwv");

    RunResult r = Tool({"analyze", a, missing, b, "--csv"});
    EXPECT_EQ(r.exitCode, 1); // one record could not be analysed; the others are
    EXPECT_TRUE(Contains(r.err, "cannot open " + missing)) << r.err;
    std::vector<std::string> lines;
    for (size_t p = 0, e; (e = r.out.find('\n', p)) != std::string::npos; p = e + 1)
        lines.push_back(r.out.substr(p, e - p));
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0].rfind("file,record_length_s,from_s,to_s,beats,beats_in_record,rr_intervals,", 0), 0u);
    EXPECT_TRUE(Contains(lines[0], "\"<ЧСС(HR)>, уд/мин\"")) << lines[0];
    EXPECT_EQ(lines[1].rfind(a + ",54,3,57,", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind(missing + ",,,,,,", 0), 0u) << lines[2];
    EXPECT_TRUE(Contains(lines[2], "cannot open")) << lines[2];
    EXPECT_EQ(lines[3].rfind(b + ",54,3,57,", 0), 0u) << lines[3];
    // Every row has as many fields as the header (the quoted names hold a comma each, no value does).
    const auto commas = [](const std::string& s) { return std::count(s.begin(), s.end(), ','); };
    const auto header = commas(lines[0]) - std::count(lines[0].begin(), lines[0].end(), '"') / 2;
    for (size_t i = 1; i < 4; ++i)
        EXPECT_EQ(commas(lines[i]) - std::count(lines[i].begin(), lines[i].end(), '"') / 2, header)
            << lines[i];

    r = Tool({"analyze", a, b, "--json", "--from", "10", "--to", "40"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(JsonValue(r.out, "from_s"), 10);
    EXPECT_EQ(JsonValue(r.out, "to_s"), 40);
    EXPECT_NEAR(JsonValue(r.out, "<ЧСС(HR)>, уд/мин"), 75, 0.5);
    EXPECT_EQ(JsonValue(r.out, "PNN50, %"), 100); // every step is 64 ms
    const size_t second = r.out.find("\"file\": \"" + b);
    ASSERT_NE(second, std::string::npos);
    EXPECT_TRUE(Contains(r.out.substr(second), "\"parameters\": {}")) << r.out; // 8 beats: no table

    for (const std::vector<std::string>& bad : {std::vector<std::string>{"analyze", a, "--json", "--csv"},
                                                {"analyze", a, "--from", "x"},
                                                {"analyze"}}) {
        r = Tool(bad);
        EXPECT_EQ(r.exitCode, 2) << r.err;
    }
    r = Tool({"analyze", Text("x.txt", "1 2 3")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, "is not a record file")) << r.err;
}

TEST_F(ToolTest, InfoShowsWhatTheRecordHolds) {
    const std::string rec = Record("rec.pwv");
    RunResult r = Tool({"info", rec});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "length: 54 s (time stamps 3.5 ... 57.5 s)")) << r.out;
    EXPECT_TRUE(Contains(r.out, "start: 2023-11-14 22:13:20 +0000 (RecordStartT 1700000000)")) << r.out;
    EXPECT_TRUE(Contains(r.out, "PatName = Петров П. П.")) << r.out;
    EXPECT_TRUE(Contains(r.out, "sample blocks     120\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "heart rates       74\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "time stamps       19\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "metadata          1\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "samples: 6000\n")) << r.out;
    EXPECT_TRUE(Contains(r.out, "skipped damaged bytes: 0\n")) << r.out;

    r = Tool({"info", rec, "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(JsonValue(r.out, "heart_rates"), 74);
    EXPECT_EQ(JsonValue(r.out, "skipped_bytes"), 0);

    // Damage: bytes that belong to no chunk are counted.
    std::string bytes = apptest::ReadFile(rec);
    const std::string damaged =
        Text("damaged.pwv",
             bytes.substr(0, bytes.size() / 2) + std::string(17, '\x01') + bytes.substr(bytes.size() / 2));
    r = Tool({"info", damaged});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const size_t at = r.out.find("skipped damaged bytes: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_GE(std::atoi(r.out.c_str() + at + 23), 17) << r.out;

    for (const std::string& bad : {m_dir.File("none.pwv"), Text("t.txt", "GGGG"), m_dir.Path()}) {
        r = Tool({"info", bad});
        EXPECT_EQ(r.exitCode, 1) << bad;
        EXPECT_FALSE(r.err.empty());
    }
    r = Tool({"info", rec, rec});
    EXPECT_EQ(r.exitCode, 2);
}

TEST_F(ToolTest, ReadingCommandsLeaveTheRecordUntouched) {
    // A record whose metadata chunk is not its last chunk: a reader that stored the metadata on
    // closing would append it and change the file.
    const std::string rec = Record("rec.pwv");
    {
        const int fd = ::open(rec.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        MFileStream stream;
        ASSERT_TRUE(stream.Attach(fd, false));
        MMuxer mux;
        mux.SetStream(&stream);
        ASSERT_TRUE(mux.Last());
        ASSERT_EQ(mux.StreamId(), PGFiles::kMetadataId);
        const uint8_t hr[8] = {0x60, 0xEA, 0, 0, 0x4C, 0x1D, 0, 0}; // 60 s, 75.00 per minute
        ASSERT_TRUE(mux.WriteChunk(PGFiles::kHeartRateId, hr, 8, true));
        stream.Detach();
        ::close(fd);
    }
    const timespec old[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, rec.c_str(), old, 0), 0);
    const std::string before = apptest::ReadFile(rec);
    auto unchanged = [&](const char* after) {
        struct stat st {};
        ASSERT_EQ(::stat(rec.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1'000'000'000) << after;
        EXPECT_EQ(st.st_mtim.tv_nsec, 0) << after;
        EXPECT_TRUE(apptest::ReadFile(rec) == before) << after;
    };

    EXPECT_EQ(Tool({"export", rec, "-o", m_dir.File("x.txt"), "--timestamps"}).exitCode, 0);
    unchanged("export");
    SaveSettings({{u"AutoCorrectIsoline", MVariant(int32_t(1))}});
    EXPECT_EQ(Tool({"export", rec, "-o", m_dir.File("x.txt")}).exitCode, 0);
    unchanged("isoline-corrected export");
    EXPECT_EQ(Tool({"analyze", rec, "--json"}).exitCode, 0);
    unchanged("analyze");
    EXPECT_EQ(Tool({"info", rec}).exitCode, 0);
    unchanged("info");

    // The check above would see a change: the application's own reading mode stores metadata.
    PGFiles viewer;
    ASSERT_TRUE(viewer.Open(MString(std::string_view(rec))));
    viewer.Close();
    EXPECT_NE(apptest::ReadFile(rec), before);
}

} // namespace
