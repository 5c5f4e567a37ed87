#include "analysis/BeatSeriesLoader.h"
#include "analysis/VariabilityCore.h"
#include "storage/PGFiles.h"

#include "tests/analysis/AnalysisTestUtil.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct FilterCase {
    const char* what;
    std::vector<double> hr;
    std::vector<bool> accepted;
};

// Writes a record of `seconds` of samples at 100 Hz with the given heart-rate entries, each
// written once the samples have passed its time (as the recorder does).
void WriteRecord(const MString& path, double seconds, const std::vector<std::pair<double, double>>& beats) {
    PGFiles f;
    ASSERT_TRUE(f.Create(path));
    const double period = 0.01;
    std::vector<double> block(50, 0.5);
    size_t next = 0;
    while (f.CurrentTime() < seconds) {
        ASSERT_TRUE(f.WriteSamples(block.data(), int32_t(block.size()), period));
        while (next < beats.size() && beats[next].second <= f.CurrentTime()) {
            ASSERT_TRUE(f.WriteHeartRate(beats[next].first, beats[next].second));
            ++next;
        }
    }
    f.Close();
}

} // namespace

TEST(BeatArtefactFilter, AcceptsWhatStaysNearTheRunningAverage) {
    const FilterCase cases[] = {
        {"a doubled rate is dropped, its neighbours kept", {70, 71, 140, 72}, {true, true, false, true}},
        {"a halved rate is dropped", {80, 80, 40, 80}, {true, true, false, true}},
        {"zero rates: kept while the average is zero", {0, 0, 70, 0}, {true, true, true, false}},
        {"a slow drift is followed", {60, 63, 66, 69, 72, 75}, {true, true, true, true, true, true}},
        // The deviation is measured after the average has absorbed the entry: from an average
        // of 100, 134 is within 30 % (of 103.4) and 135 is not (of 103.5).
        {"up to about 1.345 times the average is kept", {100, 134}, {true, true}},
        {"beyond it is not", {100, 135}, {true, false}},
    };
    for (const FilterCase& c : cases) {
        SCOPED_TRACE(c.what);
        BeatArtefactFilter filter;
        for (size_t i = 0; i < c.hr.size(); ++i) EXPECT_EQ(filter.Accept(c.hr[i]), c.accepted[i]) << i;
    }
}

TEST(LoadFragmentBeats, ReadsEveryEntryOfTheRecordAndDropsArtefacts) {
    atest::TempDir dir;
    const MString path = dir.Path("rec.pwv");
    std::vector<std::pair<double, double>> beats;
    std::vector<double> rates = {70, 71, 140, 72};
    // An entry in the first 3 s, before the record's first time stamp: outside the record's
    // length (StartTime ... EndTime), so the loader, which starts at StartTime, does not see it.
    beats.push_back({200, 1.0});
    double t = 4.0;
    // More than one batch of 100 entries.
    for (int i = 0; i < 250; ++i) {
        const double hr = i < 4 ? rates[size_t(i)] : 60 + (i % 10);
        beats.push_back({hr, t});
        t += 60.0 / hr;
    }
    WriteRecord(path, t + 1, beats);

    PGFiles record;
    ASSERT_TRUE(record.Open(path, PGFiles::OpenMode::ReadOnly));
    ASSERT_GT(record.StartTime(), 1.0);
    ASSERT_LT(record.StartTime(), 4.0);
    // Read somewhere in the middle first: the loader starts from the record's start anyway.
    record.SeekTime(100, false);
    VariabilityCore core;
    core.AddBeat(1, 1); // replaced
    EXPECT_EQ(LoadFragmentBeats(core, record), 249);
    ASSERT_EQ(core.BeatCount(), 249);
    EXPECT_EQ(core.BeatAt(0).hr, 70.0f);
    EXPECT_EQ(core.BeatAt(1).hr, 71.0f);
    EXPECT_EQ(core.BeatAt(2).hr, 72.0f); // 140 dropped
    EXPECT_EQ(core.BeatAt(2).time, float(uint32_t(beats[4].second * 1000) * 0.001));
    EXPECT_EQ(core.BeatAt(248).hr, float(60 + 249 % 10));

    // Loading again gives the same series.
    EXPECT_EQ(LoadFragmentBeats(core, record), 249);
    EXPECT_EQ(core.BeatCount(), 249);
}

TEST(LoadFragmentBeats, NothingToLoad) {
    atest::TempDir dir;
    const MString path = dir.Path("empty.pwv");
    WriteRecord(path, 3, {});
    PGFiles record;
    VariabilityCore core;
    core.AddBeat(1, 70);
    EXPECT_EQ(LoadFragmentBeats(core, record), 0); // not open
    EXPECT_EQ(core.BeatCount(), 0);
    ASSERT_TRUE(record.Open(path, PGFiles::OpenMode::ReadOnly));
    core.AddBeat(1, 70);
    EXPECT_EQ(LoadFragmentBeats(core, record), 0);
    EXPECT_EQ(core.BeatCount(), 0);
}
