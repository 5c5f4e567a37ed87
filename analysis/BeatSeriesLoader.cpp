#include "analysis/BeatSeriesLoader.h"

#include "analysis/VariabilityCore.h"
#include "storage/PGFiles.h"

#include <cmath>

bool BeatArtefactFilter::Accept(double x) {
    m_average = m_average > 0 ? 0.9 * m_average + 0.1 * x : x;
    // Written so that a zero average accepts only a zero entry (0 / 0 is not accepted by a
    // comparison, but |x - a| = 0 is) and NaN is never accepted.
    const double deviation = std::fabs(x - m_average);
    if (deviation == 0) return true;
    return deviation / m_average <= kMaxDeviation;
}

int LoadFragmentBeats(VariabilityCore& core, PGFiles& record) {
    core.Clear();
    if (!record.IsOpen()) return 0;
    record.SeekTime(record.StartTime(), true);
    constexpr int kBatch = 100;
    double hr[kBatch], times[kBatch];
    BeatArtefactFilter filter;
    int added = 0;
    for (;;) {
        const int n = record.ReadHeartRates(hr, times, kBatch);
        if (n <= 0) break;
        for (int i = 0; i < n; ++i) {
            if (!filter.Accept(hr[i])) continue;
            core.AddBeat(static_cast<float>(times[i]), static_cast<float>(hr[i]));
            ++added;
        }
    }
    return added;
}
