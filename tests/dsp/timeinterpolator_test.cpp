#include "dsp/TimeInterpolator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

struct Entry {
    double t, v;
};

// Straight reading of the rule: clamp outside the entries, the entry's own value at its time,
// linear in between (the earlier entry's value across a zero-length step).
double Reference(const std::vector<Entry>& e, double t) {
    if (e.empty()) return 0.0;
    if (t <= e.front().t) return e.front().v;
    if (t > e.back().t) return e.back().v;
    size_t i = 1;
    while (e[i].t < t) ++i;
    const Entry& p = e[i - 1];
    const Entry& c = e[i];
    if (c.t - p.t > 0) return p.v + (t - p.t) * (c.v - p.v) / (c.t - p.t);
    return p.v;
}

std::vector<Entry> RandomEntries(std::mt19937& rng, int n, double start) {
    std::uniform_real_distribution<double> gap(0.001, 0.02);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    std::vector<Entry> e;
    double t = start;
    for (int i = 0; i < n; ++i) {
        e.push_back({t, value(rng)});
        t += gap(rng);
    }
    return e;
}

TEST(TimeInterpolator, EmptyRingReadsZero) {
    TimeInterpolator ti;
    EXPECT_EQ(ti.Count(), 0);
    EXPECT_EQ(ti.FirstTime(), 0.0);
    EXPECT_EQ(ti.LastTime(), 0.0);
    EXPECT_EQ(ti.ValueAt(1.0), 0.0);
}

// Uniform entries t = 1 + 0.5 i, v = 10 i, on rings below and above the size where the start
// index is estimated, including a wrapped one.
TEST(TimeInterpolator, ReadsClampedExactAndHalfwayValuesOnShortAndLongRings) {
    struct Query {
        const char* name;
        double t;
        double expected; // as a function of the entry count n
        bool last;       // expected is the last value instead
    };
    for (int n : {1, 2, 15, 16, 17, 40}) {
        for (int extra : {0, 25}) { // 25 more pushes than the ring holds wrap it
            TimeInterpolator ti;
            ti.SetCapacity(std::max(n, 10));
            const int pushes = n < 10 ? n : n + extra;
            for (int i = 0; i < pushes; ++i) ASSERT_TRUE(ti.Push(1.0 + 0.5 * i, 10.0 * i, false));
            const int first = pushes - std::min(pushes, std::max(n, 10));
            const double t0 = 1.0 + 0.5 * first;
            const double v0 = 10.0 * first;
            const double vLast = 10.0 * (pushes - 1);
            const double tLast = 1.0 + 0.5 * (pushes - 1);
            SCOPED_TRACE(testing::Message() << "entries " << n << " pushes " << pushes);
            EXPECT_EQ(ti.FirstTime(), t0);
            EXPECT_EQ(ti.LastTime(), tLast);
            EXPECT_EQ(ti.ValueAt(t0 - 100.0), v0);
            EXPECT_EQ(ti.ValueAt(t0 - 0.1), v0);
            EXPECT_EQ(ti.ValueAt(t0), v0);
            EXPECT_EQ(ti.ValueAt(tLast), vLast);
            EXPECT_EQ(ti.ValueAt(tLast + 0.2), vLast);
            EXPECT_EQ(ti.ValueAt(tLast + 1e6), vLast);
            if (pushes - first >= 3) {
                const int k = first + (pushes - first) / 2;
                EXPECT_EQ(ti.ValueAt(1.0 + 0.5 * k), 10.0 * k);               // at an entry
                EXPECT_DOUBLE_EQ(ti.ValueAt(1.25 + 0.5 * k), 10.0 * k + 5.0); // halfway: the mean
                EXPECT_DOUBLE_EQ(ti.ValueAt(1.0 + 0.5 * k + 0.1), 10.0 * k + 2.0);
                EXPECT_DOUBLE_EQ(ti.ValueAt(tLast - 0.25), vLast - 5.0); // last interval interpolates
            }
        }
    }
}

TEST(TimeInterpolator, AgreesWithAStraightReadingOnIrregularTimes) {
    std::mt19937 rng(21);
    for (int n : {3, 15, 16, 50, 3000}) {
        for (int capacity : {n, n + 7}) {
            const std::vector<Entry> all = RandomEntries(rng, n + 30, 100.0);
            TimeInterpolator ti;
            ti.SetCapacity(capacity);
            for (const Entry& e : all) ti.Push(e.t, e.v, false);
            const int kept = std::min<int>(static_cast<int>(all.size()), std::max(capacity, 10));
            const std::vector<Entry> held(all.end() - kept, all.end());
            ASSERT_EQ(ti.Count(), kept);
            std::uniform_real_distribution<double> when(held.front().t - 0.5, held.back().t + 0.5);
            for (int q = 0; q < 2000; ++q) {
                const double t = when(rng);
                ASSERT_NEAR(ti.ValueAt(t), Reference(held, t), 1e-12) << "n " << n << " t " << t;
            }
            // Reading forward on the entries' own times and between them.
            for (size_t i = 0; i + 1 < held.size(); ++i) {
                ASSERT_NEAR(ti.ValueAt(held[i].t), held[i].v, 1e-12);
                const double mid = 0.5 * (held[i].t + held[i + 1].t);
                ASSERT_NEAR(ti.ValueAt(mid), Reference(held, mid), 1e-12);
            }
        }
    }
}

TEST(TimeInterpolator, EqualTimesAndUnevenSpacingKeepTheEarlierValueAcrossAStep) {
    // A step recorded as two entries at one time, inside a ring long enough for the estimate.
    std::vector<Entry> e;
    for (int i = 0; i < 10; ++i) e.push_back({0.1 * i, 1.0});
    e.push_back({0.1 * 9, 5.0});
    for (int i = 10; i < 30; ++i) e.push_back({0.1 * i, 5.0});
    TimeInterpolator ti;
    for (const Entry& x : e) ti.Push(x.t, x.v, false);
    EXPECT_EQ(ti.ValueAt(0.1 * 9), 1.0);
    EXPECT_DOUBLE_EQ(ti.ValueAt(0.95), 5.0);
    EXPECT_DOUBLE_EQ(ti.ValueAt(0.85), 1.0);
    for (double t = -0.5; t < 3.5; t += 0.0137) ASSERT_DOUBLE_EQ(ti.ValueAt(t), Reference(e, t)) << t;
}

TEST(TimeInterpolator, OverwritesTheOldestEntryWhenFull) {
    TimeInterpolator ti;
    ti.SetCapacity(10);
    for (int i = 0; i < 25; ++i) ti.Push(i, i, false);
    EXPECT_EQ(ti.Count(), 10);
    EXPECT_EQ(ti.FirstTime(), 15.0);
    EXPECT_EQ(ti.LastTime(), 24.0);
    EXPECT_EQ(ti.ValueAt(3.0), 15.0);
    EXPECT_DOUBLE_EQ(ti.ValueAt(20.5), 20.5);
}

TEST(TimeInterpolator, SetCapacityClampsAndEmpties) {
    TimeInterpolator ti;
    EXPECT_EQ(ti.Capacity(), 10000);
    ti.Push(1, 1, false);
    ti.SetCapacity(3);
    EXPECT_EQ(ti.Capacity(), 10);
    EXPECT_EQ(ti.Count(), 0);
    ti.SetCapacity(-5);
    EXPECT_EQ(ti.Capacity(), 10);
    ti.SetCapacity(2'000'000'000);
    EXPECT_EQ(ti.Capacity(), 10'000'000);
    ti.SetCapacity(100000);
    EXPECT_EQ(ti.Capacity(), 100000);
}

TEST(TimeInterpolator, TransformReplacesOutOfRangeParametersByNeutralOnes) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double offset, scale;
        double expected; // stored value for 3.0 with the transform
    };
    const Case cases[] = {
        {0.0, 1000.0, 3000.0}, // the text export's transform
        {2.0, -0.5, -2.5},     //
        {0.0, 2e6, 3.0},       // scale too large: 1
        {0.0, -2e6, 3.0},      // scale too small: 1
        {1e6, 1.0, 1e6 + 3.0}, // bounds themselves are kept
        {-2e6, 2.0, 6.0},      // offset out of range: 0
        {2e6, -1e6, -3e6},     //
        {nan, nan, 3.0},       // not numbers: neutral
        {inf, -inf, 3.0},      //
    };
    for (const Case& c : cases) {
        TimeInterpolator ti;
        ti.SetTransform(c.offset, c.scale);
        ti.Push(0.0, 3.0, true);
        ti.Push(1.0, 3.0, false);
        EXPECT_EQ(ti.ValueAt(0.0), c.expected) << c.offset << " " << c.scale;
        EXPECT_EQ(ti.ValueAt(1.0), 3.0) << "untransformed push";
    }
}

} // namespace
