#pragma once
// Isoline (baseline) correction of a recorded pulse wave.
//
// The filter finds the foot of every pulse - the lowest sample in a search window about one and a
// half beat periods long - fits a natural cubic spline through the feet and subtracts it, so that
// the feet of the corrected wave lie on zero. It streams: (time, value) samples go in with
// PutPoints in batches of any size, corrected samples come out of GetPoints in the same order,
// delayed until the spline covers them (a sample is corrected once the feet on both sides of it
// are known, so the last beat or two of a stream never come out).
//
// The search runs over the sample stream, not over the batches: how the input is cut into
// PutPoints calls (and the output into GetPoints calls) does not change the result.
//
// Threads: one caller (the record reader's thread) drives the whole filter; there is no lock.

#include "core/RingedQueueT.h"
#include "dsp/Spliner.h"

#include <cstdint>
#include <memory>
#include <vector>

class MIsoFilter {
public:
    // One queued input sample.
    struct tDataPoint {
        double x = 0;       // time, seconds
        double y = 0;       // raw value
        double base = 0;    // baseline (spline) value at x; 0 until computed
        bool ready = false; // base has been computed
    };
    // One anchor: a pulse foot.
    struct tPointXY {
        double x = 0;
        double y = 0;
    };

    static constexpr int kAnchorCapacity = 100;
    // Below this a search window could not move forward; smaller periods are raised to it.
    static constexpr double kMinPeriod = 0.01;

    // capacity: how many samples may wait for their baseline (clamped to 5 ... 10,000,000; at
    // most capacity - 1 wait). The record reader uses 10000.
    explicit MIsoFilter(int capacity = 10000);
    MIsoFilter(const MIsoFilter&) = delete;
    MIsoFilter& operator=(const MIsoFilter&) = delete;

    // Appends n samples (times in seconds), searches them for pulse feet, rebuilds the spline when
    // new feet were found and computes the baseline of every queued sample the spline now
    // covers. Always true.
    //
    // When a new sample would make `capacity` samples wait for their baseline, the oldest waiting
    // one is released with the best baseline known so far (the spline, held level beyond its
    // last foot; else the last foot found; else 0), so a stretch without usable feet (a flat or
    // clipped signal) delays the output by at most the capacity and loses nothing. A sample
    // earlier than the search window by more than one period (time jumped back without Reset)
    // restarts the search; the samples queued before it are released the same way.
    bool PutPoints(const double* times, const double* values, int n);

    // Number of corrected samples GetPoints can return now.
    int GetReadyCount() const { return static_cast<int>(m_firstWaiting - m_head); }

    // Pops min(n, ready count) samples: their times and corrected values (value - baseline).
    // Returns the number written; 0 when an array is null or n <= 0.
    // Corrected samples wait here without limit up to max(2 x capacity, 2^20) samples; a caller
    // that leaves more uncollected loses the oldest of them.
    int GetPoints(double* times, double* values, int n);

    // Empties the queues and restarts the search. Period and the spline's knots stay, but the
    // spline is not used again until the search has rebuilt it.
    void Reset();

    // Length of the foot search window, seconds; written by the caller before each PutPoints
    // (1.5 beat periods). Read once per PutPoints call.
    double Period = 2.0;

    // Read-only view of the search state, for diagnostics.
    int AnchorCount() { return m_anchors.Count(); }
    tPointXY AnchorAt(int k); // k counted from the oldest; {0, 0} when out of range
    double SplineEnd() const { return m_splineEnd; }
    double WindowStart() const { return m_W; }
    int Capacity() const { return m_capacity; }

private:
    using Seq = int64_t; // position of a sample in the stream since the last Reset

    tDataPoint& At(Seq s) { return m_ring[static_cast<size_t>(s & m_mask)]; }
    bool MakeRoom();
    void Release(Seq s);
    double FallbackBase(double x);
    void SearchNewest(double P);
    void Step(Seq p, double P, Seq newest);
    void Emit(Seq p, double P, Seq newest);
    void PushAnchors(const tPointXY& a, int64_t times);
    void Rebuild(double P);
    void MarkReady();

    // Data queue: a ring addressed by stream position, [m_head, m_tail). The samples in
    // [m_head, m_firstWaiting) have their baseline; the rest wait for the spline to reach them.
    // Not a RingedQueueT: one thread drives the filter, the search reads queued samples in place
    // (a lock per sample would cost more than the search), and a full queue must not drop
    // samples. The ring grows while corrected samples wait for GetPoints.
    std::unique_ptr<tDataPoint[]> m_ring;
    Seq m_mask = -1; // ring size - 1 (size is a power of two); -1 before the first allocation
    Seq m_head = 0;
    Seq m_tail = 0;
    Seq m_firstWaiting = 0;
    int m_capacity = 0;

    RingedQueueT<tPointXY> m_anchors; // pulse feet, oldest first; full -> emptied, keeps the new one
    Spliner m_spline;
    std::vector<double> m_knotX, m_knotY; // anchors copied for a build; reused
    bool m_haveSpline = false;            // m_spline describes the current anchors
    double m_splineEnd = -1.0;            // samples up to here may use the spline (second-to-last foot)
    int m_segment = 0;                    // spline interval of the last baseline computed

    // Foot search.
    double m_W = 0.0;                  // start of the current window; 0: no window open yet
    double m_minX = 0.0, m_minY = 0.0; // lowest sample of the current window
    double m_maxY = 0.0;               // highest sample since the first window opened
    Seq m_minSeq = 0;                  // stream position of the min sample
    int m_lastEmitCount = 0;           // anchors queued after the last emission; 0: none since a restart
    Seq m_pos = 0;                     // next stream position the search looks at
    Seq m_above = 0;                   // no sample from max(m_minSeq + 2, m_head) up to here lies after m_W
    bool m_emitted = false;            // a window closed while the newest sample was searched
    int m_countBeforeEmit = 0;         // anchors queued before that
};
