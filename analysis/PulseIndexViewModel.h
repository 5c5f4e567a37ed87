#pragma once
// The pulse-wave index view without a window: which part of the fragment it shows (one or two
// pulse waves from the fragment's start), the plot's spans, the wave itself, the five markers
// B1 ... B5 (which one follows the mouse) and when the index table is computed. The form
// (analysis/ui/PulseIndexesFormUnit.h) lays the plot out with these numbers, draws the wave and
// the markers, and shows the table.
//
// The markers are those of the program's pulse index table (PulseIndexes): their times survive
// another fragment, their amplitudes are read off the wave shown. A marker outside the wave shown
// (left from another fragment) makes the table empty.
//
// Main thread (the record object belongs to it).

#include "analysis/PulseIndexes.h"
#include "core/MString.h"
#include "core/MVariant.h"

#include <vector>

class MAssocStrings;
class PGFiles;

inline constexpr char16_t kPulseWaveChannel[] = u"Пульсовая волна";
inline constexpr char16_t kPulseMarkersGroup[] = u"Маркеры";
inline constexpr char16_t kPulseIndexesGroup[] = u"Индексы ПВ";
inline constexpr char16_t kPulseNameHeader[] = u"Параметр";
inline constexpr char16_t kPulseValueHeader[] = u"Значение";

// The text a table cell shows for a row's "Val": whole numbers as they are, fractional ones in the
// three-decimal form the table was computed in ("0,813" with a comma), texts unchanged.
MString PulseIndexCellText(const MVariant& value, char16_t separator);

class PulseIndexViewModel {
public:
    // The wave shown lasts two beat periods at the record's heart rate there, taken as at least
    // 20 beats per minute (so at most 6 s).
    static constexpr double kMinHeartRate = 20.0;
    static constexpr double kBeatsShown = 2.0;
    // Vertical span: the largest sample (at least 0.1) plus 0.2; y = -0.1 on the bottom edge.
    static constexpr double kMinMaximum = 0.1;
    static constexpr double kSpanMargin = 0.2;
    static constexpr double kBaselineOffset = 0.1;
    static constexpr int kReadBlock = 100;
    static constexpr float kMarkerWidth = 0.6f; // mm

    explicit PulseIndexViewModel(PulseIndexes& indexes) : m_indexes(indexes) {}

    // The fragment selected in the viewer. False (nothing shown) when end is not after start.
    bool SetFragment(double start, double end);
    bool HasFragment() const { return m_end > m_start; }

    // Takes the heart rate at the fragment's start (HeartRateAt), cuts the fragment to two beat
    // periods, and finds the vertical span from the samples up to the cut (read after a seek with
    // the isoline warm-up allowed). False when there is no fragment or the record is not open for reading.
    bool Prepare(PGFiles& record);
    double Start() const { return m_start; }
    double End() const { return m_shownEnd; } // after the cut
    double FragmentEnd() const { return m_end; }
    double HeartRate() const { return m_heartRate; }
    double HorizontalSpan() const { return m_shownEnd - m_start; }
    double VerticalSpan() const { return m_verticalSpan; }

    // Reads the wave from the start to the cut. False when the record is not open for reading.
    bool ReadWave(PGFiles& record);
    const std::vector<double>& WaveTimes() const { return m_times; }
    const std::vector<double>& WaveValues() const { return m_values; }
    // The wave's value at t, interpolated linearly between its samples; false outside the wave.
    bool WaveValueAt(double t, double* value) const;

    // The marker following the mouse: 0 ... 4 for B1 ... B5, -1 for none. Selecting one leaves the
    // others where they stand.
    int Selected() const { return m_selected; }
    void Select(int k) { m_selected = k >= 0 && k < PulseIndexes::kMarkerCount ? k : -1; }
    // Moves the selected marker to time t, held to the wave shown; nothing without a selection.
    void MoveSelected(double t);
    double MarkerTime(int k) const { return m_indexes.Marker(k).t; }
    // Every marker stands on the wave shown.
    bool MarkersOnWave() const;

    // Recomputes the table: the markers take the wave's values at their times; with a marker off
    // the wave shown (or no wave) the table is emptied instead.
    void Compute(const MAssocStrings& metadata);
    const MVarArray& Table() const { return m_indexes.Table(); }
    PulseIndexes& Indexes() { return m_indexes; }

private:
    PulseIndexes& m_indexes;
    double m_start = 0;
    double m_end = 0;
    double m_shownEnd = 0;
    double m_heartRate = 0;
    double m_verticalSpan = kMinMaximum + kSpanMargin;
    bool m_prepared = false;
    int m_selected = -1;
    std::vector<double> m_times;
    std::vector<double> m_values;
};
