#include "dsp/HBR_Calculator.h"

#include <cmath>
#include <limits>

HBR_Calculator::HBR_Calculator(int resultCapacity) {
    m_results.SetCapacity(resultCapacity);
    Reset();
}

void HBR_Calculator::Reset() {
    m_lastDev = 0.5;
    m_lastBeatTime = 0;
    m_cycleMin = 5000;
    m_cycleMax = -5000;
    m_lastCrossTime = 0;
    m_period = 0;
    m_crossCount = 0;
    m_hr = 0;
}

namespace {
constexpr double kLargest = std::numeric_limits<double>::max();

// One test for both: the sum of the magnitudes is NaN or infinite when either value is.
inline bool Finite(double t, double v) {
    return std::fabs(t) + std::fabs(v) <= kLargest;
}
} // namespace

void HBR_Calculator::Process(const double* times, const double* values, int n) {
    if (!times || !values || n < 1) return;

    int k = 0;
    // A NaN or infinity would poison the mean and the threshold for good.
    while (k < n && !Finite(times[k], values[k])) ++k;
    if (k == n) return;

    if (m_lastBeatTime == 0) { // not started: start from the first usable sample
        m_lastCrossTime = m_lastBeatTime = times[k];
        m_lastDev = values[k];
        m_mean = 0.5 * values[k];
        m_cycleMin = m_cycleMax = values[k];
        m_prevCycleMin = m_mean;
    }

    // The whole state lives in locals for the loop; only beats touch memory or the queue.
    double lastDev = m_lastDev;
    double lastBeatTime = m_lastBeatTime;
    double cycleMin = m_cycleMin;
    double cycleMax = m_cycleMax;
    double prevCycleMin = m_prevCycleMin;
    double lastCrossTime = m_lastCrossTime;
    double period = m_period;
    int crossCount = m_crossCount;
    double mean = m_mean;
    double periodAvg = m_periodAvg;
    double hr = m_hr;

    double minTerm = 0.3 * prevCycleMin; // the threshold's share of the previous minimum
    for (; k < n; ++k) {
        const double t = times[k];
        const double v = values[k];
        if (!Finite(t, v)) [[unlikely]]
            continue;

        mean = 0.995 * mean + 0.005 * v;
        cycleMin = v < cycleMin ? v : cycleMin;
        cycleMax = v > cycleMax ? v : cycleMax;
        const double d = v - (0.7 * mean + minTerm);
        const double dt = t - lastCrossTime;

        // Both cases are rare; one branch keeps the common path short.
        if ((dt > 2.0) | (d * lastDev < 0)) [[unlikely]] {
            if (dt > 2.0) { // long silence: the threshold falls back to the mean
                prevCycleMin = cycleMin = cycleMax = mean;
                minTerm = 0.3 * prevCycleMin;
            }
            if (d * lastDev < 0) { // crossed the threshold
                if (dt > 0.1 && dt < 1.2) {
                    if (d > 0) ++crossCount;
                    lastCrossTime = t;
                } else if (dt > 1.2) { // too long since the last crossing: start a new chain
                    crossCount = 1;
                    lastCrossTime = t;
                    lastBeatTime = t;
                    hr = 0;
                }
                if (crossCount >= 2) {
                    const double p = t - lastBeatTime;
                    if (period == 0) {
                        period = p;
                        periodAvg = p;
                    } else if (periodAvg != 0) {
                        periodAvg = 0.8 * periodAvg + 0.2 * p;
                        // An outlier (a missed or an extra beat) keeps the previous period.
                        if (std::fabs(p - periodAvg) / periodAvg < 0.5) period = 0.1 * period + 0.9 * p;
                    }
                    if (period > 0) {
                        hr = 60.0 / period;
                        m_hr = hr;
                        m_results.Push(sHrMeasure{static_cast<float>(hr), t, static_cast<float>(cycleMin),
                                                  static_cast<float>(cycleMax)});
                        prevCycleMin = cycleMin;
                        minTerm = 0.3 * prevCycleMin;
                        cycleMin = cycleMax = v;
                    }
                    crossCount = 1;
                    lastBeatTime = t;
                }
            }
        }
        lastDev = d != 0 ? d : lastDev;
    }

    m_lastDev = lastDev;
    m_lastBeatTime = lastBeatTime;
    m_cycleMin = cycleMin;
    m_cycleMax = cycleMax;
    m_prevCycleMin = prevCycleMin;
    m_lastCrossTime = lastCrossTime;
    m_period = period;
    m_crossCount = crossCount;
    m_mean = mean;
    m_periodAvg = periodAvg;
    m_hr = hr;
}
