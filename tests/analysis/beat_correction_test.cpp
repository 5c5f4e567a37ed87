// Interval correction after Lipponen & Tarvainen (2019): classification of inserted errors and
// the HRV values after correction.

#include "analysis/BeatCorrection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace {

// A clean rhythm: 0.85 s with breathing variation and a little noise.
std::vector<double> CleanIntervals(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0, 0.01);
    std::vector<double> rr;
    double t = 0;
    for (size_t i = 0; i < n; ++i) {
        const double v = 0.85 + 0.04 * std::sin(2 * std::numbers::pi * 0.25 * t) + g(rng);
        rr.push_back(v);
        t += v;
    }
    return rr;
}

std::vector<double> Times(const std::vector<double>& rr) {
    std::vector<double> t{0};
    for (double v : rr) t.push_back(t.back() + v);
    return t;
}

double Rmssd(const std::vector<double>& rr) {
    double s = 0;
    for (size_t i = 1; i < rr.size(); ++i) s += (rr[i] - rr[i - 1]) * (rr[i] - rr[i - 1]);
    return std::sqrt(s / double(rr.size() - 1));
}

double Sdnn(const std::vector<double>& rr) {
    double m = 0;
    for (double v : rr) m += v / double(rr.size());
    double s = 0;
    for (double v : rr) s += (v - m) * (v - m);
    return std::sqrt(s / double(rr.size() - 1));
}

TEST(BeatCorrection, CleanSeriesStaysAsItIs) {
    const std::vector<double> rr = CleanIntervals(600, 1);
    const sBeatCorrection c = CorrectBeatSeries(Times(rr), {});
    EXPECT_LE(c.corrected, 2); // a rare chance hit at most
    EXPECT_EQ(c.gaps, 0);
    EXPECT_NEAR(Rmssd(c.series.nn), Rmssd(rr), 0.01 * Rmssd(rr));
}

struct Inserted {
    const char* name;
    IntervalClass expected;
};

TEST(BeatCorrection, InsertedErrorsAreFoundAndCorrected) {
    const std::vector<double> clean = CleanIntervals(800, 2);
    // Every 50th interval gets an error of one kind; the kinds take turns.
    std::vector<double> rr;
    std::vector<std::pair<size_t, IntervalClass>> expect; // index in rr, class
    const IntervalClass kinds[] = {IntervalClass::Ectopic, IntervalClass::Missed, IntervalClass::Extra};
    int kind = 0;
    for (size_t i = 0; i < clean.size(); ++i) {
        if (i % 50 == 25 && i + 1 < clean.size()) {
            const IntervalClass k = kinds[kind++ % 3];
            if (k == IntervalClass::Ectopic) {
                // A premature beat 35 % early and the compensatory pause.
                const double total = clean[i] + clean[i + 1];
                expect.push_back({rr.size() + 1, k}); // the pause after it is the ectopic sign
                rr.push_back(0.65 * clean[i]);
                rr.push_back(total - 0.65 * clean[i]);
                ++i;
            } else if (k == IntervalClass::Missed) {
                expect.push_back({rr.size(), k});
                rr.push_back(clean[i] + clean[i + 1]);
                ++i;
            } else {
                expect.push_back({rr.size(), k});
                rr.push_back(0.4 * clean[i]);
                rr.push_back(0.6 * clean[i]);
            }
            continue;
        }
        rr.push_back(clean[i]);
    }
    const std::vector<IntervalClass> cls = ClassifyIntervals(rr);
    for (const auto& [at, k] : expect) {
        EXPECT_EQ(int(cls[at]), int(k)) << "interval " << at << ": " << IntervalClassName(cls[at]);
        // The short interval before the pause is corrected too.
        if (k == IntervalClass::Ectopic) {
            EXPECT_NE(int(cls[at - 1]), int(IntervalClass::Normal));
        }
    }
    int flagged = 0;
    for (IntervalClass c : cls) flagged += c != IntervalClass::Normal;
    // Each ectopic beat marks its pair, an extra beat its two intervals, a missed beat one.
    EXPECT_LE(flagged, int(expect.size()) * 2 + 3);

    const sBeatCorrection c = CorrectBeatSeries(Times(rr), {});
    EXPECT_GT(c.ectopic, 0);
    EXPECT_GT(c.missed, 0);
    EXPECT_GT(c.extra, 0);
    // The published result: missed and extra beats corrected to within 2 % of the clean values;
    // ectopic beats are interpolated, which smooths a little.
    EXPECT_NEAR(Rmssd(c.series.nn), Rmssd(clean), 0.05 * Rmssd(clean));
    EXPECT_NEAR(Sdnn(c.series.nn), Sdnn(clean), 0.02 * Sdnn(clean));
    EXPECT_NEAR(double(c.series.size()), double(clean.size()), 2);
}

TEST(BeatCorrection, GapsAreLeftOutAndCountedAsUnusable) {
    std::vector<double> rr = CleanIntervals(200, 4);
    rr[100] = 6.0; // six seconds without a beat
    const std::vector<double> t = Times(rr);
    const sBeatCorrection c = CorrectBeatSeries(t, {});
    EXPECT_EQ(c.gaps, 1);
    EXPECT_NEAR(c.unusableS, 6.0, 1e-9);
    EXPECT_NEAR(c.UnusableShare(), 6.0 / (t.back() - t.front()), 1e-12);
    EXPECT_EQ(c.series.size(), rr.size() - 1);
    int breaks = 0;
    for (uint8_t f : c.series.follows) breaks += f == 0;
    EXPECT_EQ(breaks, 2); // the start and after the gap
}

TEST(BeatCorrection, ArtefactBeatsHaveBothIntervalsInterpolated) {
    const std::vector<double> rr = CleanIntervals(100, 5);
    std::vector<double> t = Times(rr);
    t[50] += 0.015; // the beat's timing is off, too little for the classification to see
    std::vector<uint8_t> artefact(t.size(), 0);
    artefact[50] = 1;
    const sBeatCorrection c = CorrectBeatSeries(t, artefact);
    EXPECT_EQ(c.classes[49], IntervalClass::Artefact);
    EXPECT_EQ(c.classes[50], IntervalClass::Artefact);
    EXPECT_GE(c.corrected, 2);
    EXPECT_NEAR(c.series.nn[49], 0.5 * (rr[48] + rr[51]), 0.02);
    EXPECT_EQ(c.artefact, 2);
    EXPECT_NEAR(c.unusableS, t[51] - t[49], 1e-9);
}

TEST(BeatCorrection, TooFewBeats) {
    EXPECT_EQ(CorrectBeatSeries({}, {}).series.size(), 0u);
    EXPECT_EQ(CorrectBeatSeries({1.0, 1.8}, {}).series.size(), 0u);
}

} // namespace
