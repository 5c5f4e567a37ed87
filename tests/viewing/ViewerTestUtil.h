#pragma once
// Records for the viewer and analysis view tests, written through the record file object the way
// the live recorder writes them: 500 samples per second in blocks of 28, a heart-rate entry after
// the block in which its beat falls, a regulator state every 3 s.

#include "storage/PGFiles.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace viewtest {

constexpr double kPeriod = 0.002;
constexpr int kBlock = 28;

struct Beat {
    double time = 0;
    double hr = 0;
};

struct RecordPlan {
    double seconds = 62;                // record time written
    double rate = 72;                   // beats per minute of the wave and of the entries
    double beatsUntil = 1e9;            // no heart-rate entry after this time
    int led = 1;                        // active LED of the regulator states
    std::vector<Beat> entries;          // given entries instead of one per beat at `rate`
    std::function<double(double)> wave; // value at t; default: Pulse at `rate`
};

// A finger pulse wave at `rate` beats per minute: foot 0.2 at each beat, systolic peak 0.8.
inline double Pulse(double t, double rate) {
    const double phase = std::fmod(t * rate / 60.0, 1.0);
    const double v = phase < 0.3 ? std::sin(phase / 0.3 * M_PI / 2) : std::exp(-(phase - 0.3) * 4);
    return 0.2 + 0.6 * v;
}

inline void WriteRecord(const std::string& path, const RecordPlan& plan) {
    PGFiles f;
    ASSERT_TRUE(f.Create(MString(path)));
    std::vector<Beat> entries = plan.entries;
    if (entries.empty())
        for (double t = 60.0 / plan.rate; t < plan.seconds && t <= plan.beatsUntil; t += 60.0 / plan.rate)
            entries.push_back({t, plan.rate});
    size_t next = 0;
    double nextState = 0;
    double block[kBlock];
    int64_t i = 0;
    while (f.CurrentTime() < plan.seconds) {
        for (int k = 0; k < kBlock; ++k, ++i) {
            const double t = double(i) * kPeriod;
            block[k] = plan.wave ? plan.wave(t) : Pulse(t, plan.rate);
        }
        ASSERT_TRUE(f.WriteSamples(block, kBlock, kPeriod));
        while (next < entries.size() && entries[next].time < f.CurrentTime()) {
            ASSERT_TRUE(f.WriteHeartRate(entries[next].hr, entries[next].time));
            ++next;
        }
        if (f.CurrentTime() >= nextState) {
            ASSERT_TRUE(f.WriteRegulatorState(200, 180, uint8_t(plan.led)));
            nextState += 3.0;
        }
    }
    f.Close();
}

} // namespace viewtest
