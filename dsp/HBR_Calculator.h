#pragma once
// Heart beat detector for a stream of pulse-wave samples.
//
// A beat is marked at each upward crossing of an adaptive threshold (30 % of the way from the
// signal's slow mean down to the previous cycle's minimum) that follows the previous beat through
// a chain of crossings each 0.1 ... 1.2 s after the one before. Each beat yields an sHrMeasure in
// a bounded result queue; the queue drops everything pending when it would overflow.

#include "core/HrMeasure.h"
#include "core/RingedQueueT.h"

class HBR_Calculator {
public:
    static constexpr int kResultCapacity = 32;

    explicit HBR_Calculator(int resultCapacity = kResultCapacity);
    HBR_Calculator(const HBR_Calculator&) = delete;
    HBR_Calculator& operator=(const HBR_Calculator&) = delete;

    // Back to "not started"; the result queue keeps its contents.
    void Reset();
    // Runs the detector over n samples (times in seconds). Nothing happens when an array is
    // missing or n < 1. Samples that are not finite numbers are skipped. Beats go to Results().
    void Process(const double* times, const double* values, int n);

    // Filled by Process under the queue's own lock; a consumer on any thread pops from the head.
    RingedQueueT<sHrMeasure>& Results() { return m_results; }

    // Last heart rate (beats per minute, 0 after a restart). Written by Process; read it on the
    // thread that calls Process.
    double Hr() const { return m_hr; }
    // Smoothed beat period in seconds; 0 before the first beat.
    double Period() const { return m_period; }
    // Time of the last beat or restart; 0 while not started.
    double LastBeatTime() const { return m_lastBeatTime; }

private:
    double m_lastDev = 0.5;     // last non-zero deviation from the threshold (its sign matters)
    double m_lastBeatTime = 0;  // 0 = not started
    double m_cycleMin = 5000;   // lowest sample since the last beat
    double m_cycleMax = -5000;  // highest sample since the last beat
    double m_prevCycleMin = 0;  // cycleMin of the previous cycle; sets the threshold
    double m_lastCrossTime = 0; // time of the last accepted threshold crossing
    double m_period = 0;        // smoothed beat period, s; 0 = none yet
    int m_crossCount = 0;       // upward crossings since the last beat
    double m_mean = 0;          // slow exponential mean of the signal
    double m_periodAvg = 0;     // slower average of raw periods, for rejecting outliers
    double m_hr = 0;            // 60 / period
    RingedQueueT<sHrMeasure> m_results;
};
