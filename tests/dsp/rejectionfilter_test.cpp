#include "dsp/MRejectionFilter.h"

#include "tests/dsp/SyntheticPulse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>
#include <vector>

namespace {

struct Series {
    std::vector<double> t, v;
};

// Feeds n samples of signal(t) at 500 samples per second (t = 0.002, 0.004, ...) to the filter in
// batches of `batch`, taking every output sample as soon as it is ready, as the live pipeline does.
Series RunLive(MRejectionFilter& f, int n, const std::function<double(double)>& signal, int batch = 28,
               Series* input = nullptr) {
    Series out;
    std::vector<double> t, v;
    for (int s = 0; s < n; s += batch) {
        const int m = std::min(batch, n - s);
        t.resize(m);
        v.resize(m);
        for (int k = 0; k < m; ++k) {
            t[k] = 0.002 * (s + k + 1);
            v[k] = signal(t[k]);
        }
        if (input) {
            input->t.insert(input->t.end(), t.begin(), t.end());
            input->v.insert(input->v.end(), v.begin(), v.end());
        }
        EXPECT_EQ(f.PutPoints(v.data(), t.data(), m), m);
        const int ready = f.OutputCount();
        if (ready > 0) {
            std::vector<double> ov(ready), ot(ready);
            EXPECT_EQ(f.GetPoints(ov.data(), ot.data(), ready), ready);
            out.t.insert(out.t.end(), ot.begin(), ot.end());
            out.v.insert(out.v.end(), ov.begin(), ov.end());
        }
    }
    return out;
}

TEST(MRejectionFilter, DerivedFrequenciesFollowTheResponsePoints) {
    struct Case {
        const char* name;
        std::vector<std::pair<double, double>> points; // {gain, frequency}
        double lowestPass, smallestStep;
    };
    for (const Case& c : {
             Case{"live", {{0.0, 5.0}, {1.0, 20.0}}, 20.0, 5.0},
             Case{"steps only above the highest point", {{1.0, 30.0}, {0.0, 10.0}, {0.5, 34.0}}, 30.0, 4.0},
             Case{"pass band lowered", {{1.0, 40.0}, {0.2, 12.0}}, 12.0, 40.0},
             Case{"refused point changes nothing", {{1.0, 0.05}}, 0.0, 0.0},
             Case{"no pass band", {{0.0, 3.0}, {0.0, 9.0}}, 0.0, 3.0},
         }) {
        SCOPED_TRACE(c.name);
        MRejectionFilter f;
        for (const auto& [gain, freq] : c.points) f.AddResponsePoint(gain, freq);
        EXPECT_DOUBLE_EQ(f.LowestPassFrequency(), c.lowestPass);
        EXPECT_DOUBLE_EQ(f.SmallestStep(), c.smallestStep);
        f.Reset();
        EXPECT_EQ(f.ResponseCount(), 0);
        EXPECT_EQ(f.LowestPassFrequency(), 0.0);
        EXPECT_EQ(f.SmallestStep(), 0.0);
    }
}

TEST(MRejectionFilter, LiveConfigurationGivesTheLiveResponseAndBlockSize) {
    MRejectionFilter f;
    f.ConfigureLive();
    EXPECT_EQ(f.ResponseCount(), 2);
    EXPECT_DOUBLE_EQ(f.ResponseAt(5.0), 0.0);
    EXPECT_DOUBLE_EQ(f.ResponseAt(12.5), 0.5);
    EXPECT_DOUBLE_EQ(f.ResponseAt(20.0), 1.0);
    EXPECT_DOUBLE_EQ(f.LowestPassFrequency(), 20.0);
    EXPECT_DOUBLE_EQ(f.SmallestStep(), 5.0);
    EXPECT_EQ(f.BlockLength(0.002), 200);
    EXPECT_EQ(MRejectionFilter::FftSizeFor(200), 512);
    EXPECT_EQ(MRejectionFilter::FftSizeFor(512), 1024);
    EXPECT_EQ(MRejectionFilter::FftSizeFor(600), 1024);
    EXPECT_EQ(f.BlockLength(1.0), 8); // at least 8 samples
}

TEST(MRejectionFilter, RefusesInputItCannotFilter) {
    const double v[3] = {1, 2, 3}, t[3] = {0.002, 0.004, 0.006};
    MRejectionFilter f;
    EXPECT_EQ(f.PutPoints(v, t, 3), -1); // no response yet
    f.AddResponsePoint(0.0, 5.0);
    EXPECT_EQ(f.PutPoints(v, t, 3), -1); // still no pass band
    f.AddResponsePoint(1.0, 20.0);
    EXPECT_EQ(f.PutPoints(v, t, 0), -1);
    EXPECT_EQ(f.PutPoints(nullptr, t, 3), -1);
    EXPECT_EQ(f.PutPoints(v, nullptr, 3), -1);
    EXPECT_EQ(f.PutPoints(v, t, 1), 1); // a single sample is simply held

    double ov[4], ot[4];
    EXPECT_EQ(f.GetPoints(ov, ot, 1), -1); // nothing ready yet
    EXPECT_EQ(f.GetPoints(ov, ot, 0), 0);
    EXPECT_EQ(f.GetPoints(nullptr, ot, 0), -1);
}

TEST(MRejectionFilter, SamplesWithoutTimeSpreadAreStoredButRefused) {
    MRejectionFilter f;
    f.ConfigureLive();
    const double v[2] = {0.5, 0.5}, same[2] = {0.0, 0.0};
    EXPECT_EQ(f.PutPoints(v, same, 2), -1);
    // They were stored: they come out in front of the later samples.
    const Series out = RunLive(f, 2000, [](double) { return 0.5; });
    ASSERT_GE(out.t.size(), 2u);
    EXPECT_EQ(out.t[0], 0.0);
    EXPECT_EQ(out.t[1], 0.0);
    EXPECT_EQ(out.t[2], 0.002);
}

TEST(MRejectionFilter, GetPointsTakesTheOldestAndRefusesMoreThanHeld) {
    MRejectionFilter f;
    f.ConfigureLive();
    std::vector<double> t(600), v(600, 0.25);
    for (int i = 0; i < 600; ++i) t[i] = 0.002 * (i + 1);
    ASSERT_EQ(f.PutPoints(v.data(), t.data(), 600), 600);
    const int held = f.OutputCount();
    ASSERT_GT(held, 30);
    std::vector<double> ov(held + 1), ot(held + 1);
    EXPECT_EQ(f.GetPoints(ov.data(), ot.data(), held + 1), -1);
    EXPECT_EQ(f.OutputCount(), held); // nothing taken
    EXPECT_EQ(f.GetPoints(ov.data(), ot.data(), 10), 10);
    EXPECT_EQ(ot[0], t[0]);
    EXPECT_EQ(ot[9], t[9]);
    EXPECT_EQ(f.GetPoints(ov.data(), ot.data(), 5), 5);
    EXPECT_EQ(ot[0], t[10]);
    EXPECT_EQ(f.OutputCount(), held - 15);
}

TEST(MRejectionFilter, ConstantInputPassesUnchangedOnTheInputTimes) {
    MRejectionFilter f;
    f.ConfigureLive();
    Series in;
    const Series out = RunLive(
        f, 20000, [](double) { return 0.37; }, 28, &in);
    ASSERT_GT(out.t.size(), 19000u);
    for (size_t i = 0; i < out.t.size(); ++i) {
        ASSERT_EQ(out.t[i], in.t[i]) << i; // every input time, in order, none lost or repeated
        ASSERT_NEAR(out.v[i], 0.37, 1e-12) << i;
    }
}

TEST(MRejectionFilter, PassesThePulseBandAndRemovesTheNoiseBand) {
    // Amplitude of a unit sine after the filter, after the start-up, against 1 - response.
    struct Case {
        double freq, expected, tolerance;
    };
    for (const Case& c : {Case{0.5, 1.0, 0.01}, Case{1.2, 1.0, 0.01}, Case{3.0, 1.0, 0.01},
                          Case{7.5, 5.0 / 6, 0.01}, Case{10.0, 2.0 / 3, 0.01}, Case{12.5, 0.5, 0.01},
                          Case{25.0, 0.0, 0.01}, Case{50.0, 0.0, 0.01}, Case{100.0, 0.0, 0.03}}) {
        SCOPED_TRACE(c.freq);
        MRejectionFilter f;
        f.ConfigureLive();
        const auto sine = [&](double t) { return 0.5 + std::sin(2 * std::numbers::pi * c.freq * t); };
        const Series out = RunLive(f, 15000, sine);
        double s = 0, co = 0;
        int n = 0;
        for (size_t i = 1000; i < out.t.size(); ++i, ++n) {
            s += (out.v[i] - 0.5) * std::sin(2 * std::numbers::pi * c.freq * out.t[i]);
            co += (out.v[i] - 0.5) * std::cos(2 * std::numbers::pi * c.freq * out.t[i]);
        }
        EXPECT_NEAR(2 * std::hypot(s, co) / n, c.expected, c.tolerance);
    }
}

TEST(MRejectionFilter, MainsHumIsRemovedFromEverySample) {
    // Block seams must not let single samples through: each output sample is compared, not an
    // average. Amplitude 1 at 50 Hz; what is left is the linear resampling error.
    MRejectionFilter f;
    f.ConfigureLive();
    const Series out = RunLive(f, 20000, [](double t) { return std::sin(2 * std::numbers::pi * 50.0 * t); });
    double worst = 0;
    for (size_t i = 200; i < out.v.size(); ++i) worst = std::max(worst, std::fabs(out.v[i]));
    EXPECT_LT(worst, 0.06);
}

TEST(MRejectionFilter, StartOfStreamIsNotBentByTheFilter) {
    // Before the first filtered sample there is nothing to subtract but its value; the first
    // samples carry the noise they came with and no more.
    synth::PulseOptions o;
    o.hum = 0.02;
    o.noise = 0.001;
    synth::SyntheticPulse noisy(o);
    o.hum = 0;
    o.noise = 0;
    synth::SyntheticPulse clean(o);
    MRejectionFilter f;
    f.ConfigureLive();
    std::vector<double> t(28), v(28), ct(28), cv(28);
    Series out;
    std::vector<double> cleanValues;
    while (out.v.size() < 400) {
        noisy.Generate(t.data(), v.data(), 28);
        clean.Generate(ct.data(), cv.data(), 28);
        cleanValues.insert(cleanValues.end(), cv.begin(), cv.end());
        ASSERT_EQ(f.PutPoints(v.data(), t.data(), 28), 28);
        const int n = f.OutputCount();
        std::vector<double> ov(n), ot(n);
        f.GetPoints(ov.data(), ot.data(), n);
        out.v.insert(out.v.end(), ov.begin(), ov.end());
    }
    for (size_t i = 0; i < 400; ++i) ASSERT_NEAR(out.v[i], cleanValues[i], 0.05) << i;
}

TEST(MRejectionFilter, BatchSizeDoesNotMatter) {
    const auto signal = [](double t) {
        return 0.5 + 0.1 * std::sin(2 * std::numbers::pi * 1.3 * t) +
               0.02 * std::sin(2 * std::numbers::pi * 50 * t);
    };
    MRejectionFilter live;
    live.ConfigureLive();
    const Series ref = RunLive(live, 10000, signal, 28);
    for (int batch : {1, 7, 200, 1000}) {
        SCOPED_TRACE(batch);
        MRejectionFilter f;
        f.ConfigureLive();
        const Series out = RunLive(f, 10000, signal, batch);
        const size_t n = std::min(out.v.size(), ref.v.size());
        ASSERT_GT(n, 9000u);
        for (size_t i = 0; i < n; ++i) {
            ASSERT_EQ(out.t[i], ref.t[i]);
            ASSERT_NEAR(out.v[i], ref.v[i], 1e-3) << i;
        }
    }
}

TEST(MRejectionFilter, DataClockCorrectionsDoNotDisturbTheOutput) {
    // The live data clock steps 1 ms back once per 28-sample block while it catches up.
    MRejectionFilter f;
    f.ConfigureLive();
    std::vector<double> t(28), v(28, 0.6);
    double clock = 0;
    std::vector<double> inTimes, outTimes, outValues;
    for (int block = 0; block < 300; ++block) {
        clock -= 0.001;
        for (int k = 0; k < 28; ++k) t[k] = (clock += 0.002);
        inTimes.insert(inTimes.end(), t.begin(), t.end());
        ASSERT_EQ(f.PutPoints(v.data(), t.data(), 28), 28);
        const int n = f.OutputCount();
        std::vector<double> ov(n), ot(n);
        f.GetPoints(ov.data(), ot.data(), n);
        outTimes.insert(outTimes.end(), ot.begin(), ot.end());
        outValues.insert(outValues.end(), ov.begin(), ov.end());
    }
    ASSERT_GT(outTimes.size(), 8000u);
    for (size_t i = 0; i < outTimes.size(); ++i) {
        ASSERT_EQ(outTimes[i], inTimes[i]);
        ASSERT_NEAR(outValues[i], 0.6, 1e-9);
    }
}

} // namespace
