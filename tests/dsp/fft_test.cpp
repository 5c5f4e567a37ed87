#include "dsp/MFilterFFT.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace {

using cd = std::complex<double>;

// Reference DFT in long double, with the phase index reduced modulo n so the angle stays exact.
std::vector<cd> NaiveDft(const std::vector<cd>& x) {
    const size_t n = x.size();
    std::vector<long double> c(n), s(n);
    for (size_t m = 0; m < n; ++m) {
        const long double a = -2.0L * std::numbers::pi_v<long double> * static_cast<long double>(m) / n;
        c[m] = std::cos(a);
        s[m] = std::sin(a);
    }
    std::vector<cd> out(n);
    for (size_t k = 0; k < n; ++k) {
        long double re = 0, im = 0;
        for (size_t j = 0; j < n; ++j) {
            const size_t m = (j * k) % n;
            re += x[j].real() * c[m] - x[j].imag() * s[m];
            im += x[j].real() * s[m] + x[j].imag() * c[m];
        }
        out[k] = {static_cast<double>(re), static_cast<double>(im)};
    }
    return out;
}

double MaxAbs(const std::vector<cd>& v) {
    double m = 0;
    for (const cd& c : v) m = std::max(m, std::abs(c));
    return m;
}

double MaxDiff(const std::vector<cd>& a, const std::vector<cd>& b) {
    double m = 0;
    for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(a[i] - b[i]));
    return m;
}

// Every power of two up to the variability spectrum's 4096 (the live filter uses 512; the
// rejection filter picks other powers of two for other responses and sample rates).
TEST(MFftRadix2, AgreesWithNaiveDftOnRandomInputs) {
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    MFftRadix2 fft;
    ASSERT_TRUE(fft.Prepare(4096));
    for (int n = 2; n <= 4096; n *= 2) {
        SCOPED_TRACE(n);
        std::vector<cd> x(n);
        for (cd& c : x) c = {u(rng), u(rng)};
        const std::vector<cd> expected = NaiveDft(x);
        std::vector<cd> y = x;
        fft.Forward(y.data(), n);
        EXPECT_LE(MaxDiff(y, expected), 1e-9 * MaxAbs(expected));

        fft.Inverse(y.data(), n); // exact inverse: back to the input
        EXPECT_LE(MaxDiff(y, x), 1e-9 * MaxAbs(x));
    }
}

TEST(MFftRadix2, SmallerPlanIsGrownOnDemandAndSizesMustBePowersOfTwo) {
    MFftRadix2 fft;
    EXPECT_FALSE(fft.Prepare(0));
    EXPECT_FALSE(fft.Prepare(6));
    EXPECT_FALSE(fft.Prepare(-8));
    EXPECT_TRUE(fft.Prepare(16));
    EXPECT_TRUE(fft.Prepare(8)); // a smaller size reuses the table
    EXPECT_EQ(fft.PreparedSize(), 16);

    // A size beyond the prepared one is left untouched rather than read past the tables.
    std::vector<cd> x(32, cd(1.0, 0.0));
    fft.Forward(x.data(), 32);
    for (const cd& c : x) EXPECT_EQ(c, cd(1.0, 0.0));
}

// --- Response table ---

struct ResponseCase {
    const char* name;
    std::vector<std::pair<double, double>> points; // {gain, frequency} in insertion order
    std::vector<std::pair<double, double>> probes; // {frequency, expected gain}
};

class ResponseTable : public testing::TestWithParam<ResponseCase> {};

TEST_P(ResponseTable, InterpolatesLinearlyAndHoldsTheEnds) {
    MFilterFFT f;
    for (const auto& [gain, freq] : GetParam().points) f.AddResponsePoint(gain, freq);
    for (const auto& [freq, gain] : GetParam().probes) EXPECT_NEAR(f.ResponseAt(freq), gain, 1e-12) << freq;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResponseTable,
    testing::Values(ResponseCase{"empty", {}, {{0.0, 1.0}, {3.0, 1.0}, {1e6, 1.0}, {-5.0, 1.0}}},
                    ResponseCase{"live",
                                 {{0.0, 5.0}, {1.0, 20.0}},
                                 {{0.0, 0.0}, {3.0, 0.0}, {5.0, 0.0}, {12.5, 0.5}, {20.0, 1.0}, {50.0, 1.0}}},
                    ResponseCase{"inserted out of order",
                                 {{1.0, 30.0}, {0.0, 10.0}, {0.5, 20.0}},
                                 {{5.0, 0.0}, {15.0, 0.25}, {20.0, 0.5}, {25.0, 0.75}, {40.0, 1.0}}},
                    ResponseCase{"single point", {{0.3, 2.0}}, {{0.5, 0.3}, {2.0, 0.3}, {100.0, 0.3}}}),
    [](const testing::TestParamInfo<ResponseCase>& info) {
        std::string s = info.param.name;
        for (char& c : s)
            if (c == ' ') c = '_';
        return s;
    });

TEST(MFilterFFT, AddResponsePointRefusesFrequenciesBelowTenthOfHertzAndReplacesDuplicates) {
    MFilterFFT f;
    EXPECT_FALSE(f.AddResponsePoint(1.0, 0.05));
    EXPECT_FALSE(f.AddResponsePoint(1.0, std::nan("")));
    EXPECT_EQ(f.ResponseCount(), 0);
    EXPECT_TRUE(f.AddResponsePoint(0.25, 0.1)); // exactly 0.1 Hz is accepted
    EXPECT_TRUE(f.AddResponsePoint(1.0, 8.0));
    EXPECT_TRUE(f.AddResponsePoint(0.75, 8.0)); // same frequency: gain replaced
    EXPECT_EQ(f.ResponseCount(), 2);
    EXPECT_DOUBLE_EQ(f.Response()[1].value, 0.75);
    EXPECT_DOUBLE_EQ(f.ResponseAt(100.0), 0.75);

    f.ClearResponse();
    EXPECT_EQ(f.ResponseCount(), 0);
    EXPECT_DOUBLE_EQ(f.ResponseAt(8.0), 1.0);
}

// --- FilterBlock ---

// A block of B samples of a sine over [t0, t0 + span], optionally with jittered times.
struct Block {
    std::vector<double> v, t;
};
Block SineBlock(int B, double span, double freq, double amp, double offset, double jitter = 0,
                unsigned seed = 1) {
    Block b;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-jitter, jitter);
    for (int i = 0; i < B; ++i) {
        double t = 10.0 + span * i / (B - 1);
        if (i > 0 && i < B - 1) t += u(rng) * span / (B - 1);
        b.t.push_back(t);
        b.v.push_back(offset + amp * std::sin(2 * std::numbers::pi * freq * (t - 10.0)));
    }
    return b;
}

TEST(MFilterFFT, UnitResponseReproducesASmoothBlockOnUniformTimes) {
    MFilterFFT f;
    Block b = SineBlock(200, 0.398, 3.0, 1.0, 0.5, 0.3);
    const Block in = b;
    f.FilterBlock(b.v.data(), b.t.data(), 512, 200);
    for (int i = 0; i < 200; ++i) {
        EXPECT_NEAR(b.t[i], 10.0 + 0.398 * i / 199, 1e-12);
        // The input sine at the new time: only the linear resampling steps may differ.
        EXPECT_NEAR(b.v[i], 0.5 + std::sin(2 * std::numbers::pi * 3.0 * (b.t[i] - 10.0)), 2e-3) << i;
    }
    EXPECT_EQ(f.SpectrumCount(), 256);
    EXPECT_NEAR(f.Spectrum()[1].frequency, 1 / 0.398, 1e-9);
}

TEST(MFilterFFT, ResponseScalesEachFrequencyAndTheSpectrumShowsTheWeightedBins) {
    // A sine exactly on grid bin 8 (the transform's period is N grid steps of span / (N - 1)).
    const int N = 256, B = 256;
    const double span = 1.0;
    const double binFreq = 8.0 * (N - 1) / (N * span);
    MFilterFFT f;
    f.AddResponsePoint(0.25, 1.0);
    f.AddResponsePoint(0.25, 100.0);
    Block b = SineBlock(B, span, binFreq, 2.0, 0.0);
    f.FilterBlock(b.v.data(), b.t.data(), N, B);
    double peak = 0;
    for (int i = 0; i < B; ++i) peak = std::max(peak, std::fabs(b.v[i]));
    EXPECT_NEAR(peak, 0.5, 0.01); // amplitude 2 x gain 0.25

    // Bin 8 holds amplitude x N / 2 after weighting; its neighbours hold nothing.
    EXPECT_NEAR(f.Spectrum()[8].value, 2.0 * 0.25 * N / 2, 1e-6);
    EXPECT_NEAR(f.Spectrum()[8].frequency, 8.0, 1e-12);
    EXPECT_LT(f.Spectrum()[20].value, 1e-9);
    EXPECT_NEAR(f.SpectrumAt(8.0), 64.0, 1e-6);
    EXPECT_NEAR(f.SpectrumAt(7.5), 32.0, 1e-6); // halfway to an empty bin
}

TEST(MFilterFFT, BlocksThatCannotBeFilteredAreLeftAlone) {
    struct Case {
        const char* name;
        int N, B;
        bool zeroSpan;
    };
    for (const Case& c : {Case{"odd N", 255, 100, false}, Case{"N not a power of two", 6, 100, false},
                          Case{"zero span", 256, 100, true}, Case{"single sample", 256, 1, false},
                          Case{"N below 2", 1, 100, false}}) {
        SCOPED_TRACE(c.name);
        MFilterFFT f;
        Block b = SineBlock(std::max(c.B, 2), 1.0, 3.0, 1.0, 0.0, 0.3);
        if (c.zeroSpan) std::fill(b.t.begin(), b.t.end(), 5.0);
        const Block in = b;
        f.FilterBlock(b.v.data(), b.t.data(), c.N, c.B);
        EXPECT_EQ(b.v, in.v);
        EXPECT_EQ(b.t, in.t);
        EXPECT_EQ(f.SpectrumCount(), 0);
    }
}

TEST(MFilterFFT, RepeatedTimesHoldTheEarlierValue) {
    // Two samples at one time must not divide by zero; the grid simply holds the earlier value.
    std::vector<double> t = {0.0, 0.1, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
    std::vector<double> v = {1, 1, 1, 1, 1, 1, 1, 1};
    MFilterFFT f;
    f.FilterBlock(v.data(), t.data(), 16, 8);
    for (double x : v) EXPECT_NEAR(x, 1.0, 1e-12);
}

// --- Spectrum ---

TEST(MFilterFFT, SpectrumAtIsZeroWithoutSpectrumAndOutsideIt) {
    MFilterFFT f;
    EXPECT_EQ(f.SpectrumAt(1.0), 0.0);
    Block b = SineBlock(64, 1.0, 4.0, 1.0, 0.0);
    f.FilterBlock(b.v.data(), b.t.data(), 64, 64);
    ASSERT_EQ(f.SpectrumCount(), 32);
    EXPECT_EQ(f.SpectrumAt(-0.5), 0.0);
    EXPECT_EQ(f.SpectrumAt(31.5), 0.0); // last entry is at 31 Hz
    EXPECT_DOUBLE_EQ(f.SpectrumAt(31.0), f.Spectrum()[31].value);
    EXPECT_DOUBLE_EQ(f.SpectrumAt(0.0), f.Spectrum()[0].value);

    f.ResetStream();
    EXPECT_EQ(f.SpectrumCount(), 0);
    EXPECT_EQ(f.SpectrumAt(4.0), 0.0);
}

// --- ProcessBlock ---

TEST(MFilterFFT, WholeBlockOverlapPassesEverythingAndMiddleOverlapKeepsTheMiddle) {
    {
        MFilterFFT f;
        Block b = SineBlock(100, 1.0, 2.0, 1.0, 0.0);
        ASSERT_TRUE(f.ProcessBlock(b.v.data(), b.t.data(), 1.0, 256, 100));
        ASSERT_EQ(f.OutputReady(), 100);
        EXPECT_DOUBLE_EQ(f.OutputTimes()[0], 10.0);
        EXPECT_DOUBLE_EQ(f.OutputTimes()[99], 11.0);
        // Overlap above 1 is clamped to 1.
        ASSERT_TRUE(f.ProcessBlock(b.v.data(), b.t.data(), 7.0, 256, 100));
        EXPECT_EQ(f.OutputReady(), 200);
    }
    {
        // Half overlap: each block advances 50 samples and contributes samples 25 ... 74.
        MFilterFFT f;
        std::vector<double> v(300), t(300);
        for (int i = 0; i < 300; ++i) t[i] = i * 0.01, v[i] = 1.0;
        ASSERT_TRUE(f.ProcessBlock(v.data(), t.data(), 0.5, 256, 100));
        ASSERT_EQ(f.OutputReady(), 50);
        EXPECT_NEAR(f.OutputTimes()[0], 0.25, 1e-12);
        EXPECT_NEAR(f.OutputTimes()[49], 0.74, 1e-12);
        ASSERT_TRUE(f.ProcessBlock(v.data() + 100, t.data() + 100, 0.5, 256, 100));
        ASSERT_EQ(f.OutputReady(), 150);
        for (int i = 0; i < 150; ++i) { // consecutive, no gap or repeat between blocks
            EXPECT_NEAR(f.OutputTimes()[i], 0.25 + 0.01 * i, 1e-9);
            EXPECT_NEAR(f.OutputValues()[i], 1.0, 1e-9);
        }
        f.RemoveOutput(100);
        ASSERT_EQ(f.OutputReady(), 50);
        EXPECT_NEAR(f.OutputTimes()[0], 1.25, 1e-9);
    }
}

TEST(MFilterFFT, TinyBlocksWithSmallOverlapStillAdvance) {
    // B x overlap below one sample: the hop is one sample, so the call returns.
    MFilterFFT f;
    std::vector<double> v = {1, 2, 3, 4, 5}, t = {0, 1, 2, 3, 4};
    ASSERT_TRUE(f.ProcessBlock(v.data(), t.data(), 0.0, 8, 5));
    EXPECT_GT(f.OutputReady(), 0);
    EXPECT_FALSE(f.ProcessBlock(nullptr, t.data(), 0.5, 8, 5));
    EXPECT_FALSE(f.ProcessBlock(v.data(), t.data(), 0.5, 8, 0));
}

TEST(MFilterFFT, WholeSeriesSpectrumOfIrregularBeatsPeaksAtTheirRhythm) {
    // How the variability analysis uses the filter: one block of RR deviations at beat times.
    std::vector<double> t, v;
    double time = 0;
    for (int k = 0; k < 600; ++k) {
        const double rr = 0.8 + 0.05 * std::sin(2 * std::numbers::pi * 0.1 * time);
        time += rr;
        t.push_back(time);
        v.push_back(rr - 0.8);
    }
    MFilterFFT f;
    f.ResetStream();
    ASSERT_TRUE(f.ProcessBlock(v.data(), t.data(), 1.0, 4096, static_cast<int>(t.size())));
    ASSERT_EQ(f.SpectrumCount(), 2048);
    const double df = 1.0 / (t.back() - t.front());
    EXPECT_NEAR(f.Spectrum()[1].frequency, df, 1e-12);
    int best = 1;
    for (int i = 1; i < 2048; ++i)
        if (f.Spectrum()[i].value > f.Spectrum()[best].value) best = i;
    EXPECT_NEAR(f.Spectrum()[best].frequency, 0.1, 1.5 * df);
    EXPECT_GT(f.SpectrumAt(0.1), 20 * f.SpectrumAt(0.3));
}

} // namespace
