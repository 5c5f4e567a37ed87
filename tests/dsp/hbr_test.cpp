#include "dsp/HBR_Calculator.h"
#include "dsp/MRejectionFilter.h"

#include "tests/dsp/SyntheticPulse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace {

struct Samples {
    std::vector<double> t, v;
};

// Square wave between -1 and +1 at 500 samples per second from t = 0.002, low until the first
// edge and switching at every edge. Edges lie 1 ms off the sample grid, so a crossing is seen at
// edge + 0.001 s. Every switch crosses the detector's threshold, which always lies between the
// two levels.
Samples SquareWave(const std::vector<double>& edges, double duration) {
    Samples s;
    size_t e = 0;
    double level = -1;
    for (int k = 1; 0.002 * k <= duration; ++k) {
        const double t = 0.002 * k;
        while (e < edges.size() && edges[e] <= t) {
            level = -level;
            ++e;
        }
        s.t.push_back(t);
        s.v.push_back(level);
    }
    return s;
}

// Rising edges every `period` from `first`, each followed by a falling edge `width` later.
void AddPulses(std::vector<double>& edges, double first, int count, double period = 0.8, double width = 0.3) {
    for (int k = 0; k < count; ++k) {
        edges.push_back(first + k * period);
        edges.push_back(first + k * period + width);
    }
}

std::vector<sHrMeasure> Drain(HBR_Calculator& c) {
    std::vector<sHrMeasure> out;
    sHrMeasure m;
    while (c.Results().TryPop(m)) out.push_back(m);
    return out;
}

// Processes in blocks of `block`, draining the results after every block.
std::vector<sHrMeasure> Feed(HBR_Calculator& c, const Samples& s, int block = 28) {
    std::vector<sHrMeasure> out;
    for (size_t i = 0; i < s.t.size(); i += block) {
        const int n = static_cast<int>(std::min<size_t>(block, s.t.size() - i));
        c.Process(s.t.data() + i, s.v.data() + i, n);
        for (const sHrMeasure& m : Drain(c)) out.push_back(m);
    }
    return out;
}

// --- Crossing chains on square waves ---

struct ChainCase {
    const char* name;
    std::vector<double> edges;
    std::vector<double> beats; // expected beat times (edge + 1 ms)
};

std::vector<ChainCase> ChainCases() {
    std::vector<ChainCase> cases;
    {
        ChainCase c{"regular", {}, {}};
        AddPulses(c.edges, 0.501, 10);
        for (int k = 1; k < 10; ++k) c.beats.push_back(0.502 + 0.8 * k); // the first rise starts the chain
        cases.push_back(c);
    }
    {
        // A 50 ms dip inside a pulse: its rise is within 0.1 s of the accepted fall and is ignored.
        ChainCase c{"short dip ignored", {}, {}};
        for (int k = 0; k < 6; ++k) {
            const double u = 0.501 + 0.8 * k;
            c.edges.insert(c.edges.end(), {u, u + 0.15, u + 0.20, u + 0.30});
            if (k > 0) c.beats.push_back(u + 0.001);
        }
        cases.push_back(c);
    }
    {
        // The same dip 150 ms long: its rise is a crossing of its own and marks an extra beat.
        ChainCase c{"long dip counts", {}, {}};
        for (int k = 0; k < 3; ++k) {
            const double u = 0.501 + 0.8 * k;
            c.edges.insert(c.edges.end(), {u, u + 0.15, u + 0.30, u + 0.45});
        }
        c.beats = {0.802, 1.302, 1.602, 2.102, 2.402};
        cases.push_back(c);
    }
    {
        // After a pause of 1.5 s between crossings, the next rise only restarts the chain.
        ChainCase c{"isolated crossing restarts", {}, {}};
        AddPulses(c.edges, 0.501, 4);       // rises at 0.501 ... 2.901, last fall 3.201
        AddPulses(c.edges, 3.201 + 1.5, 3); // rises at 4.701, 5.501, 6.301
        c.beats = {1.302, 2.102, 2.902, 5.502, 6.302};
        cases.push_back(c);
    }
    return cases;
}

class CrossingChain : public testing::TestWithParam<ChainCase> {};

TEST_P(CrossingChain, MarksBeatsAtTheRisesOfAnAcceptedChain) {
    HBR_Calculator c;
    const ChainCase& cc = GetParam();
    const auto beats = Feed(c, SquareWave(cc.edges, cc.edges.back() + 0.5));
    ASSERT_EQ(beats.size(), cc.beats.size());
    for (size_t i = 0; i < beats.size(); ++i) EXPECT_NEAR(beats[i].time, cc.beats[i], 1e-9) << i;
}

INSTANTIATE_TEST_SUITE_P(Cases, CrossingChain, testing::ValuesIn(ChainCases()),
                         [](const testing::TestParamInfo<ChainCase>& info) {
                             std::string s = info.param.name;
                             for (char& ch : s)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return s;
                         });

TEST(HBR_Calculator, CrossingExactly1p2sAfterTheLastAcceptedChangesNothing) {
    // 1.7 - 0.5 is exactly 1.2 in binary floating point. Had the crossing at 1.7 been accepted,
    // the rise at 1.75 would come within 0.1 s of it and be ignored; had it restarted the chain,
    // the restart would be at 1.7. It does neither, so the rise at 1.75 restarts.
    ASSERT_EQ(1.7 - 0.5, 1.2);
    const double t[4] = {0.25, 0.5, 1.7, 1.75}, v[4] = {-1, 1, -1, 1};
    HBR_Calculator c;
    c.Process(t, v, 4);
    EXPECT_EQ(c.LastBeatTime(), 1.75);
    EXPECT_EQ(c.Results().Count(), 0);
}

TEST(HBR_Calculator, FirstPeriodIsTakenRawThenSmoothed) {
    std::vector<double> edges;
    AddPulses(edges, 0.501, 6);
    HBR_Calculator c;
    const auto beats = Feed(c, SquareWave(edges, 5.0));
    ASSERT_EQ(beats.size(), 5u);
    // First beat at 1.302: its period runs from the start of the stream (0.002).
    EXPECT_NEAR(beats[0].hr, 60.0 / 1.3, 1e-4);
    // Second: average 0.8 * 1.3 + 0.2 * 0.8 = 1.2, within 50 %, period 0.1 * 1.3 + 0.9 * 0.8.
    EXPECT_NEAR(beats[1].hr, 60.0 / 0.85, 1e-3);
    EXPECT_NEAR(beats[2].hr, 60.0 / 0.805, 1e-3);
    EXPECT_NEAR(c.Hr(), beats[4].hr, 1e-4);
    EXPECT_FLOAT_EQ(beats[1].min, -1.0f);
    EXPECT_FLOAT_EQ(beats[1].max, 1.0f);
}

TEST(HBR_Calculator, OutlierPeriodKeepsThePreviousRate) {
    // Regular beats, then one interval twice as long without a restart (its intermediate rises
    // come within 0.1 s of accepted falls), then regular again.
    std::vector<double> edges;
    AddPulses(edges, 0.501, 15); // last rise at 11.701
    const double u = 0.501 + 0.8 * 15;
    edges.insert(edges.end(), {u, u + 0.30, u + 0.35, u + 1.00, u + 1.05, u + 1.30});
    AddPulses(edges, u + 1.6, 3);
    HBR_Calculator c;
    const auto beats = Feed(c, SquareWave(edges, u + 4.0));
    // Find the beat at u + 1.6 and the one before it.
    size_t k = 0;
    while (k < beats.size() && std::fabs(beats[k].time - (u + 1.601)) > 1e-6) ++k;
    ASSERT_LT(k, beats.size());
    ASSERT_GT(k, 0u);
    EXPECT_NEAR(beats[k - 1].time, u + 0.001, 1e-6);
    EXPECT_NEAR(beats[k - 1].hr, 75.0, 0.2);
    EXPECT_EQ(beats[k].hr, beats[k - 1].hr); // raw 1.6 s is an outlier: the rate repeats
    ASSERT_LT(k + 1, beats.size());
    EXPECT_NEAR(beats[k + 1].hr, 75.0, 0.2);
}

TEST(HBR_Calculator, RestartClearsTheRateAndLongSilenceResetsTheThreshold) {
    std::vector<double> edges;
    AddPulses(edges, 0.501, 5); // last fall 3.801
    HBR_Calculator c;
    Samples s = SquareWave(edges, 3.9);
    Feed(c, s);
    EXPECT_GT(c.Hr(), 0.0);
    // Three seconds of silence, then a rise: the chain restarts and the rate is cleared.
    std::vector<double> more = edges;
    more.push_back(6.901);
    Samples all = SquareWave(more, 7.0);
    Samples rest;
    for (size_t i = s.t.size(); i < all.t.size(); ++i) rest.t.push_back(all.t[i]), rest.v.push_back(all.v[i]);
    EXPECT_TRUE(Feed(c, rest).empty());
    EXPECT_EQ(c.Hr(), 0.0);
    EXPECT_NEAR(c.LastBeatTime(), 6.902, 1e-9);
}

TEST(HBR_Calculator, CleanSineOfPeriod0p8ConvergesTo75) {
    Samples s;
    for (int k = 1; k <= 500 * 60; ++k) {
        const double t = 0.002 * k;
        s.t.push_back(t);
        s.v.push_back(0.5 + 0.1 * std::sin(2 * std::numbers::pi * t / 0.8));
    }
    HBR_Calculator c;
    const auto beats = Feed(c, s);
    std::vector<sHrMeasure> settled;
    for (const auto& b : beats)
        if (b.time > 10) settled.push_back(b);
    ASSERT_GE(settled.size(), 62u); // one per cycle over the last 50 s
    ASSERT_LE(settled.size(), 63u);
    for (size_t i = 1; i < settled.size(); ++i) {
        EXPECT_NEAR(settled[i].time - settled[i - 1].time, 0.8, 0.0021);
        EXPECT_NEAR(settled[i].hr, 75.0, 0.3);
        EXPECT_NEAR(settled[i].min, 0.4, 0.001);
        EXPECT_NEAR(settled[i].max, 0.6, 0.001);
    }
    EXPECT_NEAR(c.Hr(), 75.0, 0.3);
}

TEST(HBR_Calculator, ResultsDoNotDependOnHowTheStreamIsCut) {
    synth::SyntheticPulse gen;
    Samples s;
    s.t.resize(500 * 120);
    s.v.resize(s.t.size());
    gen.Generate(s.t.data(), s.v.data(), static_cast<int>(s.t.size()));
    HBR_Calculator whole;
    whole.Process(s.t.data(), s.v.data(), static_cast<int>(s.t.size()));
    const auto ref = Drain(whole); // fewer than 32 beats would be lost here; keep the stream short
    for (int block : {1, 28, 1000}) {
        HBR_Calculator c;
        const auto beats = Feed(c, s, block);
        ASSERT_GE(beats.size(), ref.size());
        // The whole-stream run kept only the newest beats; they must match the tail.
        const size_t off = beats.size() - ref.size();
        for (size_t i = 0; i < ref.size(); ++i) {
            EXPECT_EQ(beats[off + i].time, ref[i].time);
            EXPECT_EQ(beats[off + i].hr, ref[i].hr);
        }
        EXPECT_EQ(c.Hr(), whole.Hr());
    }
}

TEST(HBR_Calculator, FullQueueKeepsOnlyTheNewestBeats) {
    std::vector<double> edges;
    AddPulses(edges, 0.501, 41); // 40 beats
    HBR_Calculator c;
    const Samples s = SquareWave(edges, edges.back() + 0.5);
    c.Process(s.t.data(), s.v.data(), static_cast<int>(s.t.size()));
    const auto left = Drain(c);
    ASSERT_FALSE(left.empty());
    ASSERT_LT(left.size(), 32u);
    EXPECT_NEAR(left.back().time, 0.502 + 0.8 * 40, 1e-9);
    for (size_t i = 1; i < left.size(); ++i) EXPECT_NEAR(left[i].time - left[i - 1].time, 0.8, 1e-9);
}

TEST(HBR_Calculator, MissingInputDoesNothingAndResetKeepsTheQueue) {
    HBR_Calculator c;
    const double t[2] = {1.0, 1.002}, v[2] = {0.0, 1.0};
    c.Process(nullptr, v, 2);
    c.Process(t, nullptr, 2);
    c.Process(t, v, 0);
    EXPECT_EQ(c.LastBeatTime(), 0.0);

    std::vector<double> edges;
    AddPulses(edges, 0.501, 4);
    const Samples s = SquareWave(edges, 3.5);
    c.Process(s.t.data(), s.v.data(), static_cast<int>(s.t.size()));
    const int queued = c.Results().Count();
    ASSERT_EQ(queued, 3);
    c.Reset();
    EXPECT_EQ(c.Results().Count(), queued);
    EXPECT_EQ(c.LastBeatTime(), 0.0);
    EXPECT_EQ(c.Hr(), 0.0);
    EXPECT_EQ(c.Period(), 0.0);
    c.Process(t, v, 2); // starts again from this call's first sample
    EXPECT_EQ(c.LastBeatTime(), 1.0);
}

TEST(HBR_Calculator, SamplesThatAreNotNumbersAreSkipped) {
    std::vector<double> edges;
    AddPulses(edges, 0.501, 8);
    const Samples clean = SquareWave(edges, 7.0);
    Samples dirty;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    dirty.t.push_back(nan), dirty.v.push_back(0.0); // a bad first sample must not start the detector
    for (size_t i = 0; i < clean.t.size(); ++i) {
        dirty.t.push_back(clean.t[i]);
        dirty.v.push_back(clean.v[i]);
        if (i % 97 == 0) dirty.t.push_back(clean.t[i]), dirty.v.push_back(nan);
        if (i % 101 == 0) dirty.t.push_back(clean.t[i]), dirty.v.push_back(inf);
    }
    HBR_Calculator a, b;
    const auto ra = Feed(a, clean), rb = Feed(b, dirty);
    ASSERT_EQ(ra.size(), 7u);
    ASSERT_EQ(rb.size(), ra.size());
    for (size_t i = 0; i < ra.size(); ++i) {
        EXPECT_EQ(ra[i].time, rb[i].time);
        EXPECT_EQ(ra[i].hr, rb[i].hr);
    }
    EXPECT_TRUE(std::isfinite(b.Hr()));
}

// The detector's loop is tuned for speed (state in locals, rare cases behind one branch). This
// plain step-by-step model of the same rules must give exactly the same beats.
struct PlainDetector {
    double lastDev = 0.5, lastBeatTime = 0, cycleMin = 5000, cycleMax = -5000, prevCycleMin = 0;
    double lastCrossTime = 0, period = 0, mean = 0, periodAvg = 0, hr = 0;
    int crossCount = 0;
    std::vector<sHrMeasure> out;

    void Process(const double* t, const double* v, int n) {
        if (lastBeatTime == 0) {
            lastCrossTime = lastBeatTime = t[0];
            lastDev = v[0];
            mean = 0.5 * v[0];
            cycleMin = cycleMax = v[0];
            prevCycleMin = mean;
        }
        for (int k = 0; k < n; ++k) {
            mean = 0.995 * mean + 0.005 * v[k];
            if (v[k] < cycleMin) cycleMin = v[k];
            if (v[k] > cycleMax) cycleMax = v[k];
            const double d = v[k] - (0.7 * mean + 0.3 * prevCycleMin);
            const double dt = t[k] - lastCrossTime;
            if (dt > 2.0) prevCycleMin = cycleMin = cycleMax = mean;
            if (d * lastDev < 0) {
                if (0.1 < dt && dt < 1.2) {
                    if (d > 0) crossCount += 1;
                    lastCrossTime = t[k];
                } else if (dt > 1.2) {
                    crossCount = 1;
                    lastCrossTime = lastBeatTime = t[k];
                    hr = 0;
                }
                if (crossCount >= 2) {
                    const double p = t[k] - lastBeatTime;
                    if (period == 0) {
                        period = periodAvg = p;
                    } else if (periodAvg != 0) {
                        periodAvg = 0.8 * periodAvg + 0.2 * p;
                        if (std::fabs(p - periodAvg) / periodAvg < 0.5) period = 0.1 * period + 0.9 * p;
                    }
                    if (period > 0) {
                        hr = 60 / period;
                        out.push_back({static_cast<float>(hr), t[k], static_cast<float>(cycleMin),
                                       static_cast<float>(cycleMax)});
                        prevCycleMin = cycleMin;
                        cycleMin = cycleMax = v[k];
                    }
                    crossCount = 1;
                    lastBeatTime = t[k];
                }
            }
            if (d != 0) lastDev = d;
        }
    }
};

TEST(HBR_Calculator, MatchesAPlainModelOfItsRules) {
    // A noisy pulse with dropouts (flat stretches of 1.5 s and 3 s) and an arrhythmic stretch,
    // so that restarts, long gaps, outliers and noise crossings all occur.
    synth::PulseOptions o;
    o.noise = 0.01;
    o.hum = 0.03;
    synth::SyntheticPulse gen(o);
    Samples s;
    s.t.resize(500 * 200);
    s.v.resize(s.t.size());
    gen.Generate(s.t.data(), s.v.data(), static_cast<int>(s.t.size()));
    for (size_t i = 0; i < s.t.size(); ++i) {
        const double t = s.t[i];
        if ((t > 40 && t < 41.5) || (t > 90 && t < 93)) s.v[i] = 0.45;
        if (t > 120 && t < 140 && std::fmod(t, 2.7) < 0.4) s.v[i] += 0.08;
    }
    HBR_Calculator fast;
    PlainDetector plain;
    const auto beats = Feed(fast, s, 28);
    for (size_t i = 0; i < s.t.size(); i += 28) {
        const int n = static_cast<int>(std::min<size_t>(28, s.t.size() - i));
        plain.Process(s.t.data() + i, s.v.data() + i, n);
    }
    ASSERT_GT(plain.out.size(), 150u);
    ASSERT_EQ(beats.size(), plain.out.size());
    for (size_t i = 0; i < beats.size(); ++i) {
        EXPECT_EQ(beats[i].time, plain.out[i].time) << i;
        EXPECT_EQ(beats[i].hr, plain.out[i].hr) << i;
        EXPECT_EQ(beats[i].min, plain.out[i].min) << i;
        EXPECT_EQ(beats[i].max, plain.out[i].max) << i;
    }
    EXPECT_EQ(fast.Hr(), plain.hr);
    EXPECT_EQ(fast.Period(), plain.period);
}

// --- Live chain on a synthetic pulse wave ---

struct PulseCase {
    const char* name;
    double meanHr, hum, noise;
    uint64_t seed;
};

class LiveChain : public testing::TestWithParam<PulseCase> {};

// Raw samples in blocks of 28 through the live rejection filter; every filtered blob goes to the
// detector, as in the live pipeline. The true beat time is where the clean beat rises through 15 %
// of its foot-to-peak amplitude: the detector's threshold lies 30 % of the way from the signal's
// mean down to the previous minimum, which puts its crossing low on the upstroke.
TEST_P(LiveChain, EveryBeatIsFoundWithin20msAndTheRateFollows) {
    const PulseCase& pc = GetParam();
    synth::PulseOptions o;
    o.meanHr = pc.meanHr;
    o.hum = pc.hum;
    o.noise = pc.noise;
    o.seed = pc.seed;
    o.referenceLevel = 0.15;
    synth::SyntheticPulse gen(o);
    MRejectionFilter filter;
    filter.ConfigureLive();
    HBR_Calculator detector;

    const int total = 500 * 300; // 5 minutes
    std::vector<double> t(28), v(28), ft, fv;
    std::vector<sHrMeasure> beats;
    double lastFiltered = 0;
    for (int s = 0; s < total; s += 28) {
        gen.Generate(t.data(), v.data(), 28);
        ASSERT_EQ(filter.PutPoints(v.data(), t.data(), 28), 28);
        const int n = filter.OutputCount();
        if (n < 30) continue;
        ft.resize(n);
        fv.resize(n);
        ASSERT_EQ(filter.GetPoints(fv.data(), ft.data(), n), n);
        lastFiltered = ft[n - 1];
        detector.Process(ft.data(), fv.data(), n);
        for (const sHrMeasure& m : Drain(detector)) beats.push_back(m);
    }

    // After the start-up (10 s): every true beat has a detection within 20 ms, and every
    // detection lies within 20 ms of a true beat (no extra beats).
    const double from = 10.0, to = lastFiltered - 0.5;
    const auto& truth = gen.Beats();
    const auto nearest = [](const auto& list, double t, auto timeOf) {
        double best = 1e9;
        for (const auto& x : list) best = std::fabs(timeOf(x) - t) < std::fabs(best) ? timeOf(x) - t : best;
        return best;
    };
    int checked = 0;
    double worstTime = 0, worstRate = 0;
    for (const synth::PulseBeat& b : truth) {
        if (b.reference < from || b.reference > to) continue;
        ++checked;
        const double dt = nearest(beats, b.reference, [](const sHrMeasure& m) { return m.time; });
        ASSERT_LE(std::fabs(dt), 0.020) << "true beat at " << b.reference;
        const sHrMeasure* m = nullptr;
        for (const auto& x : beats)
            if (std::fabs(x.time - b.reference - dt) < 1e-12) m = &x;
        ASSERT_NE(m, nullptr);
        EXPECT_NEAR(m->hr, b.rate, 3.0) << "true beat at " << b.reference;
        worstTime = std::max(worstTime, std::fabs(dt));
        worstRate = std::max(worstRate, std::fabs(m->hr - b.rate));
    }
    for (const sHrMeasure& m : beats) {
        if (m.time < from + 0.1 || m.time > to - 0.1) continue;
        const double dt = nearest(truth, m.time, [](const synth::PulseBeat& b) { return b.reference; });
        EXPECT_LE(std::fabs(dt), 0.020) << "extra beat at " << m.time;
    }
    EXPECT_GT(checked, 300);
    RecordProperty("worst_time_ms", std::to_string(worstTime * 1000));
    RecordProperty("worst_rate_bpm", std::to_string(worstRate));
}

INSTANTIATE_TEST_SUITE_P(Cases, LiveChain,
                         testing::Values(PulseCase{"rest72", 72, 0.004, 0.001, 1},
                                         PulseCase{"hum80", 80, 0.02, 0.002, 2},
                                         PulseCase{"fast90", 90, 0.01, 0.001, 3}),
                         [](const testing::TestParamInfo<PulseCase>& info) { return info.param.name; });

} // namespace
