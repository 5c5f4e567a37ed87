#include "dsp/Spliner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

// Independent reference: the second derivatives M of the cubic spline from the full n x n system
// solved by Gaussian elimination with partial pivoting, then the textbook piecewise cubic.
struct ReferenceSpline {
    std::vector<double> x, y, m;

    // Natural ends unless the slope is given.
    ReferenceSpline(std::vector<double> xs, std::vector<double> ys, const double* slope0 = nullptr,
                    const double* slopeN = nullptr)
        : x(std::move(xs)), y(std::move(ys)) {
        const size_t n = x.size();
        std::vector<std::vector<double>> a(n, std::vector<double>(n + 1, 0.0));
        if (slope0) {
            const double h = x[1] - x[0];
            a[0][0] = 2 * h;
            a[0][1] = h;
            a[0][n] = 6 * ((y[1] - y[0]) / h - *slope0);
        } else {
            a[0][0] = 1;
        }
        for (size_t i = 1; i + 1 < n; ++i) {
            const double h0 = x[i] - x[i - 1];
            const double h1 = x[i + 1] - x[i];
            a[i][i - 1] = h0;
            a[i][i] = 2 * (h0 + h1);
            a[i][i + 1] = h1;
            a[i][n] = 6 * ((y[i + 1] - y[i]) / h1 - (y[i] - y[i - 1]) / h0);
        }
        if (slopeN) {
            const double h = x[n - 1] - x[n - 2];
            a[n - 1][n - 2] = h;
            a[n - 1][n - 1] = 2 * h;
            a[n - 1][n] = 6 * (*slopeN - (y[n - 1] - y[n - 2]) / h);
        } else {
            a[n - 1][n - 1] = 1;
        }
        for (size_t c = 0; c < n; ++c) {
            size_t pivot = c;
            for (size_t r = c + 1; r < n; ++r)
                if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
            std::swap(a[c], a[pivot]);
            for (size_t r = 0; r < n; ++r) {
                if (r == c) continue;
                const double f = a[r][c] / a[c][c];
                for (size_t k = c; k <= n; ++k) a[r][k] -= f * a[c][k];
            }
        }
        m.resize(n);
        for (size_t i = 0; i < n; ++i) m[i] = a[i][n] / a[i][i];
    }

    double operator()(double t) const {
        size_t i = 0;
        while (i + 2 < x.size() && t >= x[i + 1]) ++i;
        const double h = x[i + 1] - x[i];
        const double dl = t - x[i];
        const double dr = x[i + 1] - t;
        return m[i] * dr * dr * dr / (6 * h) + m[i + 1] * dl * dl * dl / (6 * h) +
               (y[i] / h - m[i] * h / 6) * dr + (y[i + 1] / h - m[i + 1] * h / 6) * dl;
    }
};

struct Knots {
    std::vector<double> x, y;
};

Knots RandomKnots(std::mt19937& rng, int n) {
    std::uniform_real_distribution<double> gap(0.05, 2.0);
    std::uniform_real_distribution<double> value(-3.0, 3.0);
    Knots k;
    double x = value(rng);
    for (int i = 0; i < n; ++i) {
        k.x.push_back(x);
        k.y.push_back(value(rng));
        x += gap(rng);
    }
    return k;
}

Spliner Built(const Knots& k) {
    Spliner s;
    s.Build(k.x.data(), k.y.data(), static_cast<int>(k.x.size()));
    return s;
}

TEST(Spliner, FewerThanTwoKnotsGiveZeroOrKeepThePreviousSpline) {
    Spliner s;
    EXPECT_EQ(s.Evaluate(1.0), 0.0);
    const double x1[] = {1.0};
    const double y1[] = {5.0};
    s.Build(x1, y1, 1);
    EXPECT_EQ(s.Count(), 0);
    EXPECT_EQ(s.Evaluate(1.0), 0.0);

    const double x2[] = {0.0, 2.0};
    const double y2[] = {1.0, 3.0};
    s.Build(x2, y2, 2);
    s.Build(x1, y1, 1);
    s.Build(nullptr, y2, 2);
    EXPECT_EQ(s.Count(), 2);
    EXPECT_DOUBLE_EQ(s.Evaluate(1.0), 2.0);
}

TEST(Spliner, MatchesAnIndependentSolveOnRandomKnots) {
    std::mt19937 rng(7);
    for (int n = 2; n <= 30; ++n) {
        const Knots k = RandomKnots(rng, n);
        const Spliner s = Built(k);
        const ReferenceSpline ref(k.x, k.y);
        const double lo = k.x.front() - 1.0;
        const double hi = k.x.back() + 1.0;
        int segment = 0;
        for (int i = 0; i <= 400; ++i) {
            const double t = lo + (hi - lo) * i / 400.0; // beyond both ends too
            const double expected = ref(t);
            ASSERT_NEAR(s.Evaluate(t), expected, 1e-9 * (1 + std::fabs(expected))) << "n=" << n << " t=" << t;
            ASSERT_EQ(s.Evaluate(t, segment), s.Evaluate(t)) << "n=" << n << " t=" << t;
        }
    }
}

TEST(Spliner, PassesThroughEveryKnotWithNaturalEnds) {
    std::mt19937 rng(11);
    for (int n : {2, 3, 4, 9, 40}) {
        const Knots k = RandomKnots(rng, n);
        const Spliner s = Built(k);
        for (int i = 0; i < n; ++i)
            EXPECT_NEAR(s.Evaluate(k.x[i]), k.y[i], 1e-12) << "n=" << n << " knot " << i;
        // The end cubics continue past the knots, so a centred second difference at an end
        // knot measures that end's second derivative.
        const double h = 1e-3;
        for (double end : {k.x.front(), k.x.back()}) {
            const double second = (s.Evaluate(end + h) - 2 * s.Evaluate(end) + s.Evaluate(end - h)) / (h * h);
            EXPECT_NEAR(second, 0.0, 1e-5) << "n=" << n << " end " << end;
        }
    }
}

TEST(Spliner, ReproducesAStraightLineIncludingExtrapolation) {
    const std::vector<double> x = {-2.0, -1.7, 0.0, 0.3, 2.5, 2.6, 7.0};
    std::vector<double> y;
    for (double v : x) y.push_back(0.75 * v - 4.0);
    Spliner s;
    s.Build(x.data(), y.data(), static_cast<int>(x.size()));
    for (double t = -10.0; t <= 15.0; t += 0.37) EXPECT_NEAR(s.Evaluate(t), 0.75 * t - 4.0, 1e-12) << t;
}

TEST(Spliner, ClampedEndsTakeTheGivenSlopes) {
    std::mt19937 rng(3);
    const Knots k = RandomKnots(rng, 8);
    const double slope0 = 1.5;
    const double slopeN = -0.25;
    Spliner s;
    s.Build(k.x.data(), k.y.data(), 8, slope0, slopeN);
    const ReferenceSpline ref(k.x, k.y, &slope0, &slopeN);
    for (double t = k.x.front(); t <= k.x.back(); t += 0.01) EXPECT_NEAR(s.Evaluate(t), ref(t), 1e-9) << t;
    const double h = 1e-6;
    EXPECT_NEAR((s.Evaluate(k.x.front() + h) - s.Evaluate(k.x.front() - h)) / (2 * h), slope0, 1e-5);
    EXPECT_NEAR((s.Evaluate(k.x.back() + h) - s.Evaluate(k.x.back() - h)) / (2 * h), slopeN, 1e-5);

    // One clamped end and one natural end.
    s.Build(k.x.data(), k.y.data(), 8, slope0, 1e30);
    const ReferenceSpline half(k.x, k.y, &slope0, nullptr);
    for (double t = k.x.front(); t <= k.x.back(); t += 0.01) EXPECT_NEAR(s.Evaluate(t), half(t), 1e-9) << t;
}

TEST(Spliner, KnotsSharingAnXGiveFiniteValuesAndTheKnotValueThere) {
    struct Case {
        const char* name;
        std::vector<double> x, y;
        double at;
        double expected;
    };
    const Case cases[] = {
        {"repeated last knot, at it", {0, 1, 2, 2}, {0, 1, 2, 2}, 2.0, 2.0},
        {"repeated last knot, beyond it", {0, 1, 2, 2}, {0, 1, 2, 2}, 3.5, 2.0},
        {"repeated first knot, before it", {1, 1, 2, 3}, {4, 4, 5, 6}, 0.0, 4.0},
        {"three knots at one x at the end", {0, 1, 3, 3, 3}, {1, 0, 2, 2, 2}, 3.0, 2.0},
        {"all knots at one x", {5, 5, 5, 5}, {1, 1, 1, 1}, 5.0, 1.0},
        {"repeated knot inside, at it", {0, 1, 1, 2}, {0, 1, 1, 0}, 1.0, 1.0},
    };
    for (const Case& c : cases) {
        Spliner s;
        s.Build(c.x.data(), c.y.data(), static_cast<int>(c.x.size()));
        EXPECT_NEAR(s.Evaluate(c.at), c.expected, 1e-9) << c.name;
        int segment = 0;
        EXPECT_EQ(s.Evaluate(c.at, segment), s.Evaluate(c.at)) << c.name;
        for (double t = c.x.front() - 1; t <= c.x.back() + 1; t += 0.05)
            EXPECT_TRUE(std::isfinite(s.Evaluate(t))) << c.name << " at " << t;
    }
}

TEST(Spliner, SegmentWalkAgreesWithBisectionInAnyOrder) {
    std::mt19937 rng(5);
    const Knots sorted = RandomKnots(rng, 12);
    Knots unsorted = sorted;
    std::swap(unsorted.x[3], unsorted.x[8]);
    for (const Knots* k : {&sorted, static_cast<const Knots*>(&unsorted)}) {
        const Spliner s = Built(*k);
        std::uniform_real_distribution<double> any(sorted.x.front() - 2, sorted.x.back() + 2);
        int segment = 0;
        for (int i = 0; i < 500; ++i) {
            const double t = any(rng);
            ASSERT_EQ(s.Evaluate(t, segment), s.Evaluate(t)) << t;
        }
        segment = 1000; // a stale hint from a bigger spline
        EXPECT_EQ(s.Evaluate(sorted.x[2], segment), s.Evaluate(sorted.x[2]));
        segment = 0;
        for (double t = sorted.x.back() + 1; t > sorted.x.front() - 1; t -= 0.013)
            ASSERT_EQ(s.Evaluate(t, segment), s.Evaluate(t)) << t;
    }
}

} // namespace
