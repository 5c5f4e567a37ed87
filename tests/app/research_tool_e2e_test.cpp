// The research commands of the batch tool end to end (simulate, beats, analyze --precise), and
// the simulated record's determinism and scenario names.

#include "app/SimulatedRecord.h"
#include "sim/SimScenario.h"
#include "storage/PGFiles.h"
#include "tests/app/TextTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#ifndef CORVINA_TOOL_EXE
#error "CORVINA_TOOL_EXE must name the corvina-tool executable"
#endif

namespace {

using apptest::TempDir;

apptest::RunResult Tool(const TempDir& dir, const std::vector<std::string>& args) {
    return apptest::Run(CORVINA_TOOL_EXE, args, {"XDG_CONFIG_HOME=" + dir.File(""), "HOME=" + dir.File("")});
}

std::string ReadAll(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(SimScenario, NamesParseAndCombine) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t flags;
    };
    const Case cases[] = {
        {"rest", true, kSimRest},
        {"ectopic,artefact", true, kSimEctopic | kSimArtefact},
        {" stress , irregular ", true, kSimStress | kSimIrregular},
        {"lowperfusion,rest", true, kSimLowPerfusion},
        {"", false, 0},
        {"ectopic,", false, 0},
        {"Ectopic", false, 0},
        {"noise", false, 0},
    };
    for (const Case& c : cases) {
        uint32_t flags = 99;
        std::string error;
        EXPECT_EQ(ParseSimScenario(c.text, flags, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(flags, c.flags) << c.text;
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
    EXPECT_EQ(SimScenarioName(kSimEctopic | kSimStress), "ectopic,stress");
    EXPECT_EQ(SimScenarioName(0), "rest");
}

TEST(SimulatedRecord, OneSeedGivesOneRecordAndTruth) {
    TempDir dir;
    auto make = [&](const std::string& name, uint64_t seed) {
        sSimRecordOptions o;
        o.minutes = 1;
        o.seed = seed;
        o.scenario = kSimEctopic;
        o.recordPath = MString(dir.File(name + ".pwv"));
        o.truthPath = dir.File(name + ".csv");
        const sSimRecordResult r = WriteSimulatedRecord(o);
        EXPECT_TRUE(r.ok) << r.reason;
        std::vector<double> samples;
        PGFiles f;
        EXPECT_TRUE(f.Open(o.recordPath, PGFiles::OpenMode::ReadOnly));
        double v[1000], t[1000];
        for (int32_t n; (n = f.ReadRawSamples(v, t, 1000)) > 0;) samples.insert(samples.end(), v, v + n);
        // At least the minute asked for, and at most one filtered block (under a second) more.
        EXPECT_GE(samples.size(), 60u * 500);
        EXPECT_LE(samples.size(), 61u * 500);
        EXPECT_NEAR(f.EndTime() - f.StartTime(), 60 - 6, 1); // stamps from 3 s on, every 3 s
        return std::make_pair(samples, ReadAll(o.truthPath));
    };
    const auto a = make("a", 5), b = make("b", 5), c = make("c", 6);
    EXPECT_EQ(a.first, b.first);
    EXPECT_EQ(a.second, b.second);
    EXPECT_NE(a.first, c.first);
    EXPECT_EQ(a.second.rfind(kSimTruthHeader, 0), 0u);
}

TEST(ResearchTool, SimulateBeatsAndAnalyzeEndToEnd) {
    TempDir dir;
    const std::string rec = dir.File("s.pwv"), truth = dir.File("s.csv");
    const auto sim = Tool(dir, {"simulate", "--minutes", "2", "--scenario", "ectopic", "--seed", "4", "-o",
                                rec, "--truth", truth});
    ASSERT_EQ(sim.exitCode, 0) << sim.err;
    EXPECT_NE(sim.out.find("scenario ectopic, seed 4"), std::string::npos) << sim.out;
    std::vector<sSimTruthBeat> beats;
    std::string reason;
    ASSERT_TRUE(ReadSimTruth(truth, beats, reason)) << reason;
    EXPECT_GT(beats.size(), 120u);

    const auto csv = Tool(dir, {"beats", rec, "--csv"});
    ASSERT_EQ(csv.exitCode, 0) << csv.err;
    EXPECT_EQ(csv.out.rfind("index,onset_s,max_slope_s,peak_s,amplitude,quality,flags\n", 0), 0u);
    const size_t rows = size_t(std::count(csv.out.begin(), csv.out.end(), '\n')) - 1;
    // The beats between the first and the last time stamp: all but the first and last 3 s.
    EXPECT_NEAR(double(rows), double(beats.size()) * 114 / 120, 4);
    const auto json = Tool(dir, {"beats", rec, "--json", "--from", "10", "--to", "20"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_NE(json.out.find("\"provenance\": [{\"step\": \"beats\""), std::string::npos);
    EXPECT_NE(json.out.find("\"refractory_s\": 0.25"), std::string::npos);

    const auto precise = Tool(dir, {"analyze", "--precise", "--csv", rec});
    ASSERT_EQ(precise.exitCode, 0) << precise.err;
    const std::string header = precise.out.substr(0, precise.out.find('\n'));
    for (const char* column : {"precise_beats", "corrected_intervals", "unusable_pct", "sdnn_ms", "rmssd_ms",
                               "welch_lf_hf", "lomb_hf_ms2", "dfa_alpha1", "sampen"})
        EXPECT_NE(header.find(column), std::string::npos) << column;
    const auto text = Tool(dir, {"analyze", "--precise", rec});
    EXPECT_NE(text.out.find("standard HRV (intervals onset to onset)"), std::string::npos) << text.out;
    const auto plain = Tool(dir, {"analyze", "--json", rec});
    EXPECT_EQ(plain.out.find("\"precise\""), std::string::npos); // only when asked
}

TEST(ResearchTool, BadOptionsAreRefusedWithoutOutput) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        int code;
    };
    const std::string out = dir.File("x.pwv");
    const Case cases[] = {
        {{"simulate", "-o", out}, 2},                   // no length
        {{"simulate", "--minutes", "0", "-o", out}, 2}, // empty
        {{"simulate", "--minutes", "abc", "-o", out}, 2},
        {{"simulate", "--minutes", "1", "-o", out, "--scenario", "x"}, 2},
        {{"simulate", "--minutes", "1", "-o", out, "--seed", "-1"}, 2},
        {{"simulate", "--minutes", "1", "-o", out, "--rate", "250"}, 2},
        {{"simulate", "--minutes", "1"}, 2}, // no output
        {{"beats"}, 2},
        {{"beats", dir.File("missing.pwv")}, 1},
        {{"beats", out, "--csv", "--json"}, 2},
    };
    for (const Case& c : cases) {
        const auto r = Tool(dir, c.args);
        EXPECT_EQ(r.exitCode, c.code) << c.args[0] << " " << r.err;
        EXPECT_FALSE(r.err.empty());
    }
    struct stat st {};
    EXPECT_NE(::stat(out.c_str(), &st), 0); // nothing was written
    // A file that is not a record.
    apptest::WriteFile(dir.File("t.txt"), "1 2 3\n");
    EXPECT_EQ(Tool(dir, {"beats", dir.File("t.txt")}).exitCode, 1);
}

} // namespace
