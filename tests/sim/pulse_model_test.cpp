#include "sim/SimPulseModel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace {

constexpr double kDt = 0.002;

std::vector<double> RunFor(SimPulseModel& model, double seconds) {
    std::vector<double> out;
    const int n = static_cast<int>(std::lround(seconds / kDt));
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) out.push_back(model.Step(kDt));
    return out;
}

// A clean wave: no noise, no wander, no beat-to-beat amplitude change matters for shape checks.
SimPulseConfig Clean(uint64_t seed = 7) {
    SimPulseConfig c;
    c.seed = seed;
    c.noise = 0;
    c.baselineWander = 0;
    return c;
}

} // namespace

TEST(SimPulseModel, BeatsFollowTheMeanRateWithBreathingVariation) {
    SimPulseConfig c;
    c.seed = 3;
    c.meanRate = 66;
    SimPulseModel model(c);
    RunFor(model, 120);
    const auto beats = model.Beats(0, 120);
    ASSERT_GT(beats.size(), 100u);

    // Onsets are spaced by the intervals the model reports.
    for (size_t i = 0; i + 1 < beats.size(); ++i) {
        EXPECT_NEAR(beats[i + 1].onset - beats[i].onset, beats[i].interval, 1e-9);
        EXPECT_NEAR(beats[i].rate, 60.0 / beats[i].interval, 1e-9);
        EXPECT_GT(beats[i].peak, beats[i].onset);
        EXPECT_LT(beats[i].peak, beats[i].onset + beats[i].interval);
    }
    double sum = 0, sum2 = 0;
    for (const auto& b : beats) {
        sum += b.rate;
        sum2 += b.rate * b.rate;
    }
    const double mean = sum / static_cast<double>(beats.size());
    const double sd = std::sqrt(sum2 / static_cast<double>(beats.size()) - mean * mean);
    EXPECT_NEAR(mean, 66, 3);
    EXPECT_GT(sd, 1.5); // breathing and slow variability move the rate
    EXPECT_LT(sd, 8.0);

    // The rate of the beat in progress at any time is the one of the beat that contains it.
    const SimBeat& b = beats[beats.size() / 2];
    EXPECT_DOUBLE_EQ(model.TrueRateAt(b.onset + 0.5 * b.interval), b.rate);
    EXPECT_EQ(model.TrueRateAt(-100), 0);
}

TEST(SimPulseModel, WaveIsContinuousWithPeakNotchAndDiastolicWave) {
    SimPulseModel model(Clean());
    const auto v = RunFor(model, 20);
    // No jumps, also where beats begin: the largest step is a small part of the beat amplitude.
    double maxStep = 0;
    for (size_t i = 1; i < v.size(); ++i) maxStep = std::max(maxStep, std::abs(v[i] - v[i - 1]));
    EXPECT_LT(maxStep, 0.05);

    const auto beats = model.Beats(2, 18);
    ASSERT_GE(beats.size(), 10u);
    for (const SimBeat& b : beats) {
        const auto at = [&](double t) { return static_cast<size_t>(std::lround(t / kDt)) - 1; };
        const size_t from = at(b.onset), to = at(b.onset + b.interval);
        // The systolic peak is the highest point of the beat and sits where the model says.
        const size_t top =
            static_cast<size_t>(std::max_element(v.begin() + from, v.begin() + to) - v.begin());
        EXPECT_NEAR((static_cast<double>(top) + 1) * kDt, b.peak, 0.01);
        // After it: a notch (local minimum) and then a diastolic wave (local maximum) above it.
        bool notch = false, diastolic = false;
        double notchValue = 0;
        for (size_t i = top + 2; i + 2 < to; ++i) {
            if (!notch && v[i] < v[i - 1] && v[i] <= v[i + 1]) {
                notch = true;
                notchValue = v[i];
            } else if (notch && v[i] > v[i - 1] && v[i] >= v[i + 1]) {
                diastolic = v[i] > notchValue;
                break;
            }
        }
        EXPECT_TRUE(notch && diastolic) << "beat at " << b.onset;
        // The foot is near the bottom of the wave.
        EXPECT_LT(v[from], 0.2 * v[top]);
    }
}

TEST(SimPulseModel, EctopicSwitchMakesPrematureBeatsWithCompensatoryPause) {
    SimPulseConfig c = Clean(11);
    SimPulseModel normal(c);
    RunFor(normal, 120);
    for (const auto& b : normal.AllBeats()) EXPECT_FALSE(b.ectopic);

    c.ectopicProbability = 0.2;
    SimPulseModel irregular(c);
    RunFor(irregular, 120);
    const auto beats = irregular.Beats(0, 120);
    int ectopic = 0;
    for (size_t i = 1; i + 1 < beats.size(); ++i) {
        if (!beats[i].ectopic) continue;
        ++ectopic;
        // Came early after a short interval, and is followed by a long one.
        EXPECT_LT(beats[i - 1].interval, 0.7 * beats[i].interval);
        EXPECT_GT(beats[i].interval, 1.2 * beats[i + 1].interval);
    }
    EXPECT_GT(ectopic, 5);
}

TEST(SimPulseModel, SameSeedSameSignalOtherSeedOtherSignal) {
    SimPulseConfig c;
    c.seed = 42;
    SimPulseModel a(c), b(c);
    c.seed = 43;
    SimPulseModel other(c);
    const auto va = RunFor(a, 10), vb = RunFor(b, 10), vo = RunFor(other, 10);
    EXPECT_EQ(va, vb);
    EXPECT_NE(va, vo);
    EXPECT_EQ(a.BeatCount(), b.BeatCount());
}

TEST(SimPulseModel, BeatHistoryIsBounded) {
    SimPulseConfig c = Clean(5);
    c.meanRate = 200;
    SimPulseModel model(c);
    // Longer than the history at this rate; stepping coarsely keeps the test quick.
    const double seconds = 1.1 * SimPulseModel::kBeatHistory * 60.0 / 200.0;
    for (double t = 0; t < seconds; t += 0.05) model.Step(0.05);
    EXPECT_EQ(model.AllBeats().size(), SimPulseModel::kBeatHistory);
    EXPECT_GT(model.BeatCount(), SimPulseModel::kBeatHistory);
    EXPECT_GT(model.AllBeats().front().onset, 0.05 * seconds);
}
