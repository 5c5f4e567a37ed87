// Sample entropy's counts against the plain double loop over all template pairs, on series that
// put values exactly on the tolerance, repeat values, hold values that are not finite, and spread
// the templates over many cells or pack them into one.

#include "analysis/SampleEntropy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

struct Counts {
    uint64_t a = 0, b = 0;
};

// Richman & Moorman: the N - m templates of length m and m + 1, pairs i < j.
Counts BruteForce(const std::vector<double>& x, int m, double r) {
    Counts c;
    const size_t count = x.size() - size_t(m);
    for (size_t i = 0; i < count; ++i)
        for (size_t j = i + 1; j < count; ++j) {
            bool match = true;
            for (int k = 0; k < m && match; ++k) match = std::fabs(x[i + k] - x[j + k]) <= r;
            if (!match) continue;
            ++c.b;
            if (std::fabs(x[i + m] - x[j + m]) <= r) ++c.a;
        }
    return c;
}

std::vector<double> Ar1(size_t n, double phi, double scale, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> g(0, 1);
    std::vector<double> x(n);
    double a = 0;
    for (double& v : x) v = a = phi * a + scale * g(rng);
    return x;
}

struct Case {
    std::string name;
    std::vector<double> x;
    double r;
};

std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (double r : {0.1, 0.25, 0.5})
        for (size_t n : {50u, 300u, 1500u}) cases.push_back({"ar1", Ar1(n, 0.6, 1, unsigned(n)), r});
    // Whole milliseconds with a whole tolerance: many differences lie exactly on r.
    {
        std::mt19937 rng(5);
        std::uniform_int_distribution<int> d(780, 830);
        std::vector<double> x(1200);
        for (double& v : x) v = d(rng);
        cases.push_back({"integers on the tolerance", x, 10});
        cases.push_back({"integers, tolerance 0", x, 0});
    }
    // Steps of 1/128 s in ms, a tolerance that is itself a multiple of the step.
    {
        std::mt19937 rng(6);
        std::uniform_int_distribution<int> d(0, 40);
        std::vector<double> x(1000);
        for (double& v : x) v = 600 + d(rng) * 1000.0 / 128;
        cases.push_back({"binary fractions", x, 3 * 1000.0 / 128});
    }
    // Most templates in one cell; then a tolerance far below the spread (thousands of cells).
    cases.push_back({"nearly constant", Ar1(800, 0.2, 1e-3, 7), 1});
    cases.push_back({"sparse", Ar1(1500, 0.9, 100, 8), 0.05});
    // A slow sine: very regular, most pairs of neighbours match.
    {
        std::vector<double> x(1500);
        for (size_t i = 0; i < x.size(); ++i) x[i] = 800 + 50 * std::sin(0.01 * double(i));
        cases.push_back({"slow sine", x, 10});
    }
    // Values that are not finite match nothing.
    {
        std::vector<double> x = Ar1(400, 0.6, 1, 9);
        x[10] = std::numeric_limits<double>::quiet_NaN();
        x[200] = std::numeric_limits<double>::infinity();
        x[201] = std::numeric_limits<double>::infinity();
        x[300] = -std::numeric_limits<double>::infinity();
        cases.push_back({"not finite", x, 0.3});
    }
    // Values near 1e6 with a tiny tolerance: rounding of the cell numbers matters.
    {
        std::vector<double> x = Ar1(1000, 0.5, 1e-6, 10);
        for (double& v : x) v += 1e6;
        cases.push_back({"large offset", x, 3e-7});
    }
    return cases;
}

TEST(SampleEntropy, CountsEqualThePlainLoop) {
    for (const Case& c : Cases())
        for (int m : {1, 2, 3}) {
            const Counts want = BruteForce(c.x, m, c.r);
            Counts got;
            ASSERT_TRUE(SampleEntropyCounts(c.x, m, c.r, got.a, got.b)) << c.name;
            EXPECT_EQ(got.b, want.b) << c.name << " m " << m;
            EXPECT_EQ(got.a, want.a) << c.name << " m " << m;
            const double e = SampleEntropy(c.x, m, c.r);
            if (want.a == 0 || want.b == 0)
                EXPECT_TRUE(std::isnan(e)) << c.name << " m " << m;
            else
                EXPECT_DOUBLE_EQ(e, -std::log(double(want.a) / double(want.b))) << c.name << " m " << m;
        }
}

TEST(SampleEntropy, RefusesWhatItCannotCount) {
    const std::vector<double> x = Ar1(100, 0.6, 1, 11);
    uint64_t a = 7, b = 7;
    EXPECT_FALSE(SampleEntropyCounts(x, 0, 0.2, a, b));
    EXPECT_EQ(a + b, 0u);
    EXPECT_FALSE(SampleEntropyCounts({1, 2, 3}, 2, 0.2, a, b)); // fewer than m + 2 values
    EXPECT_FALSE(SampleEntropyCounts(x, 2, -0.1, a, b));
    EXPECT_FALSE(SampleEntropyCounts(x, 2, std::numeric_limits<double>::quiet_NaN(), a, b));
    EXPECT_FALSE(SampleEntropyCounts(x, 2, std::numeric_limits<double>::infinity(), a, b));
    EXPECT_TRUE(std::isnan(SampleEntropy(x, 2, -1)));
    // A series whose templates never match: B = 0, no entropy.
    std::vector<double> ramp(50);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = double(i);
    EXPECT_TRUE(SampleEntropyCounts(ramp, 2, 0.5, a, b));
    EXPECT_EQ(b, 0u);
    EXPECT_TRUE(std::isnan(SampleEntropy(ramp, 2, 0.5)));
}

TEST(SampleEntropy, ConstantSeriesMatchesEverywhere) {
    // Every pair of templates matches: A = B = (N - m)(N - m - 1) / 2 and SampEn = 0.
    const std::vector<double> x(60, 812.5);
    uint64_t a = 0, b = 0;
    ASSERT_TRUE(SampleEntropyCounts(x, 2, 0, a, b));
    EXPECT_EQ(b, 58u * 57u / 2);
    EXPECT_EQ(a, b);
    EXPECT_EQ(SampleEntropy(x, 2, 0), 0.0);
}

} // namespace
