#include "dsp/MIsoFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

namespace {

// ---- synthetic pulse wave with known feet and baseline ----

struct WaveOptions {
    double seconds = 60;
    double rate = 500;    // samples per second
    double start = 0.002; // time of the first sample
    double hr = 72;       // mean heart rate, beats per minute
    double wander = 0.25; // amplitude of the slow sinusoidal baseline wander (pulse height is 1)
    double wanderHz = 0.1;
    double ramp = 0.4; // baseline rise over 6 s from rampAt
    double rampAt = 25;
    double step = 0; // baseline step at stepAt
    double stepAt = 40;
};

struct Wave {
    std::vector<double> t, y;
    std::vector<double> clean; // the pulses alone: 0 at every foot
    std::vector<double> feet;  // foot times
    double period = 0;         // search window for the mean rate: 1.5 beat periods
};

// One beat over its phase u in [0, 1): 0 at both feet, steep upstroke, rounded decline and a
// small dicrotic wave.
double Beat(double u) {
    const double s = std::sin(std::numbers::pi * std::pow(u, 0.35));
    const double d = (u - 0.5) / 0.06;
    return s * s + 0.12 * std::exp(-d * d);
}

Wave MakeWave(const WaveOptions& o) {
    Wave w;
    const auto n = static_cast<size_t>(o.seconds * o.rate);
    const double mean = 60.0 / o.hr;
    w.period = 1.5 * mean;
    double foot = o.start - 0.3 * mean;
    for (int k = 0; foot < o.start + o.seconds + 2 * mean; ++k) {
        w.feet.push_back(foot);
        foot += mean * (1.0 + 0.06 * std::sin(2 * std::numbers::pi * k / 7.3));
    }
    size_t beat = 0;
    for (size_t i = 0; i < n; ++i) {
        const double t = o.start + static_cast<double>(i) / o.rate;
        while (w.feet[beat + 1] <= t) ++beat;
        const double u = (t - w.feet[beat]) / (w.feet[beat + 1] - w.feet[beat]);
        const double base = o.wander * std::sin(2 * std::numbers::pi * o.wanderHz * t + 0.4) +
                            o.ramp * std::clamp((t - o.rampAt) / 6.0, 0.0, 1.0) +
                            (t >= o.stepAt ? o.step : 0.0);
        w.t.push_back(t);
        w.clean.push_back(Beat(u));
        w.y.push_back(w.clean.back() + base);
    }
    return w;
}

// ---- driving the filter ----

struct Output {
    std::vector<double> t, v;
};

void Collect(MIsoFilter& f, Output& out, int want) {
    double t[256], v[256];
    while (want > 0) {
        const int got = f.GetPoints(t, v, std::min(want, 256));
        if (got == 0) break;
        out.t.insert(out.t.end(), t, t + got);
        out.v.insert(out.v.end(), v, v + got);
        want -= got;
    }
}

// Feeds the samples in batches of nextBatch() and after each batch takes nextTake() corrected
// samples (INT_MAX: all that are ready); everything ready is taken at the end.
Output Feed(MIsoFilter& f, const std::vector<double>& t, const std::vector<double>& y, double period,
            const std::function<int()>& nextBatch, const std::function<int()>& nextTake) {
    Output out;
    size_t i = 0;
    while (i < t.size()) {
        const int b = static_cast<int>(std::min<size_t>(static_cast<size_t>(nextBatch()), t.size() - i));
        f.Period = period;
        EXPECT_TRUE(f.PutPoints(&t[i], &y[i], b));
        i += static_cast<size_t>(b);
        Collect(f, out, nextTake());
    }
    Collect(f, out, INT_MAX);
    return out;
}

Output FeedInBatches(MIsoFilter& f, const Wave& w, int batch, double period = 0) {
    return Feed(
        f, w.t, w.y, period > 0 ? period : w.period, [batch] { return batch; }, [] { return INT_MAX; });
}

// The way the record reader drives the filter: corrected samples are taken while there are any,
// raw samples are fed 500 at a time only when none are ready.
Output ReadLikeTheRecordReader(MIsoFilter& f, const Wave& w, size_t want) {
    Output out;
    size_t fed = 0;
    double t[100], v[100];
    while (out.t.size() < want) {
        if (f.GetReadyCount() > 0) {
            const int got = f.GetPoints(t, v, static_cast<int>(std::min<size_t>(100, want - out.t.size())));
            out.t.insert(out.t.end(), t, t + got);
            out.v.insert(out.v.end(), v, v + got);
            continue;
        }
        if (fed == w.t.size()) break;
        const int b = static_cast<int>(std::min<size_t>(500, w.t.size() - fed));
        f.Period = static_cast<float>(w.period); // as the reader stores it
        f.PutPoints(&w.t[fed], &w.y[fed], b);
        fed += static_cast<size_t>(b);
    }
    return out;
}

// Output in input order, nothing lost or repeated: the output times are the input times' prefix.
void ExpectInputPrefix(const Output& out, const std::vector<double>& t) {
    ASSERT_EQ(out.t.size(), out.v.size());
    ASSERT_LE(out.t.size(), t.size());
    for (size_t k = 0; k < out.t.size(); ++k) ASSERT_EQ(out.t[k], t[k]) << "output sample " << k;
}

// Largest |corrected - clean| from `from` seconds on, and the largest |corrected| at a foot.
struct Errors {
    double wave = 0;
    double foot = 0;
    int feet = 0;
};

Errors Measure(const Output& out, const Wave& w, double from, double rate = 500, double to = 1e300) {
    Errors e;
    for (size_t k = 0; k < out.t.size(); ++k)
        if (out.t[k] >= from && out.t[k] <= to) e.wave = std::max(e.wave, std::fabs(out.v[k] - w.clean[k]));
    for (double foot : w.feet) {
        if (foot < from || foot > to) continue;
        const auto k = static_cast<size_t>(std::floor((foot - w.t[0]) * rate)); // last sample before the rise
        if (k >= out.v.size()) continue;
        e.foot = std::max(e.foot, std::fabs(out.v[k]));
        ++e.feet;
    }
    return e;
}

// ---- foot search rules, on hand-made samples with a 1 s window ----

struct Sample {
    double t, y;
};
struct Anchor {
    double x, y;
};

TEST(MIsoFilter, FootSearchRules) {
    struct Case {
        const char* name;
        std::vector<Sample> samples;
        std::vector<Anchor> anchors; // expected afterwards
        double window;               // expected window start afterwards
        int ready = 0;               // corrected samples available afterwards
    };
    const std::vector<Sample> firstWindow = {{2.0, 1}, {2.5, 0}, {3.0, 1}};
    auto with = [](std::vector<Sample> s, std::initializer_list<Sample> more) {
        s.insert(s.end(), more);
        return s;
    };
    const Case cases[] = {
        {"the first window opens at the first sample later than the period, and a sample exactly "
         "one period after the window start does not close it",
         firstWindow,
         {},
         2.0},
        {"the first closing gives two anchors, at the oldest queued sample and at the foot, and the "
         "next window starts 0.1 period after the foot",
         with(firstWindow, {{3.25, 1}}),
         {{2.0, 0}, {2.5, 0}},
         2.6},
        {"a sample equal to the minimum does not replace it",
         {{2.0, 1}, {2.4, 0}, {2.6, 0}, {3.5, 1}},
         {{2.0, 0}, {2.4, 0}},
         2.5},
        {"a sample at the window start is no candidate",
         {{2.0, 1}, {2.0, -5}, {2.5, 0}, {3.5, 1}},
         {{2.0, 0}, {2.5, 0}},
         2.6},
        {"samples before the first window only pass through; the first anchor lies at the oldest",
         {{0.5, 3}, {1.0, -9}, {1.5, 1}, {2.0, 0.2}, {2.6, 0.5}},
         {{0.5, 0.2}, {2.0, 0.2}},
         2.1},
        // Without a new foot the previous foot repeats with its own level, not with the window's
        // running maximum (which would put two levels at one time under the spline).
        {"a window without a new foot repeats the previous foot and moves by 0.3 period",
         with(firstWindow, {{3.25, 1}, {3.3, 1}, {3.7, 1}}),
         {{2.0, 0}, {2.5, 0}, {2.5, 0}},
         2.9},
        {"a lower sample after the window start becomes the next foot",
         with(firstWindow, {{3.25, 1}, {3.4, -0.5}, {3.7, 1}, {4.5, 1}}),
         {{2.0, 0}, {2.5, 0}, {3.4, -0.5}},
         3.5},
        {"a sample earlier than the window start by more than a period restarts the search",
         {{0.5, 3}, {1.0, -9}, {1.5, 1}, {2.0, 0.2}, {2.6, 0.5}, {0.1, 0}},
         {},
         0.0,
         5}, // the samples queued before the jump leave with the baseline known (none: 0)
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MIsoFilter f(100);
        f.Period = 1.0;
        for (const Sample& s : c.samples) f.PutPoints(&s.t, &s.y, 1);
        ASSERT_EQ(f.AnchorCount(), static_cast<int>(c.anchors.size()));
        for (size_t k = 0; k < c.anchors.size(); ++k) {
            EXPECT_DOUBLE_EQ(f.AnchorAt(static_cast<int>(k)).x, c.anchors[k].x) << "anchor " << k;
            EXPECT_DOUBLE_EQ(f.AnchorAt(static_cast<int>(k)).y, c.anchors[k].y) << "anchor " << k;
        }
        EXPECT_DOUBLE_EQ(f.WindowStart(), c.window);
        EXPECT_EQ(f.GetReadyCount(), c.ready); // fewer than four feet: no baseline yet

        // The same samples in one batch end in the same state.
        MIsoFilter g(100);
        g.Period = 1.0;
        std::vector<double> t, y;
        for (const Sample& s : c.samples) {
            t.push_back(s.t);
            y.push_back(s.y);
        }
        g.PutPoints(t.data(), y.data(), static_cast<int>(t.size()));
        ASSERT_EQ(g.AnchorCount(), f.AnchorCount());
        for (int k = 0; k < g.AnchorCount(); ++k) EXPECT_EQ(g.AnchorAt(k).x, f.AnchorAt(k).x);
        EXPECT_EQ(g.WindowStart(), f.WindowStart());
    }
}

// ---- the corrected wave ----

TEST(MIsoFilter, PutsThePulseFeetOnZeroUnderWanderAndRamp) {
    const Wave w = MakeWave({});
    MIsoFilter f(10000);
    const Output out = FeedInBatches(f, w, 500);
    ExpectInputPrefix(out, w.t);
    // Only the tail after the second-to-last foot is held back.
    EXPECT_GT(out.t.size(), w.t.size() - static_cast<size_t>(3 * w.period * 500));

    const Errors e = Measure(out, w, 5.0);
    EXPECT_GT(e.feet, 60);
    EXPECT_LT(e.foot, 0.01);
    EXPECT_LT(e.wave, 0.02);
    // For scale: the uncorrected wave is off by the whole wander.
    double raw = 0;
    for (size_t k = 0; k < out.t.size(); ++k) raw = std::max(raw, std::fabs(w.y[k] - w.clean[k]));
    EXPECT_GT(raw, 0.5);
}

TEST(MIsoFilter, RecoversWithinAFewBeatsAfterABaselineStep) {
    WaveOptions o;
    o.step = 0.5;
    o.stepAt = 30.3;
    const Wave w = MakeWave(o);
    MIsoFilter f(10000);
    const Output out = FeedInBatches(f, w, 500);
    ExpectInputPrefix(out, w.t);
    EXPECT_LT(Measure(out, w, 5.0, 500, 28.0).wave, 0.02);
    const Errors after = Measure(out, w, 34.0);
    EXPECT_LT(after.foot, 0.01);
    EXPECT_LT(after.wave, 0.02);
}

TEST(MIsoFilter, RecordReaderLoopGetsTheSameSamples) {
    const Wave w = MakeWave({});
    MIsoFilter a(10000);
    const Output reader = ReadLikeTheRecordReader(a, w, w.t.size());
    ExpectInputPrefix(reader, w.t);
    MIsoFilter b(10000);
    const Output batched = FeedInBatches(b, w, 137, static_cast<float>(w.period));
    EXPECT_EQ(reader.t, batched.t);
    EXPECT_EQ(reader.v, batched.v);
}

TEST(MIsoFilter, OutputDoesNotDependOnHowTheInputIsSplit) {
    WaveOptions o;
    o.seconds = 40;
    o.hr = 95;
    const Wave w = MakeWave(o);
    for (int capacity : {10000, 300}) { // 300: samples are released early now and then
        SCOPED_TRACE(testing::Message() << "capacity " << capacity);
        MIsoFilter whole(capacity);
        const Output expected = FeedInBatches(whole, w, static_cast<int>(w.t.size()));
        ExpectInputPrefix(expected, w.t);
        ASSERT_GT(expected.t.size(), w.t.size() - 1500);

        for (int batch : {1, 2, 3, 7, 64, 199, 200, 500}) {
            MIsoFilter f(capacity);
            const Output out = FeedInBatches(f, w, batch);
            ASSERT_EQ(out.t, expected.t) << "batch " << batch;
            ASSERT_EQ(out.v, expected.v) << "batch " << batch;
        }
        std::mt19937 rng(capacity);
        for (int run = 0; run < 20; ++run) {
            std::uniform_int_distribution<int> batch(1, 200);
            std::uniform_int_distribution<int> take(0, 400);
            MIsoFilter f(capacity);
            const Output out = Feed(
                f, w.t, w.y, w.period, [&] { return batch(rng); }, [&] { return take(rng); });
            ASSERT_EQ(out.t, expected.t) << "random run " << run;
            ASSERT_EQ(out.v, expected.v) << "random run " << run;
        }
    }
}

TEST(MIsoFilter, KeepsAFewFeetAndNeverFewerThanFour) {
    const Wave w = MakeWave({});
    MIsoFilter f(10000);
    f.Period = w.period;
    double t[100], v[100];
    int least = INT_MAX, most = 0;
    for (size_t i = 0; i < w.t.size(); i += 250) {
        f.PutPoints(&w.t[i], &w.y[i], static_cast<int>(std::min<size_t>(250, w.t.size() - i)));
        while (f.GetPoints(t, v, 100) > 0) {}
        if (f.SplineEnd() < 0) continue;
        least = std::min(least, f.AnchorCount());
        most = std::max(most, f.AnchorCount());
    }
    EXPECT_GE(least, 4);
    EXPECT_LE(most, 8);
}

// ---- start-up, reset, degenerate signals ----

TEST(MIsoFilter, FewerThanFourFeetGiveNoOutput) {
    WaveOptions o;
    o.seconds = 3.5; // windows of 1.25 s: three feet at most
    const Wave w = MakeWave(o);
    MIsoFilter f(10000);
    const Output out = FeedInBatches(f, w, 500);
    EXPECT_LT(f.AnchorCount(), 4);
    EXPECT_EQ(f.GetReadyCount(), 0);
    EXPECT_TRUE(out.t.empty());
}

TEST(MIsoFilter, ResetStartsAfreshWhileTheOldSplineIsKept) {
    const Wave w = MakeWave({});
    MIsoFilter f(10000);
    const Output first = FeedInBatches(f, w, 300);
    f.Period = 9.0;
    const double oneT = 1000.0, oneY = 1.0;
    f.PutPoints(&oneT, &oneY, 1); // leaves a queued sample and a moved window behind
    f.Reset();
    EXPECT_EQ(f.GetReadyCount(), 0);
    EXPECT_EQ(f.AnchorCount(), 0);
    EXPECT_EQ(f.SplineEnd(), -1.0);
    EXPECT_EQ(f.WindowStart(), 0.0);
    EXPECT_EQ(f.Period, 9.0);
    // The stale spline never reaches the new output: it equals a fresh filter's.
    const Output second = FeedInBatches(f, w, 300);
    EXPECT_EQ(second.t, first.t);
    EXPECT_EQ(second.v, first.v);
}

TEST(MIsoFilter, ConstantSignalWaitsForTheCapacityAndLosesNothing) {
    std::vector<double> t, y;
    for (int i = 0; i < 20000; ++i) {
        t.push_back(0.002 * (i + 1));
        y.push_back(0.25);
    }
    // Every later window repeats the first foot, so the spline end stays at that foot and no
    // later sample becomes ready by itself ...
    MIsoFilter big(1'000'000);
    big.Period = 1.0;
    big.PutPoints(t.data(), y.data(), 10000);
    const double end = big.SplineEnd();
    const int ready = big.GetReadyCount();
    EXPECT_GE(end, 1.0);
    EXPECT_LE(end, 2.5);
    big.PutPoints(t.data() + 10000, y.data() + 10000, 10000);
    EXPECT_EQ(big.SplineEnd(), end);
    EXPECT_EQ(big.GetReadyCount(), ready);

    // ... until `capacity - 1` samples wait: then the oldest leaves with the known baseline.
    for (int capacity : {2000, 30000}) {
        MIsoFilter f(capacity);
        const Output out = Feed(
            f, t, y, 1.0, [] { return 500; }, [] { return INT_MAX; });
        ExpectInputPrefix(out, t);
        const auto waiting = static_cast<size_t>(capacity - 1);
        EXPECT_EQ(out.t.size(), t.size() > waiting ? t.size() - waiting : static_cast<size_t>(ready));
        for (double v : out.v) ASSERT_NEAR(v, 0.0, 1e-12);
    }
}

TEST(MIsoFilter, AFlatClippedStretchDoesNotThrowTheBaselineOff) {
    // Pulses, then 4 s stuck at a level above every earlier sample (a saturated input), then pulses.
    const Wave w = MakeWave({});
    std::vector<double> y = w.y;
    double top = 0;
    for (size_t k = 0; k < y.size(); ++k)
        if (w.t[k] < 20) top = std::max(top, y[k]);
    for (size_t k = 0; k < y.size(); ++k)
        if (w.t[k] >= 20 && w.t[k] < 24) y[k] = top + 0.5;
    MIsoFilter f(10000);
    const Output out = Feed(
        f, w.t, y, w.period, [] { return 500; }, [] { return INT_MAX; });
    ExpectInputPrefix(out, w.t);
    double worst = 0;
    for (double v : out.v) worst = std::max(worst, std::fabs(v));
    EXPECT_LT(worst, 3.0); // the signal spans about 2.4
    // Away from the clipped stretch the feet are back on zero.
    Wave clipped = w;
    clipped.y = y;
    EXPECT_LT(Measure(out, clipped, 30.0).foot, 0.01);
}

// ---- time jumps and bad arguments ----

TEST(MIsoFilter, TimeGoingBackWithoutResetLosesNothingAndRecovers) {
    WaveOptions o;
    o.seconds = 30;
    const Wave w = MakeWave(o);
    std::vector<double> t = w.t, y = w.y;
    t.insert(t.end(), w.t.begin(), w.t.end()); // the same 30 s again
    y.insert(y.end(), w.y.begin(), w.y.end());
    MIsoFilter f(10000);
    const Output out = Feed(
        f, t, y, w.period, [] { return 500; }, [] { return INT_MAX; });
    ExpectInputPrefix(out, t);
    ASSERT_GT(out.t.size(), w.t.size());
    // The repeat is corrected exactly like the same samples in a fresh filter.
    MIsoFilter fresh(10000);
    const Output expected = FeedInBatches(fresh, w, 500);
    const std::vector<double> secondT(out.t.begin() + static_cast<long>(w.t.size()), out.t.end());
    const std::vector<double> secondV(out.v.begin() + static_cast<long>(w.t.size()), out.v.end());
    EXPECT_EQ(secondT, expected.t);
    EXPECT_EQ(secondV, expected.v);
}

TEST(MIsoFilter, AGapInTimeCostsNoMoreThanAShortOneAndLosesNothing) {
    WaveOptions o;
    o.seconds = 30;
    const Wave w = MakeWave(o);
    std::vector<double> t = w.t, y = w.y;
    for (size_t k = t.size() / 2; k < t.size(); ++k) t[k] += 3.0e8; // about ten years later
    MIsoFilter f(10000);
    const auto start = std::chrono::steady_clock::now();
    const Output out = Feed(
        f, t, y, w.period, [] { return 500; }, [] { return INT_MAX; });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ExpectInputPrefix(out, t);
    EXPECT_GT(out.t.size(), t.size() - 1500);
    for (double v : out.v) ASSERT_TRUE(std::isfinite(v));
}

TEST(MIsoFilter, DegeneratePeriodsStillTerminateAndLoseNothing) {
    WaveOptions o;
    o.seconds = 10;
    const Wave w = MakeWave(o);
    const double periods[] = {
        0.0, -1.0, 1e-9, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
        1e9};
    for (double p : periods) {
        MIsoFilter f(2000);
        const Output out = Feed(
            f, w.t, w.y, p, [] { return 500; }, [] { return INT_MAX; });
        ExpectInputPrefix(out, w.t);
        EXPECT_GE(out.t.size(), w.t.size() - 1999) << "period " << p;
        for (double v : out.v) ASSERT_TRUE(std::isfinite(v)) << "period " << p;
    }
}

TEST(MIsoFilter, BadSamplesPassThroughWithoutStoppingTheSearch) {
    const Wave w = MakeWave({});
    std::vector<double> t = w.t, y = w.y;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    y[7000] = nan;
    y[7001] = std::numeric_limits<double>::infinity();
    MIsoFilter f(10000);
    const Output out = Feed(
        f, t, y, w.period, [] { return 500; }, [] { return INT_MAX; });
    ExpectInputPrefix(out, t);
    EXPECT_TRUE(std::isnan(out.v[7000]));
    EXPECT_LT(Measure(out, w, 20.0).foot, 0.01);
}

TEST(MIsoFilter, UncollectedOutputIsBoundedByDroppingTheOldest) {
    // A caller that never collects: waiting samples stay below the capacity, corrected ones pile
    // up to 2^20 and then the oldest of them go.
    const size_t limit = size_t{1} << 20;
    std::vector<double> t(limit + 1000), y(limit + 1000, 0.5);
    for (size_t i = 0; i < t.size(); ++i) t[i] = 0.002 * static_cast<double>(i + 1);
    MIsoFilter f(5);
    f.Period = 1.0;
    f.PutPoints(t.data(), y.data(), static_cast<int>(t.size()));
    EXPECT_EQ(static_cast<size_t>(f.GetReadyCount()), limit - 4);
    double outT[3], outV[3];
    ASSERT_EQ(f.GetPoints(outT, outV, 3), 3);
    EXPECT_EQ(outT[0], t[1000]);
    EXPECT_EQ(outT[2], t[1002]);
}

TEST(MIsoFilter, ArgumentsAndCapacityBounds) {
    MIsoFilter f(1);
    EXPECT_EQ(f.Capacity(), 5);
    EXPECT_EQ(MIsoFilter(2'000'000'000).Capacity(), 10'000'000);
    double t[4] = {1, 2, 3, 4}, v[4] = {0, 0, 0, 0};
    EXPECT_TRUE(f.PutPoints(nullptr, v, 4));
    EXPECT_TRUE(f.PutPoints(t, nullptr, 4));
    EXPECT_TRUE(f.PutPoints(t, v, 0));
    EXPECT_TRUE(f.PutPoints(t, v, -3));
    EXPECT_EQ(f.GetPoints(nullptr, v, 4), 0);
    EXPECT_EQ(f.GetPoints(t, nullptr, 4), 0);
    EXPECT_EQ(f.GetPoints(t, v, 0), 0);
    EXPECT_EQ(f.GetReadyCount(), 0);
}

} // namespace
