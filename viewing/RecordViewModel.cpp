#include "viewing/RecordViewModel.h"

#include "core/HrMeasure.h"
#include "storage/PGFiles.h"
#include "viewing/plot/G2dGeometry.h"

#include <algorithm>
#include <cmath>

namespace {

// Held while a window of the record is read and drawn (every viewer of the process).
MCriticalSection& DrawLock() {
    static MCriticalSection lock;
    return lock;
}

FragmentEdge Other(FragmentEdge edge) {
    return edge == FragmentEdge::kStart ? FragmentEdge::kEnd : FragmentEdge::kStart;
}

} // namespace

sRateLabel RateLabel(double hr) {
    const bool outside = hr < 50 || hr > 90;
    return {MString::FromInt(g2d::Trunc(hr)), outside ? G2dRgb{255, 0, 0} : G2dRgb{0, 128, 0}};
}

G2dRgb LedCurveColour(int activeLed) {
    switch (activeLed) {
        case 2:
            return {255, 0, 0};
        case 3:
            return {128, 0, 128};
        default:
            return {0, 128, 0};
    }
}

// Button states when no main window is attached.
class RecordViewModel::OwnButtons final : public IFragmentButtons {
public:
    bool StartDown() const override { return m_start; }
    bool EndDown() const override { return m_end; }
    void SetStartDown(bool down) override { m_start = down; }
    void SetEndDown(bool down) override { m_end = down; }
    void SetCaptions(const MString&, const MString&) override {}

private:
    bool m_start = false;
    bool m_end = false;
};

RecordViewModel::RecordViewModel(PGFiles& record, FragmentMarkers& markers)
    : m_record(record), m_markers(markers), m_ownButtons(std::make_unique<OwnButtons>()),
      m_buttons(m_ownButtons.get()) {
    m_channel = m_graph.AddChannel(MString(kRecordChannelName));
    m_channel->SetCaptions(MString(kRecordXCaption), MString(kRecordYCaption));
    m_channel->AddLinePen(kFirstPenWidth, kFirstPen, -1);
    m_graph.SetMode(g2d::kScroll, 0);
    m_startMarker = m_channel->AddMarker();
    m_startMarker->label = MString(kStartMarkerLabel);
    m_startMarker->colour = kStartColour;
    m_startMarker->width = kMarkerWidth;
    m_startMarker->visible = false;
    m_endMarker = m_channel->AddMarker();
    m_endMarker->label = MString(kEndMarkerLabel);
    m_endMarker->colour = kEndColour;
    m_endMarker->width = kMarkerWidth;
    m_endMarker->visible = false;
}

RecordViewModel::~RecordViewModel() = default;

void RecordViewModel::SetButtons(IFragmentButtons* buttons) {
    m_buttons = buttons ? buttons : m_ownButtons.get();
}

bool RecordViewModel::Down(FragmentEdge edge) const {
    return edge == FragmentEdge::kStart ? m_buttons->StartDown() : m_buttons->EndDown();
}

void RecordViewModel::SetDown(FragmentEdge edge, bool down) {
    if (edge == FragmentEdge::kStart)
        m_buttons->SetStartDown(down);
    else
        m_buttons->SetEndDown(down);
}

int RecordViewModel::AnchorPixel() const {
    return m_channel->Width() / 2;
}

void RecordViewModel::Layout(G2dCanvas* canvas, int resolution, const G2dRect& rect) {
    if (!canvas || rect.IsEmpty()) return;
    m_graph.SetCanvas(canvas, resolution, kYmmPerUnit, kXmmPerUnit, rect);
    m_graph.SetBaseline(32, kBaselineOffset);
    m_graph.FitSpans(kSpanSeconds, kSpanUnits);
    m_graph.SetMode(g2d::kScroll, 0);
    // The range depends on the span just laid out.
    UpdateScrollRange();
    ShowAt(m_scroll.position);
}

void RecordViewModel::UpdateScrollRange() {
    if (!m_hasRange) return;
    const double w = m_graph.VisibleSpan();
    const double reach = m_rule == ScrollRule::kWholeSpan ? w : w / 2;
    m_scroll.min = g2d::Trunc(m_record.StartTime());
    m_scroll.max = std::max(m_scroll.min, g2d::Trunc(g2d::Trunc(m_record.EndTime()) - reach));
    m_scroll.position = std::clamp(m_scroll.position, m_scroll.min, m_scroll.max);
}

void RecordViewModel::RecordOpened(ScrollRule rule, bool resetPosition) {
    m_rule = rule;
    m_hasRange = m_record.IsOpen() && !m_record.IsWriting() && m_record.StartTime() < m_record.EndTime();
    if (m_hasRange) {
        if (resetPosition) m_scroll.position = g2d::Trunc(m_record.StartTime());
        UpdateScrollRange();
    } else {
        m_scroll = sScrollRange{};
    }
    ShowAt(m_scroll.position);
}

void RecordViewModel::ResetFragment() {
    m_markers.Reset();
    SetDown(FragmentEdge::kStart, false);
    SetDown(FragmentEdge::kEnd, false);
    m_scroll.min = 0;
    m_scroll.position = 0;
    m_scroll.max = std::max(m_scroll.max, 0);
    Present();
}

void RecordViewModel::ClearView() {
    MAutoLock lock(DrawLock());
    m_hasRange = false;
    m_scroll = sScrollRange{};
    m_graph.Clear();
    m_channel->Grid().ClearTexts();
    Present();
}

void RecordViewModel::ScrollTo(int position) {
    m_scroll.position = std::clamp(position, m_scroll.min, std::max(m_scroll.min, m_scroll.max));
    ShowAt(m_scroll.position);
}

void RecordViewModel::DrainHeartRates(bool draw) {
    sHrMeasure m;
    while (m_record.HeartRateQueue.TryPop(m)) {
        if (!draw) continue;
        const sRateLabel label = RateLabel(m.hr);
        m_channel->Grid().AddText(label.text, g2d::kCentreX | g2d::kCentreY, label.colour, g2d::kDataLabel,
                                  kRateLabelY, m.time, kRateLabelSize);
    }
}

bool RecordViewModel::ShowAt(double x) {
    MAutoLock lock(DrawLock());
    const bool readable =
        m_record.IsOpen() && !m_record.IsWriting() && m_record.StartTime() < m_record.EndTime();
    const double w = m_graph.VisibleSpan();
    const double tail = m_record.IsolineCorrection ? kIsolineTail : 0.0;
    if (!std::isfinite(x)) x = m_record.StartTime();
    x = std::min(x, m_record.EndTime() - w - tail);
    x = std::max(x, m_record.StartTime());
    m_windowStart = x;

    m_graph.Clear();
    m_channel->Grid().ClearTexts();
    if (readable && w > 0) {
        // Entries another reader left in the queue belong to other parts of the record.
        DrainHeartRates(false);
        m_record.SeekTime(x, false);
        const double until = x + w;
        bool first = true;
        for (;;) {
            const int n = m_record.ReadSamples(m_values, m_times, kReadBlock);
            int k = 0;
            while (k < n && m_times[k] <= until) ++k;
            if (k > 0) {
                const G2dRgb colour = LedCurveColour(m_record.LastActiveLed());
                // The seek has read the regulator state in force here: the window starts in its colour.
                if (first) m_channel->AddLinePen(-1, colour, m_times[0]);
                first = false;
                m_graph.AddPoints(0, m_times, k, m_values);
                m_channel->AddLinePen(-1, LedCurveColour(m_record.LastActiveLed()), m_times[k - 1]);
            }
            DrainHeartRates(true);
            if (n == 0 || k < n) break;
        }
    }
    Present();
    return readable;
}

double RecordViewModel::MiddleOffset() const {
    if (!IsLaidOut() || m_channel->Points().empty()) return m_graph.VisibleSpan() / 2;
    return m_channel->DataXAtPixel(AnchorPixel()) - m_windowStart;
}

void RecordViewModel::SyncMarker(const sFragmentMarker& state, G2dMarker& marker) const {
    marker.visible = state.placed;
    marker.anchored = state.placed && state.anchored;
    marker.x = marker.anchored ? AnchorPixel() : state.time;
}

void RecordViewModel::Present() {
    if (IsLaidOut()) {
        // An anchored marker takes the time now shown at the middle of the view.
        G2dMarker probe;
        probe.anchored = true;
        probe.x = AnchorPixel();
        m_channel->UpdateMarker(probe);
        m_markers.Follow(probe.DataX());
    }
    m_markers.KeepOrder();
    SyncMarker(m_markers.Start(), *m_startMarker);
    SyncMarker(m_markers.End(), *m_endMarker);
    m_graph.Render();
    m_buttons->SetCaptions(m_markers.Caption(FragmentEdge::kStart), m_markers.Caption(FragmentEdge::kEnd));
    if (m_rendered) m_rendered();
}

bool RecordViewModel::MouseDrag(int x) {
    const int d = x - m_dragX;
    if (std::abs(d) < kDragPixels) return false;
    // One pixel less either way, so that a small drag does not overshoot.
    const double t = m_graph.PixelsToUnits(d > 0 ? d - 1 : d + 1, 0);
    if (t == 0) return false;
    ShowAt(m_channel->LeftEdge() - t);
    const double left = m_channel->LeftEdge();
    if (left > 0 && m_hasRange) {
        const int position = std::clamp(g2d::Trunc(left), m_scroll.min, m_scroll.max);
        if (position != m_scroll.position) m_scroll.position = position;
    }
    m_dragX = x;
    return true;
}

void RecordViewModel::Place(FragmentEdge edge) {
    const FragmentEdge other = Other(edge);
    if (Down(edge)) {
        m_markers.Fix(other);
        SetDown(other, false);
        const sFragmentMarker& m = m_markers.Get(edge);
        if (m.placed) {
            // Brought to the middle by the offset of the middle in the window shown now, not by
            // half the span: the curve's newest point does not stand on the right edge, and
            // half a span would move the marker a little each time its button is pressed.
            m_markers.Fix(edge);
            ShowAt(m.time - MiddleOffset());
        }
        // Present gives it the time at the middle of the view.
        m_markers.Anchor(edge, m.placed ? m.time : m_windowStart);
    } else {
        m_markers.Fix(edge);
    }
    Present();
}

void RecordViewModel::MarkerHere(FragmentEdge edge) {
    m_markers.Unplace(edge);
    SetDown(edge, true);
    Place(edge);
}

void RecordViewModel::FixMarkers() {
    m_markers.KeepOrder();
    m_markers.Fix(FragmentEdge::kStart);
    m_markers.Fix(FragmentEdge::kEnd);
    SetDown(FragmentEdge::kStart, false);
    SetDown(FragmentEdge::kEnd, false);
    Present();
}
