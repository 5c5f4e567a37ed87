// Isoline-corrected reading of record files.

#include "storage/PGFiles.h"
#include "tests/storage/RecordTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

using namespace rectest;

MString P(const std::string& s) {
    return MString(s);
}

constexpr double kPulseHz = 1.2; // 72 beats per minute

double Pulse(double t) {
    const double s = std::sin(2 * M_PI * kPulseHz * t);
    return s > 0 ? 0.3 * s * s : 0.0;
}
double Drift(double t) {
    return 0.5 + 0.2 * std::sin(2 * M_PI * 0.05 * t);
}

// A pulse wave riding on a slow baseline wander, with a heart rate entry per beat (by default
// the wave's own rate).
void RecordWander(const std::string& path, double seconds, double storedHr = 60 * kPulseHz) {
    PGFiles f;
    ASSERT_TRUE(f.Create(P(path)));
    double block[28];
    int64_t i = 0;
    double nextBeat = 0;
    for (int guard = 0; f.CurrentTime() < seconds && guard < 1'000'000; ++guard) {
        for (int j = 0; j < 28; ++j, ++i) block[j] = Pulse(i * 0.002) + Drift(i * 0.002);
        ASSERT_TRUE(f.WriteSamples(block, 28, 0.002));
        if (f.CurrentTime() >= nextBeat) {
            ASSERT_TRUE(f.WriteHeartRate(storedHr, nextBeat));
            nextBeat += 1 / kPulseHz;
        }
    }
    f.Close();
}

TEST(PGFilesIsoline, WanderIsRemoved) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    RecordWander(path, 60);
    PGFiles f;
    ASSERT_TRUE(f.Open(P(path), PGFiles::OpenMode::ReadOnly));
    f.IsolineCorrection = true;
    ASSERT_TRUE(f.SeekTime(f.StartTime() + 5, true));
    std::vector<double> v(100), t(100), values, times;
    for (int32_t n; (n = f.ReadSamples(v.data(), t.data(), 100)) > 0;) {
        values.insert(values.end(), v.begin(), v.begin() + n);
        times.insert(times.end(), t.begin(), t.begin() + n);
    }
    ASSERT_GT(values.size(), 20'000u);
    // The corrected stream stops a few beats before the end of the record.
    EXPECT_LT(times.back(), f.EndTime() + 3);
    // Sample by sample, but a stamp truncated to its millisecond may shorten one step.
    for (size_t i = 1; i < times.size(); ++i) ASSERT_NEAR(times[i] - times[i - 1], 0.002, 0.001 + 1e-9) << i;

    // Over every beat the corrected wave sits on zero and keeps its height, while the raw
    // baseline moves by 0.4.
    const size_t beat = size_t(1 / kPulseHz / 0.002);
    for (size_t from = 2 * beat; from + beat < values.size(); from += beat) {
        const auto [lo, hi] =
            std::minmax_element(values.begin() + ptrdiff_t(from), values.begin() + ptrdiff_t(from + beat));
        EXPECT_NEAR(*lo, 0.0, 0.01) << "at " << times[from];
        EXPECT_NEAR(*hi, 0.3, 0.02) << "at " << times[from];
    }

    // Off again: the same reads give the raw samples.
    f.IsolineCorrection = false;
    ASSERT_TRUE(f.SeekTime(20, false));
    double r[10], rt[10], q[10], qt[10];
    ASSERT_EQ(f.ReadSamples(r, rt, 10), 10);
    ASSERT_TRUE(f.SeekTime(20, false));
    ASSERT_EQ(f.ReadRawSamples(q, qt, 10), 10);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(r[i], q[i]);
    EXPECT_NEAR(r[0], Pulse(rt[0]) + Drift(rt[0]), 0.0002);
}

TEST(PGFilesIsoline, SeekWarmsTheFilterUp) {
    TempDir dir;
    const std::string path = dir.File("a.pwv");
    RecordWander(path, 80);
    PGFiles f;
    ASSERT_TRUE(f.Open(P(path), PGFiles::OpenMode::ReadOnly));
    f.IsolineCorrection = true;
    std::mt19937 rng(4);
    std::uniform_real_distribution<double> when(f.StartTime() + 4, f.EndTime() - 15);
    double v[50], t[50];
    for (int i = 0; i < 40; ++i) {
        const double target = when(rng);
        ASSERT_TRUE(f.SeekTime(target, false));
        ASSERT_EQ(f.ReadSamples(v, t, 50), 50) << target;
        // At most 100 sample periods before t, and not after it.
        EXPECT_GE(t[0], target - 0.2 - 1e-9) << target;
        EXPECT_LE(t[0], target + 0.002) << target;
        EXPECT_NEAR(v[0], Pulse(t[0]), 0.02) << target; // the wander is gone
    }
    // Without the pre-roll the filter starts cold at t: the first corrected sample comes from t on,
    // only once enough pulse feet are known.
    ASSERT_TRUE(f.SeekTime(30, true));
    ASSERT_GT(f.ReadSamples(v, t, 50), 0);
    EXPECT_GE(t[0], 30 - 1e-9);
}

// The foot search window follows the stored heart rate: 1.5 beat periods, 5 s below 30 beats
// per minute. Eight seconds hold the four feet the correction needs only with short windows.
TEST(PGFilesIsoline, SearchWindowFollowsTheHeartRate) {
    TempDir dir;
    struct Case {
        double hr;
        bool output;
    };
    const Case cases[] = {{72, true}, {150, true}, {25, false}};
    for (const Case& c : cases) {
        const std::string path = dir.File("hr" + std::to_string(int(c.hr)) + ".pwv");
        RecordWander(path, 8, c.hr);
        PGFiles f;
        ASSERT_TRUE(f.Open(P(path), PGFiles::OpenMode::ReadOnly));
        f.IsolineCorrection = true;
        double v[100], t[100];
        EXPECT_EQ(f.ReadSamples(v, t, 100) > 0, c.output) << c.hr;
        // Without output, the correction has read every raw sample looking for feet.
        if (!c.output) {
            EXPECT_EQ(f.ReadRawSamples(v, t, 100), 0);
        }
        f.IsolineCorrection = false;
        ASSERT_TRUE(f.SeekTime(0, false));
        EXPECT_EQ(f.ReadSamples(v, t, 100), 100);
    }
}

} // namespace
