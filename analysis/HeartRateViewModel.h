#pragma once
// The heart-rate view without a window: the fragment's heart-rate statistics, the window length
// and zoom, the scroll range, the vertical scale of the rate plot, and what one window of the
// fragment shows (the plethysmogram above, the heart-rate trend from the record's heart-rate
// entries below, each beat's rate written beside its point). The form
// (analysis/ui/HeartRateFormUnit.h) lays the two plots out with these numbers and draws the
// window the model read.
//
// Main thread (the record object belongs to it); ComputeHeartRateStats may also run on a worker
// thread with a record object of its own.

#include <atomic>
#include <functional>
#include <vector>

class PGFiles;

// Shown when the fragment is empty or reversed (every fragment view).
inline constexpr char16_t kNoFragmentMessage[] = u"Пожалуйста, укажите фрагмент записи для анализа!";

inline constexpr char16_t kHeartRateSignalChannel[] = u"Плетизмограмма";
inline constexpr char16_t kHeartRateRateChannel[] = u"ЧСС";
inline constexpr char16_t kHeartRateXCaption[] = u"Время";
inline constexpr char16_t kHeartRateSignalYCaption[] = u"Ампл., ед.";
inline constexpr char16_t kHeartRateRateYCaption[] = u"ЧСС, уд./мин.";
inline constexpr char16_t kHeartRateZoomCaption[] = u"Уменьш.";

// The heart rate of the record at time t: the last heart-rate entry at or before t within the
// kHeartRateReach seconds before it, else the first one after t within as long; 0 when there is
// none. (The record's current heart rate after a seek is whatever entry the reader passed last,
// which may lie anywhere, or nowhere, for a seek just after a time stamp.) Moves the reader.
inline constexpr double kHeartRateReach = 10.0;
double HeartRateAt(PGFiles& record, double t);

struct sHeartRateStats {
    double min = 0;
    double max = 0;
    double mean = 0;
    int count = 0; // entries read in the fragment
};

// Statistics of the heart-rate entries from s to e: the reader is put at s (without the isoline
// warm-up) and reads entries one at a time while their time does not exceed e, stopping at the
// end of the record. With no entry in the fragment, all three are the heart rate at s
// (HeartRateAt).
// `progress` (fraction of the fragment read, 0 ... 1) is called every few thousand entries;
// reading stops early when `cancel` becomes true (the result is then incomplete).
sHeartRateStats ComputeHeartRateStats(PGFiles& record, double s, double e,
                                      const std::function<void(double)>& progress = {},
                                      const std::atomic<bool>* cancel = nullptr);

struct sRateMark {
    double time = 0;
    double hr = 0;
    int whole = 0; // the rate written beside the point: truncated
};

// What one window of the fragment shows.
struct sHeartRateWindow {
    double left = 0;           // the window's start after clamping
    std::vector<double> times; // plethysmogram samples
    std::vector<double> values;
    std::vector<double> rateTimes; // the heart-rate curve
    std::vector<double> rates;
    std::vector<sRateMark> marks; // one per heart-rate entry in the window
};

struct sHeartRateScroll {
    int min = 0;
    int max = 0;
    int position = 0;
};

class HeartRateViewModel {
public:
    // The window is 5 s per zoom step, the zoom 1 ... 25.
    static constexpr double kZoomSeconds = 5.0;
    static constexpr int kMinZoom = 1;
    static constexpr int kMaxZoom = 25;
    static constexpr double kSignalSpan = 1.2;
    static constexpr double kSignalOffset = 0.1;
    // The rate plot spans 2.2 times the largest deviation from the mean, but at least this many
    // beats per minute, so that a fragment of equal rates still gets a scale of its own.
    static constexpr double kRateSpanFactor = 2.2;
    static constexpr double kMinRateSpan = 10.0;
    static constexpr int kReadBlock = 100;
    static constexpr int kDragPixels = 4;
    static constexpr int kMarkSize = 10; // points, blue

    // The fragment and its statistics. False, and nothing changed, when end <= start.
    bool SetFragment(double start, double end, const sHeartRateStats& stats);
    bool HasFragment() const { return m_end > m_start; }
    double Start() const { return m_start; }
    double End() const { return m_end; }
    const sHeartRateStats& Stats() const { return m_stats; }

    int Zoom() const { return m_zoom; }
    // A zoom change to b: allowed when b > 0 and either the fragment is at least 5 (b - 1) s long
    // or b is smaller than the current zoom. False (zoom unchanged) otherwise.
    bool SetZoom(int b);
    // The zoom as its label shows it ("1.0").
    static const char* ZoomText(int b, char* buffer, int size);

    // 5 s per zoom step, at most the fragment's length.
    double WindowLength() const;
    double RateSpan() const;
    double RateCentre() const { return m_stats.mean; }

    // Scroll range for a signal plot showing visibleSpan seconds: from trunc(start) to
    // trunc(trunc(end) - visibleSpan / 2), but at least trunc(start + 5); position kept inside.
    sHeartRateScroll ScrollRange(double visibleSpan, int position) const;
    // The left edge of a window asked to start at x: at most end - visibleSpan / 2, at least start.
    double ClampLeft(double x, double visibleSpan) const;

    // Reads the window that starts at x (clamped) from the record. Heart-rate entries are read
    // until one lies after the window or none is left; the rate curve starts at the left edge with
    // the first rate in the window and ends at the last sample drawn with the last rate in the
    // window (held flat at both ends, not sloping towards a beat outside). A window with no
    // heart-rate entry in it has no rate curve. False when the record is not open
    // for reading.
    bool ReadWindow(PGFiles& record, double x, double visibleSpan, sHeartRateWindow& out) const;

    // A drag of d pixels since the last position: whether it moves the view (|d| >= 4).
    static bool DragMoves(int d) { return d >= kDragPixels || d <= -kDragPixels; }

private:
    double m_start = 0;
    double m_end = 0;
    sHeartRateStats m_stats;
    int m_zoom = kMinZoom;
};
