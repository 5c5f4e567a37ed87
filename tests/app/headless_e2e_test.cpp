// The real program as a child process, without a display, on the simulated Kestrel-9, each run
// with its own settings folder (XDG_CONFIG_HOME). The unattended runs take about half a minute:
// the regulator settles and the pulse is checked in real time.

#include "app/TextExport.h"
#include "core/MString.h"
#include "core/MVarArray.h"
#include "storage/PGFiles.h"
#include "tests/app/ShellTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using shelltest::Child;
using shelltest::TempDir;

constexpr auto kRunLimit = 90s;

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    size_t at = 0;
    for (;;) {
        const size_t next = text.find(separator, at);
        parts.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
        if (next == std::string::npos) return parts;
        at = next + separator.size();
    }
}

// The line after the one that equals `title`; empty when there is none.
std::string After(const std::vector<std::string>& lines, const std::string& title) {
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        if (lines[i] == title) return lines[i + 1];
    return {};
}

// Values of a block line "v;v;v;" (every value is followed by the delimiter).
std::vector<long> Values(const std::string& line, char delimiter) {
    std::vector<long> values;
    EXPECT_TRUE(line.empty() || line.back() == delimiter) << "every value is followed by the delimiter";
    for (const std::string& v : Split(line, std::string(1, delimiter)))
        if (!v.empty()) values.push_back(std::stol(v));
    return values;
}

std::string Setting(const MVarArray& tree, const char16_t* key) {
    const MVarArray* node = tree.Find(MVariant(key));
    return node ? node->Value().AsString().ToUtf8() : "<absent>";
}

class HeadlessE2E : public ::testing::Test {
protected:
    std::string Config() const { return dir.File("cfg"); }
    std::string Ini() const { return dir.File("cfg/Onyx.Corvina/Ini.bin"); }
    std::map<std::string, std::string> Env() const { return {{"XDG_CONFIG_HOME", Config()}}; }

    TempDir dir;
};

TEST_F(HeadlessE2E, UnattendedSimulatedRunRecordsExportsAndKeepsTheSettings) {
    // Stored settings: a delimiter and time stamps, and a rate the command line overrides.
    ASSERT_EQ(::mkdir(Config().c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((Config() + "/Onyx.Corvina").c_str(), 0755), 0);
    {
        MVarArray stored;
        stored.Item(MVariant(kExportDelimiterKey)).Value() = MVariant(u";");
        stored.Item(MVariant(kExportSampleFKey)).Value() = MVariant(int32_t{50});
        stored.Item(MVariant(kExportTimeStampsKey)).Value() = MVariant(int32_t{1});
        stored.Item(MVariant(kExportRRKey)).Value() = MVariant(int32_t{0});
        ASSERT_TRUE(stored.SaveToFile(MString(Ini())));
    }
    ASSERT_EQ(::mkdir(dir.File("demo").c_str(), 0755), 0);

    Child run({"--headless", "--simulate", "--out_file=demo/a", "--duration=3", "--export_samplerate=200"},
              Env(), dir.File("run"), dir.Path());
    const auto code = run.Wait(kRunLimit);
    ASSERT_TRUE(code) << "the run did not finish:\n" << run.Stderr();
    ASSERT_EQ(*code, 0) << run.Stderr();
    const std::string log = run.Stderr();
    EXPECT_NE(log.find("Recording into demo/a.pwv"), std::string::npos) << log;

    // ---- the record
    const std::string pwv = dir.File("demo/a.pwv");
    const std::map<int, int> census = shelltest::ChunkCensus(pwv);
    EXPECT_EQ(census.count(PGFiles::kMetadataId) ? census.at(PGFiles::kMetadataId) : 0, 1);
    EXPECT_GE(census.count(PGFiles::kTimeStampId) ? census.at(PGFiles::kTimeStampId) : 0, 2);
    // Regulator states: the device state at the start and every 3 s.
    EXPECT_GE(census.count(PGFiles::kRegulatorId) ? census.at(PGFiles::kRegulatorId) : 0, 2);
    {
        PGFiles record;
        ASSERT_TRUE(record.Open(MString(pwv), PGFiles::OpenMode::ReadOnly));
        // Recorded for duration + 5 = 8 s; the stamps lie at the first filtered blocks after 3 and 6 s.
        EXPECT_GE(record.StartTime(), 3.0);
        EXPECT_LT(record.StartTime(), 3.5);
        EXPECT_GE(record.EndTime(), 6.0);
        EXPECT_LT(record.EndTime(), 6.5);
        EXPECT_TRUE(record.Metadata.Contains(u"RecordStartT"));
        EXPECT_TRUE(record.Metadata.Contains(u"Start GetTickCount()"));
        EXPECT_GT(record.Metadata.Value(u"RecordStartT").ToInt64(), 1'500'000'000);

        std::vector<double> values(1024), times(1024);
        int64_t samples = 0;
        for (int32_t n; (n = record.ReadRawSamples(values.data(), times.data(), 1024)) > 0;) samples += n;
        EXPECT_GE(samples, 7 * 500);
        EXPECT_LE(samples, 10 * 500);

        ASSERT_TRUE(record.Open(MString(pwv), PGFiles::OpenMode::ReadOnly));
        std::vector<double> hr(256), hrTimes(256);
        const int32_t beats = record.ReadHeartRates(hr.data(), hrTimes.data(), 256);
        EXPECT_GE(beats, 5) << "about 8 s of a pulse near 70 per minute";
        EXPECT_EQ(beats, census.count(PGFiles::kHeartRateId) ? census.at(PGFiles::kHeartRateId) : 0);
        for (int32_t i = 0; i < beats; ++i) {
            EXPECT_GT(hr[size_t(i)], 35.0);
            EXPECT_LT(hr[size_t(i)], 150.0);
            EXPECT_GE(hrTimes[size_t(i)], 0.0);
            EXPECT_LT(hrTimes[size_t(i)], 10.0);
        }
    }

    // ---- the text export: Windows-1251, CR LF, the stored delimiter, the command line's rate
    const std::string bytes = shelltest::ReadText(dir.File("demo/a.txt"));
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.substr(0, 6), "\xC7\xE0\xEF\xE8\xF1\xFC") << "\"Запись\" in Windows-1251";
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n') {
            ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << "a line break without CR at " << i;
        }
    }
    const std::string text = MString::FromCodePage(bytes, "CP1251").ToUtf8();
    const std::vector<std::string> lines = Split(text, "\r\n");
    EXPECT_EQ(lines[0], "Запись произведена:");
    EXPECT_EQ(After(lines, "Начало фрагмента (относительно начала записи, сек):"), "3");
    EXPECT_EQ(After(lines, "Длительность фрагмента (сек):"), "3");
    EXPECT_EQ(After(lines, "Значения выражены в условных единицах. Частота дискретизации (Гц):"), "200");
    const long count = std::stol(After(lines, "Количество экспортированных сэмплов:"));
    EXPECT_GE(count, 599); // 3 s at 200 Hz, the step count truncated
    EXPECT_LE(count, 600);
    const std::vector<long> stamps = Values(After(lines, "#Time"), ';');
    const std::vector<long> amps = Values(After(lines, "#Amp"), ';');
    EXPECT_GE(long(amps.size()), count);
    EXPECT_LE(long(amps.size()), count + 1) << "one value more per piece at most";
    ASSERT_EQ(stamps.size(), amps.size());
    EXPECT_EQ(stamps.front(), 3'000'000);
    EXPECT_EQ(stamps[1] - stamps[0], 5000) << "200 Hz in microseconds";
    long lo = amps[0], hi = amps[0];
    for (long a : amps) lo = std::min(lo, a), hi = std::max(hi, a);
    EXPECT_GT(hi - lo, 100) << "a pulse wave, not a flat line";
    // The RR part: on in an unattended run whatever was stored.
    const long rrCount = std::stol(After(lines, "Количество экспортированных кардиоинтервалов:"));
    EXPECT_GE(rrCount, 1);
    const std::vector<long> rr =
        Values(After(lines, "Длительности кардиоинтервалов выражены в миллисекундах:"), ';');
    EXPECT_EQ(long(rr.size()), rrCount);
    for (long r : rr) {
        EXPECT_GT(r, 350);
        EXPECT_LT(r, 1700);
    }

    // ---- the settings saved at the end
    MVarArray saved = shelltest::LoadTree(Ini());
    EXPECT_EQ(Setting(saved, kExportSampleFKey), "200");
    EXPECT_EQ(Setting(saved, kExportDelimiterKey), ";");
    EXPECT_EQ(Setting(saved, kExportPulseKey), "1");
    EXPECT_EQ(Setting(saved, kExportRRKey), "1");
    EXPECT_EQ(Setting(saved, kExportTimeStampsKey), "1");
    EXPECT_EQ(Setting(saved, u"ActiveLed"), "1");
    const MVarArray* map = saved.Find(MVariant(u"LedIntApproxMap"));
    ASSERT_NE(map, nullptr) << "the learned LED map is kept";
    EXPECT_EQ(map->Count(), 257);
    EXPECT_NE(map->Find(MVariant(u"ResLf")), nullptr);
}

TEST_F(HeadlessE2E, AnExportThatCannotBeCreatedIsLoggedAndEndsWithAnError) {
    Child run({"--headless", "--simulate", "--out_file=" + dir.File("b"), "--duration=0"}, Env(),
              dir.File("run"));
    ASSERT_TRUE(run.WaitForOutput("Recording into", kRunLimit)) << run.Stderr();
    // The export's name is taken by a folder once the recording runs.
    ASSERT_EQ(::mkdir(dir.File("b.txt").c_str(), 0755), 0);
    const auto code = run.Wait(kRunLimit);
    ASSERT_TRUE(code) << run.Stderr();
    EXPECT_EQ(*code, 4) << run.Stderr();
    EXPECT_NE(run.Stderr().find("Ошибка! Не удается создать указанный файл!"), std::string::npos)
        << run.Stderr();
    // The record itself is complete and the settings are saved.
    PGFiles record;
    ASSERT_TRUE(record.Open(MString(dir.File("b.pwv")), PGFiles::OpenMode::ReadOnly));
    EXPECT_TRUE(record.Metadata.Contains(u"RecordStartT"));
    EXPECT_TRUE(shelltest::Exists(Ini()));
}

TEST_F(HeadlessE2E, BadCommandLinesAndUnwritableFilesFailAtOnce) {
    ASSERT_EQ(::mkdir(dir.File("taken.txt").c_str(), 0755), 0);
    const struct {
        std::vector<std::string> args;
        int code;
        const char* message;
    } cases[] = {
        {{"--out_file="}, 2, "needs the name"},
        {{"--out_file"}, 2, "needs the name"},
        {{"--out_file=" + dir.File("missing/a")}, 3, "its folder does not exist"},
        {{"--out_file=" + dir.File("taken")}, 4, "it is a folder"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0]);
        std::vector<std::string> args = {"--headless", "--simulate"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Child run(args, Env(), dir.File("bad"));
        const auto code = run.Wait(10s);
        ASSERT_TRUE(code);
        EXPECT_EQ(*code, c.code) << run.Stderr();
        EXPECT_NE(run.Stderr().find(c.message), std::string::npos) << run.Stderr();
        EXPECT_FALSE(shelltest::Exists(Ini())) << "nothing was started";
    }
    EXPECT_FALSE(shelltest::Exists(dir.File("missing")));
}

TEST_F(HeadlessE2E, HelpPrintsTheOptionsAndUnknownOptionsAreReported) {
    Child run({"--help", "--colour=blue"}, Env(), dir.File("help"));
    const auto code = run.Wait(10s);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 0);
    EXPECT_NE(run.Stdout().find("--out_file=PATH"), std::string::npos);
    EXPECT_NE(run.Stderr().find("unknown option \"--colour\""), std::string::npos) << run.Stderr();
    EXPECT_FALSE(shelltest::Exists(Ini()));
}

TEST_F(HeadlessE2E, AnInterruptedRunSavesTheSettingsAndReportsTheSignal) {
    Child run({"--headless", "--simulate", "--out_file=" + dir.File("c"), "--export_delimiter=t"}, Env(),
              dir.File("run"));
    ASSERT_TRUE(run.WaitForOutput("Enumerate has found", 20s)) << run.Stderr();
    run.Signal(SIGINT);
    const auto code = run.Wait(10s);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 128 + SIGINT);
    MVarArray saved = shelltest::LoadTree(Ini());
    EXPECT_EQ(Setting(saved, kExportDelimiterKey), "\t");
    EXPECT_FALSE(shelltest::Exists(dir.File("c.pwv"))) << "the run was still waiting for a stable pulse";
}

} // namespace
