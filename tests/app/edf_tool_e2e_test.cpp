// End-to-end tests of the batch tool's EDF+ export and EDF import: the real corvina-tool runs as
// a child process; exit codes, messages, and no file left behind by a failure.

#include "tests/app/EdfTestUtil.h"
#include "tests/app/TextTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#ifndef CORVINA_TOOL_EXE
#error "CORVINA_TOOL_EXE must name the corvina-tool executable"
#endif

namespace {

using apptest::RunResult;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class EdfToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A minute at 100 Hz with beats every 0.8 s and a patient.
        apptest::RecordPlan plan;
        plan.samples = 6000;
        plan.period = 0.01;
        plan.value = [](int64_t k) { return (apptest::PulseValue(double(k) * 0.01, 75) - 500) / 400; };
        for (int k = 0; k < 74; ++k) plan.beats.push_back({0.4 + 0.8 * k, k % 2 ? 78.0 : 72.0});
        plan.metadata = {{"PatName", "Петров Пётр"}, {"PatAge", "61"}, {"RecordStartT", "1700000000"}};
        m_record = m_dir.File("rec.pwv");
        apptest::WriteRecord(m_record, plan);
    }

    RunResult Tool(const std::vector<std::string>& args) {
        return apptest::Run(CORVINA_TOOL_EXE, args,
                            {"XDG_CONFIG_HOME=" + m_dir.File("config"), "HOME=" + m_dir.Path(), "TZ=UTC"});
    }

    std::vector<std::string> Files() {
        std::vector<std::string> names = apptest::ListFolder(m_dir.Path());
        std::sort(names.begin(), names.end());
        return names;
    }

    apptest::TempDir m_dir;
    std::string m_record;
};

TEST_F(EdfToolTest, ExportThenImport) {
    RunResult r = Tool({"export", m_record, "--format", "edf"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string edf = m_dir.File("rec.edf");
    ASSERT_TRUE(apptest::Exists(edf));
    // From the first time stamp (3.5 s) to the record's last whole second (57 s): 53 whole records.
    EXPECT_TRUE(Contains(r.out, "wrote " + edf +
                                    ": 5300 samples at 100 Hz from 3.5 s (53 data records of 1 s), 67 "
                                    "heart-rate annotations"))
        << r.out;
    const std::string header = apptest::ReadFile(edf).substr(0, 256);
    EXPECT_EQ(header.substr(8, 80), edftest::Pad("X X X Petrov_Petr Age=61", 80));
    EXPECT_EQ(header.substr(168, 16), "14.11.2322.13.23"); // 1700000000 + 3.5 s in UTC

    // From the sample at 10.4 s (the first at or after 10.395): beats at 10.8 ... 20.0 s.
    r = Tool(
        {"export", m_record, "--format=edf", "-o", m_dir.File("part.edf"), "--from", "10.395", "--to", "21"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, ": 1000 samples at 100 Hz from 10.")) << r.out;
    EXPECT_TRUE(Contains(r.out, "(10 data records of 1 s), 12 heart-rate annotations")) << r.out;

    // Back into a record; an EDF file is known by its header under any name too.
    const std::string back = m_dir.File("back.pwv");
    r = Tool({"import", edf, "-o", back});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "EDF+C, signal 'Pleth' at 100 Hz, 5300 samples, 52.99 s")) << r.out;
    EXPECT_TRUE(
        Contains(r.out, "wrote " + back + ": 5299 samples at 100 Hz, 67 heart beats (from the annotations)"))
        << r.out;
    apptest::WriteFile(m_dir.File("signal.dat"), apptest::ReadFile(m_dir.File("part.edf")));
    r = Tool({"import", m_dir.File("signal.dat"), "--signal", "Pleth"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(apptest::Exists(m_dir.File("signal.pwv")));

    r = Tool({"info", back});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "PatName = Petrov Petr")) << r.out;
    EXPECT_TRUE(Contains(r.out, "RecordStartT 1700000003")) << r.out;
    EXPECT_TRUE(Contains(r.out, "heart rates       67\n")) << r.out;
}

TEST_F(EdfToolTest, FailuresLeaveNothingBehind) {
    edftest::EdfPlan edfPlan;
    edfPlan.signals[0].code = [](int64_t k) { return k % 100; };
    const std::string good = m_dir.File("good.edf");
    apptest::WriteFile(good, edftest::BuildEdf(edfPlan));
    const std::string truncated = m_dir.File("cut.edf");
    apptest::WriteFile(truncated, apptest::ReadFile(good).substr(0, 1000));
    apptest::RecordPlan shortPlan;
    shortPlan.samples = 200; // 2 s: no time range
    const std::string shortRec = m_dir.File("short.pwv");
    apptest::WriteRecord(shortRec, shortPlan);
    const std::string numbers = m_dir.File("numbers.txt");
    apptest::WriteFile(numbers, apptest::PulseText(20, 100, 70));
    const std::string kept = m_dir.File("kept.pwv");
    const std::string keptEdf = m_dir.File("kept.edf");

    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {{"export", m_record, "--format", "csv"}, 2, "--format wants text or edf, not 'csv'"},
        {{"export", m_record, "--format", "edf", "--rate", "100"},
         2,
         "--rate does not apply to --format edf"},
        {{"export", m_record, "--format", "edf", "--no-rr"}, 2, "--no-rr does not apply"},
        {{"export", m_record, "--format", "edf", "--from", "500"}, 2, "is empty"},
        {{"export", shortRec, "--format", "edf"}, 1, "has no time range"},
        {{"export", m_record, "--format", "edf", "-o", m_dir.File("no/such/x.edf")}, 1, "cannot create"},
        {{"export", m_record, "--format", "edf", "-o", m_record}, 1, "would replace the record"},
        {{"export", m_record, "--format", "edf", "--from", "10", "--to", "10.5", "-o", keptEdf},
         1,
         "shorter than one EDF data record"},
        {{"import", truncated, "-o", kept}, 1, "Произошла какая-то ошибка при попытке импорта данных"},
        {{"import", truncated, "-o", kept}, 1, "the file is truncated"},
        {{"import", good, "--rate", "100", "-o", kept}, 2, "--rate does not apply to EDF"},
        {{"import", good, "--signal", "ECG", "-o", kept}, 1, "has no signal 'ECG'; its signals are 'Pleth'"},
        {{"import", numbers, "--rate", "100", "--signal", "A", "-o", kept}, 2, "--signal applies to EDF"},
        {{"import", m_dir.File("none.edf"), "-o", kept}, 1, "cannot open"},
        {{"import", good, "-o", good}, 1, "would replace the input"},
    };
    apptest::WriteFile(kept, "keep");
    apptest::WriteFile(keptEdf, "keep");
    const std::vector<std::string> before = Files();
    for (const Case& c : cases) {
        const RunResult r = Tool(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[1] << " " << r.err;
        EXPECT_TRUE(Contains(r.err, c.message)) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_EQ(Files(), before) << c.args[1];
    }
    EXPECT_EQ(apptest::ReadFile(kept), "keep");
    EXPECT_EQ(apptest::ReadFile(keptEdf), "keep");
    // The same good file imports.
    const RunResult r = Tool({"import", good, "-o", kept});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(apptest::ReadFile(kept), "keep");
}

} // namespace
