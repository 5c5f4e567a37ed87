// The standard HRV table against computations written here from the definitions.

#include "analysis/HrvStandard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace {

constexpr double kPi = std::numbers::pi;

sNNSeries Series(const std::vector<double>& nnSeconds) {
    sNNSeries s;
    double t = 0;
    for (double v : nnSeconds) {
        t += v;
        s.nn.push_back(v);
        s.time.push_back(t);
        s.follows.push_back(s.follows.empty() ? 0 : 1);
    }
    return s;
}

TEST(HrvStandard, TimeDomainOfASmallSeries) {
    // 800, 850, 800, 900, 850 ms: differences +50, -50, +100, -50.
    const sHrvStandard h = ComputeHrvStandard(Series({0.8, 0.85, 0.8, 0.9, 0.85}));
    EXPECT_EQ(h.intervals, 5);
    EXPECT_NEAR(h.meanNN, 840, 1e-9);
    EXPECT_NEAR(h.sdnn, std::sqrt((40.0 * 40 + 10 * 10 + 40 * 40 + 60 * 60 + 10 * 10) / 4), 1e-9);
    EXPECT_NEAR(h.rmssd, std::sqrt((2500.0 + 2500 + 10000 + 2500) / 4), 1e-9);
    EXPECT_NEAR(h.pnn50, 25, 1e-9); // only |100| exceeds 50 ms
    EXPECT_NEAR(h.meanHR, 60000.0 / 840, 1e-9);
    // SD1 = SDSD / sqrt 2 for touching pairs.
    EXPECT_NEAR(h.sd1, h.sdsd / std::sqrt(2.0), 1e-9);
    // Triangular index: 5 intervals, the fullest 1/128 s bin holds two (800, 800 or 850, 850).
    EXPECT_NEAR(h.triangularIndex, 2.5, 1e-9);
    // Baevsky: 50 ms bins [800, 850) holds 2, [850, 900) holds 2, [900, 950) 1: the first fullest
    // is the mode, 825 ms; AMo 40 %, MxDMn 0.1 s.
    EXPECT_NEAR(h.baevskySI, 40 / (2 * 0.825 * 0.1), 1e-9);
    // Too short for the spectrum and DFA.
    EXPECT_TRUE(std::isnan(h.welch.lf));
    EXPECT_TRUE(std::isnan(h.dfaAlpha1));
}

TEST(HrvStandard, GapsBreakTheSuccessiveDifferences) {
    sNNSeries s = Series({0.8, 0.8, 1.0, 1.0});
    s.follows[2] = 0; // a gap before the third interval
    const sHrvStandard h = ComputeHrvStandard(s);
    EXPECT_NEAR(h.rmssd, 0, 1e-12);
    EXPECT_NEAR(h.pnn50, 0, 1e-12);
    EXPECT_GT(h.sdnn, 100);
}

TEST(HrvStandard, FewerThanThreeIntervalsGiveNoValues) {
    const sHrvStandard h = ComputeHrvStandard(Series({0.8, 0.9}));
    EXPECT_EQ(h.intervals, 0);
    for (const auto& [key, value] : h.Rows())
        if (key != "nn_intervals") {
            EXPECT_TRUE(std::isnan(value)) << key;
        }
}

TEST(HrvStandard, WelchMatchesADirectPeriodogram) {
    // One segment of exactly the segment length: Welch is the Hann-windowed periodogram of the
    // detrended segment, computed here by the plain DFT sum.
    const size_t n = 256;
    const double fs = 4;
    std::mt19937 rng(3);
    std::normal_distribution<double> g(0, 10);
    std::vector<double> x(n);
    for (size_t j = 0; j < n; ++j)
        x[j] = 20 * std::sin(2 * kPi * 0.1 * double(j) / fs) + g(rng) + 0.5 * double(j);
    size_t nfft = 0;
    const std::vector<double> psd = WelchPsd(x, fs, n, 0.5, nfft);
    ASSERT_EQ(nfft, n);

    // Least-squares line, Hann window, DFT.
    double mj = (n - 1) / 2.0, my = 0;
    for (double v : x) my += v / double(n);
    double sjy = 0, sjj = 0;
    for (size_t j = 0; j < n; ++j) {
        sjy += (double(j) - mj) * (x[j] - my);
        sjj += (double(j) - mj) * (double(j) - mj);
    }
    double w2 = 0;
    std::vector<double> y(n);
    for (size_t j = 0; j < n; ++j) {
        const double w = 0.5 - 0.5 * std::cos(2 * kPi * double(j) / double(n));
        w2 += w * w;
        y[j] = w * (x[j] - my - sjy / sjj * (double(j) - mj));
    }
    double lfDirect = 0, hfDirect = 0;
    for (size_t k = 1; k < n / 2; ++k) {
        std::complex<double> sum = 0;
        for (size_t j = 0; j < n; ++j) sum += y[j] * std::polar(1.0, -2 * kPi * double(k * j) / double(n));
        const double p = 2 * std::norm(sum) / (fs * w2);
        EXPECT_NEAR(psd[k], p, 1e-9 * (1 + p)) << k;
        const double f = double(k) * fs / double(n);
        if (f >= 0.04 && f < 0.15) lfDirect += p * fs / double(n);
        if (f >= 0.15 && f < 0.4) hfDirect += p * fs / double(n);
    }
    EXPECT_NEAR(BandPower(psd, fs / double(nfft), 0.04, 0.15), lfDirect, 1e-9 * lfDirect);
    EXPECT_NEAR(BandPower(psd, fs / double(nfft), 0.15, 0.4), hfDirect, 1e-9 * hfDirect);
}

TEST(HrvStandard, LombMatchesTheDefinitionOnAnUnevenSeries) {
    // Uneven times; the periodogram by its definition (with the time shift tau) at each frequency.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> jitter(0.6, 1.1);
    std::normal_distribution<double> g(0, 5);
    std::vector<double> t, x;
    double now = 0;
    for (int i = 0; i < 400; ++i) {
        now += jitter(rng);
        t.push_back(now);
        x.push_back(800 + 30 * std::sin(2 * kPi * 0.1 * now) + 15 * std::sin(2 * kPi * 0.27 * now) + g(rng));
    }
    const double span = t.back() - t.front();
    const double df = 1 / span;
    const size_t count = size_t(0.45 / df);
    const std::vector<double> fast = LombPsd(t, x, df, count);
    double mean = 0;
    for (double v : x) mean += v / double(x.size());
    double sumDirect = 0, sumFast = 0;
    for (size_t k = 1; k <= count; ++k) {
        const double w = 2 * kPi * double(k) * df;
        double s2 = 0, c2 = 0;
        for (double ti : t) {
            s2 += std::sin(2 * w * (ti - t[0]));
            c2 += std::cos(2 * w * (ti - t[0]));
        }
        const double tau = std::atan2(s2, c2) / (2 * w);
        double a = 0, b = 0, cc = 0, ss = 0;
        for (size_t i = 0; i < t.size(); ++i) {
            const double ph = w * (t[i] - t[0] - tau);
            a += (x[i] - mean) * std::cos(ph);
            b += (x[i] - mean) * std::sin(ph);
            cc += std::cos(ph) * std::cos(ph);
            ss += std::sin(ph) * std::sin(ph);
        }
        const double p = 0.5 * (a * a / cc + b * b / ss);
        const double psd = 2 * p * span / double(t.size());
        EXPECT_NEAR(fast[k - 1], psd, 0.02 * psd + 1e-3 * 30 * 30 * span / double(t.size())) << k;
        sumDirect += psd;
        sumFast += fast[k - 1];
    }
    EXPECT_NEAR(sumFast, sumDirect, 0.005 * sumDirect);
}

TEST(HrvStandard, BandsOfSineModulatedIntervals) {
    // Beats whose intervals swing 30 ms at 0.1 Hz and 20 ms at 0.25 Hz: the LF power is the
    // variance of the first swing (30^2 / 2), the HF power of the second (20^2 / 2).
    std::vector<double> nn;
    double t = 0;
    while (t < 600) {
        const double v = 0.85 + 0.03 * std::sin(2 * kPi * 0.1 * t) + 0.02 * std::sin(2 * kPi * 0.25 * t);
        nn.push_back(v);
        t += v;
    }
    const sHrvStandard h = ComputeHrvStandard(Series(nn));
    for (const sHrvBands* b : {&h.welch, &h.lomb}) {
        EXPECT_NEAR(b->lf, 450, 45);
        EXPECT_NEAR(b->hf, 200, 20);
        EXPECT_LT(b->vlf, 20);
        EXPECT_NEAR(b->lfHf, 2.25, 0.3);
        EXPECT_NEAR(b->lfNu + b->hfNu, 100, 1e-9);
        EXPECT_NEAR(b->vlfPct + b->lfPct + b->hfPct, 100, 1e-9);
    }
}

TEST(HrvStandard, DfaOfWhiteAndCumulatedNoise) {
    std::mt19937 rng(11);
    std::normal_distribution<double> g(0, 1);
    std::vector<double> white(20000), walk(20000);
    double acc = 0;
    for (size_t i = 0; i < white.size(); ++i) {
        white[i] = g(rng);
        walk[i] = acc += white[i];
    }
    // Linear detrending in boxes of a few beats lifts F(n) a little at the smallest sizes (a known
    // bias of DFA at short scales), so alpha1 of white noise comes out near 0.55.
    EXPECT_NEAR(DfaAlpha(white, 4, 16), 0.5, 0.1);
    EXPECT_NEAR(DfaAlpha(white, 16, 64), 0.5, 0.07);
    EXPECT_NEAR(DfaAlpha(walk, 4, 16), 1.5, 0.1);
    EXPECT_NEAR(DfaAlpha(walk, 16, 64), 1.5, 0.1);
    // F(n) of one box by hand: the profile of 1, -1, 1, -1 is 1, 0, 1, 0; the residuals of its
    // least-squares line, computed directly here.
    const std::vector<double> alt = {1, -1, 1, -1};
    const double y[4] = {1, 0, 1, 0};
    double jm = 1.5, ym = 0.5, sjy = 0, sjj = 0;
    for (int j = 0; j < 4; ++j) {
        sjy += (j - jm) * (y[j] - ym);
        sjj += (j - jm) * (j - jm);
    }
    double ss = 0;
    for (int j = 0; j < 4; ++j) {
        const double r = y[j] - ym - sjy / sjj * (j - jm);
        ss += r * r;
    }
    EXPECT_NEAR(DfaFluctuation(alt, 4), std::sqrt(ss / 4), 1e-12);
    EXPECT_TRUE(std::isnan(DfaAlpha(std::vector<double>(100, 1.0), 16, 64))); // too short
}

TEST(HrvStandard, SampleEntropyMatchesBruteForce) {
    std::mt19937 rng(2);
    std::normal_distribution<double> g(0, 1);
    for (int n : {50, 300, 1200}) {
        std::vector<double> x(static_cast<size_t>(n));
        double a = 0;
        for (double& v : x) v = a = 0.6 * a + g(rng); // some structure
        for (double r : {0.1, 0.25, 0.5}) {
            // Richman & Moorman: the N - m templates of length m and m + 1, pairs i < j.
            const int m = 2;
            const size_t count = x.size() - m;
            long long A = 0, B = 0;
            for (size_t i = 0; i < count; ++i)
                for (size_t j = i + 1; j < count; ++j) {
                    bool match = true;
                    for (int k = 0; k < m && match; ++k) match = std::fabs(x[i + k] - x[j + k]) <= r;
                    if (!match) continue;
                    ++B;
                    if (std::fabs(x[i + m] - x[j + m]) <= r) ++A;
                }
            const double expected = A > 0 && B > 0 ? -std::log(double(A) / double(B)) : NAN;
            const double got = SampleEntropy(x, m, r);
            if (std::isnan(expected))
                EXPECT_TRUE(std::isnan(got));
            else
                EXPECT_NEAR(got, expected, 1e-12) << n << " " << r;
        }
    }
}

TEST(HrvStandard, RowsHaveUnitsInTheirKeysAndStayInOrder) {
    const auto rows = sHrvStandard{}.Rows();
    ASSERT_GE(rows.size(), 30u);
    EXPECT_EQ(rows[1].first, "mean_nn_ms");
    EXPECT_EQ(rows[2].first, "sdnn_ms");
    bool sampen = false;
    for (const auto& [k, v] : rows) sampen |= k == "sampen";
    EXPECT_TRUE(sampen);
}

} // namespace
