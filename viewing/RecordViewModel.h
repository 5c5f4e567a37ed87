#pragma once
// What the record viewer shows, without a window: the plethysmogram plot of one window of the
// record, the heart-rate labels, the fragment markers with their placing modes, the scroll range
// and dragging. The viewer form (viewing/ui/ShowRecordFormUnit.h) gives it a canvas and the paint
// box's size, forwards the mouse, the scroll bar and the pop-up menu to it, and paints the frame.
//
// Windows of the record: ShowAt(x) seeks the record to x and draws the samples from x on as far
// as the view reaches (VisibleSpan, 6 s across), with the rate of every heart-rate entry read on
// the way written above the curve. x is held inside the record: at most EndTime - span (2 s less
// with isoline correction, whose corrected samples end early), at least StartTime.
//
// Scroll range (whole seconds): from trunc(StartTime) to trunc(trunc(EndTime) - span) after
// opening a record, or to trunc(trunc(EndTime) - span / 2) when the current record is shown
// again; never below the minimum. It follows the span when the view is laid out again.
//
// Main thread. ShowAt holds a lock of its own around the seek-and-read sequence, so that a window
// is always read and drawn in one piece.

#include "core/MCriticalSection.h"
#include "viewing/FragmentMarkers.h"
#include "viewing/plot/G2dGraph.h"

#include <functional>
#include <memory>

class PGFiles;

// Texts of the plot.
inline constexpr char16_t kRecordChannelName[] = u"Плетизмограмма";
inline constexpr char16_t kRecordXCaption[] = u"Время";
inline constexpr char16_t kRecordYCaption[] = u"Ампл., ед.";
inline constexpr char16_t kStartMarkerLabel[] = u"Начало";
inline constexpr char16_t kEndMarkerLabel[] = u"Конец";

// A heart-rate label of the viewer: the rate truncated to whole beats per minute, red outside
// 50 ... 90 beats per minute (judged on the untruncated rate), green inside.
struct sRateLabel {
    MString text;
    G2dRgb colour;
};
sRateLabel RateLabel(double hr);
// Colour of the curve for the record's active LED: clip red red, clip infrared purple, otherwise
// (the internal LED, or a record without regulator states) green.
G2dRgb LedCurveColour(int activeLed);

struct sScrollRange {
    int min = 0;
    int max = 0;
    int position = 0;
    friend bool operator==(const sScrollRange&, const sScrollRange&) = default;
};

class RecordViewModel {
public:
    // Layout of the plot: millimetres per unit at the screen's resolution, then fitted so that
    // about 6 s and 1.2 units show; y = -0.1 on the bottom edge.
    static constexpr double kYmmPerUnit = 50;
    static constexpr double kXmmPerUnit = 20;
    static constexpr double kSpanSeconds = 6;
    static constexpr double kSpanUnits = 1.2;
    static constexpr double kBaselineOffset = 0.1;
    static constexpr int kReadBlock = 200;
    // Isoline-corrected samples end this long before the record does (s).
    static constexpr double kIsolineTail = 2.0;
    // A drag moves the view once the mouse has moved this many pixels.
    static constexpr int kDragPixels = 4;
    static constexpr G2dRgb kFirstPen{255, 0, 0};
    static constexpr double kFirstPenWidth = 0.7; // mm
    static constexpr G2dRgb kStartColour{0, 128, 0};
    static constexpr G2dRgb kEndColour{0, 0, 255};
    static constexpr float kMarkerWidth = 0.6f; // mm
    // Heart-rate labels: at this height (signal units), this font size (points).
    static constexpr double kRateLabelY = 0.8;
    static constexpr int kRateLabelSize = 14;

    // How the scroll range ends: a whole span before the record's end (after opening a record) or
    // half a span (when the current record is shown again).
    enum class ScrollRule { kWholeSpan, kHalfSpan };

    // Reads `record`, keeps the fragment in `markers`; both must outlive the model.
    RecordViewModel(PGFiles& record, FragmentMarkers& markers);
    ~RecordViewModel();
    RecordViewModel(const RecordViewModel&) = delete;
    RecordViewModel& operator=(const RecordViewModel&) = delete;

    // The main window's fragment buttons (null: the model keeps the button states itself).
    void SetButtons(IFragmentButtons* buttons);
    IFragmentButtons& Buttons() { return *m_buttons; }
    // Called after every frame the model rendered (the widget repaints).
    void SetRendered(std::function<void()> rendered) { m_rendered = std::move(rendered); }

    G2dGraph& Graph() { return m_graph; }
    G2dChannel& Channel() { return *m_channel; }
    const G2dMarker& StartMarker() const { return *m_startMarker; }
    const G2dMarker& EndMarker() const { return *m_endMarker; }
    FragmentMarkers& Markers() { return m_markers; }

    // Fits the plot to `rect` of `canvas` at `resolution` pixels per inch, brings the scroll range
    // up to date with the new span and shows the window at the scroll position. A null canvas or an
    // empty rectangle leaves the plot unlaid out.
    void Layout(G2dCanvas* canvas, int resolution, const G2dRect& rect);
    bool IsLaidOut() const { return m_graph.VisibleSpan() > 0; }

    // Draws the window that starts at x (clamped as the header says). False when the record is
    // not open for reading or has no time range (the plot is then empty).
    bool ShowAt(double x);
    // Where the last window started after clamping.
    double WindowStart() const { return m_windowStart; }

    // The record object has just opened a record for reading: set the scroll range by `rule`
    // (none for a record without a time range), the position at the minimum when resetPosition,
    // else kept inside the range, and show the window there.
    void RecordOpened(ScrollRule rule, bool resetPosition);
    // Unplaces both markers (time 0), releases both buttons and puts the scroll range at 0.
    void ResetFragment();
    // The record is no longer shown (closed elsewhere): the plot is emptied.
    void ClearView();

    const sScrollRange& Scroll() const { return m_scroll; }
    bool HasScrollRange() const { return m_hasRange; }
    // The user moved the scroll bar: shows the window there.
    void ScrollTo(int position);

    // Dragging with the left button: press, then moves. A move of at least kDragPixels either way
    // shows the data that many pixels (less one) earlier (dragging right) or later, and puts the
    // scroll position on the new left edge's whole second. True when the view moved.
    void MousePress(int x) { m_dragX = x; }
    bool MouseDrag(int x);

    // The fragment buttons and the pop-up items. Place* follows the marker's button: down puts the
    // marker in placing mode in the middle of the view (brought there when placed already) and
    // fixes the other one; up fixes it. MarkerHere puts a marker newly in placing mode in the
    // middle (the pop-up's "... в текущую позицию"). FixMarkers fixes both and releases both
    // buttons. All keep start <= end.
    void PlaceStartMarker() { Place(FragmentEdge::kStart); }
    void PlaceEndMarker() { Place(FragmentEdge::kEnd); }
    void MarkerHere(FragmentEdge edge);
    void FixMarkers();

    double FragmentStart() const { return m_markers.FragmentStart(); }
    double FragmentEnd() const { return m_markers.FragmentEnd(); }

    // Pixel column (in the channel) where a marker in placing mode stands.
    int AnchorPixel() const;

private:
    class OwnButtons;
    void Place(FragmentEdge edge);
    bool Down(FragmentEdge edge) const;
    void SetDown(FragmentEdge edge, bool down);
    void UpdateScrollRange();
    // How far after the window's start the middle of the view lies.
    double MiddleOffset() const;
    // Brings the plot's markers to the fragment state (anchored ones take the time shown under
    // them, the order kept), renders and sets the button captions.
    void Present();
    void SyncMarker(const sFragmentMarker& state, G2dMarker& marker) const;
    void DrainHeartRates(bool draw);

    PGFiles& m_record;
    FragmentMarkers& m_markers;
    std::unique_ptr<OwnButtons> m_ownButtons;
    IFragmentButtons* m_buttons = nullptr;
    std::function<void()> m_rendered;

    G2dGraph m_graph;
    G2dChannel* m_channel = nullptr;
    G2dMarker* m_startMarker = nullptr;
    G2dMarker* m_endMarker = nullptr;

    sScrollRange m_scroll;
    bool m_hasRange = false;
    ScrollRule m_rule = ScrollRule::kWholeSpan;
    double m_windowStart = 0;
    int m_dragX = 0;

    double m_values[kReadBlock];
    double m_times[kReadBlock];
};
