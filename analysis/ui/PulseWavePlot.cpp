#include "analysis/ui/PulseWavePlot.h"

#include "analysis/PulseIndexViewModel.h"

#include <algorithm>

PulseWavePlot::PulseWavePlot() {
    m_channel = m_graph.AddChannel(MString(kPulseWaveChannel));
    m_channel->SetCaptions(MString(u"Время"), MString(u"Ампл., ед."));
    m_channel->SetCurveColour(kWaveColour);
    m_channel->SetCurveWidth(kWaveWidth);
    for (int k = 0; k < 5; ++k) {
        G2dMarker* m = m_channel->AddMarker();
        m->label = MString(u"B") + MString::FromInt(k + 1);
        m->width = PulseIndexViewModel::kMarkerWidth;
        m->colour = kMarkerColours[k];
        m->visible = true;
        m->showValue = true;
        m->x = 0;
        m_markers[k] = m;
    }
}

void PulseWavePlot::Layout(G2dCanvas* canvas, int resolution, const G2dRect& rect,
                           const PulseIndexViewModel& model) {
    if (!canvas || rect.IsEmpty()) return;
    m_graph.SetCanvas(canvas, resolution, 50, 20, rect);
    m_graph.SetBaseline(32, PulseIndexViewModel::kBaselineOffset);
    if (model.HorizontalSpan() > 0) m_graph.FitSpans(model.HorizontalSpan(), model.VerticalSpan());
    m_graph.SetMode(g2d::kScroll, 0);
}

void PulseWavePlot::Draw(const PulseIndexViewModel& model) {
    m_graph.Clear();
    const std::vector<double>& t = model.WaveTimes();
    if (!t.empty()) m_graph.AddPoints(0, t.data(), int(t.size()), model.WaveValues().data());
    DrawMarkers(model);
}

void PulseWavePlot::DrawMarkers(const PulseIndexViewModel& model) {
    for (int k = 0; k < 5; ++k) m_markers[k]->x = model.MarkerTime(k);
    m_graph.Render();
}

double PulseWavePlot::TimeAtPixel(int x) const {
    const G2dRect& r = m_channel->Rect();
    const int px = std::clamp(x - r.left, 0, std::max(0, m_channel->Width() - 1));
    return m_channel->DataXAtPixel(px);
}
