#include "viewing/plot/G2dGraph.h"

#include "core/Clock.h"
#include "core/DecimalSeparator.h"
#include "viewing/plot/G2dGeometry.h"

#include <cmath>

namespace {

// Colour of the channel frames (the margins between the channels).
constexpr G2dRgb kFrameColour{255, 251, 240};
constexpr int kFrameLine = 10;

} // namespace

G2dGraph::G2dGraph() : m_separator(LocaleDecimalSeparator()) {}

G2dGraph::~G2dGraph() = default;

G2dChannel* G2dGraph::AddChannel(const MString& name) {
    MAutoLock lock(m_lock);
    const int index = ChannelCount();
    m_channels.push_back(std::make_unique<G2dChannel>(*this, index, name));
    return m_channels.back().get();
}

G2dChannel* G2dGraph::Channel(int index) {
    return index >= 0 && index < ChannelCount() ? m_channels[static_cast<size_t>(index)].get() : nullptr;
}

const G2dChannel* G2dGraph::Channel(int index) const {
    return index >= 0 && index < ChannelCount() ? m_channels[static_cast<size_t>(index)].get() : nullptr;
}

void G2dGraph::SetCanvas(G2dCanvas* canvas, int resolution, double ymm, double xmm, const G2dRect& rect) {
    if (!canvas) return;
    MAutoLock lock(m_lock);
    m_canvas = canvas;
    m_target = rect;
    m_givenResolution = resolution;
    const g2d::FrameSize f = g2d::FitFrame(rect, resolution);
    m_width = f.width;
    m_height = f.height;
    m_resolution = f.resolution;
    m_frame = canvas->CreateLayer(G2dLayerKind::Frame, m_width, m_height, m_resolution);
    m_frame->FillRect({0, 0, m_width, m_height}, kFrameColour);
    m_ymm = ymm;
    m_xmm = xmm;
    Layout();
    m_gridDirty = false;
    m_frameStale = true;
    ResetPlayback();
}

void G2dGraph::Layout() {
    const std::vector<g2d::LayoutCell> cells = g2d::LayoutCells(ChannelCount(), m_width, m_height);
    for (size_t i = 0; i < cells.size(); ++i) {
        const g2d::LayoutCell& c = cells[i];
        m_channels[i]->Layout(c.rect, m_resolution, m_xmm, m_ymm, *m_canvas, m_frame.get(),
                              xLabelsTop && c.row == 0, xLabelsBottom && c.row == c.rowsInColumn - 1,
                              yLabelsLeft, yLabelsRight);
    }
}

void G2dGraph::FitSpans(double xSpan, double ySpan) {
    MAutoLock lock(m_lock);
    if (!m_canvas || m_channels.empty()) return;
    if (!(xSpan > 0) || !(ySpan > 0) || !std::isfinite(xSpan) || !std::isfinite(ySpan)) return;
    const double ppm = m_channels[0]->PixelsPerMm();
    if (!g2d::UsableScale(ppm)) return;
    const double xmm = (m_width / xSpan) / ppm;
    const double ymm = ((m_height / ChannelCount()) / ySpan) / ppm;
    SetCanvas(m_canvas, m_givenResolution, ymm, xmm, m_target);
}

void G2dGraph::SetBaseline(int flags, double offset) {
    MAutoLock lock(m_lock);
    for (auto& ch : m_channels) {
        ch->m_grid.SetBaseline(flags, offset);
        ch->Redraw();
    }
    m_gridDirty = true;
}

void G2dGraph::SetMode(int mode, double gapMm) {
    MAutoLock lock(m_lock);
    for (auto& ch : m_channels) ch->SetMode(mode, gapMm);
}

void G2dGraph::ResetPlayback() {
    m_queues.clear();
    m_queueCapacity = 0;
    m_prevNewestX = kEmptyX;
    m_haveEstimate = false;
    m_prevEstimateMs = 0;
    m_rate = 0;
    m_lastPlayMs = 0;
    m_playPosition = 0;
}

void G2dGraph::Clear() {
    MAutoLock lock(m_lock);
    ResetPlayback();
    for (auto& ch : m_channels) ch->Clear();
}

void G2dGraph::AddPoint(int channel, double x, double y) {
    AddPoints(channel, &x, 1, &y);
}

void G2dGraph::AddPoints(int channel, const double* xs, int n, const double* ys) {
    MAutoLock lock(m_lock);
    if (G2dChannel* ch = Channel(channel)) ch->AddPoints(xs, n, ys);
}

int G2dGraph::QueuedPoints(int channel) const {
    MAutoLock lock(m_lock);
    return channel >= 0 && channel < static_cast<int>(m_queues.size())
               ? static_cast<int>(m_queues[static_cast<size_t>(channel)].points.size())
               : 0;
}

void G2dGraph::BufferPoints(int channel, const double* xs, int n, const double* ys) {
    if (n <= 0 || !xs || !ys) return;
    MAutoLock lock(m_lock);
    const int count = ChannelCount();
    if (channel < 0 || channel >= count) return;
    // Queues that grew this far are not being played: drop them rather than grow without end.
    if (m_queueCapacity > kMaxQueue) {
        m_queues.clear();
        m_queueCapacity = 0;
    }
    if (m_queueCapacity == 0 || static_cast<int>(m_queues.size()) != count) {
        m_queues.assign(static_cast<size_t>(count), Queue{});
        m_queueCapacity = 1;
    }
    Queue& q = m_queues[static_cast<size_t>(channel)];
    if (q.newestX > xs[0]) q.points.clear(); // x went back
    const int queued = static_cast<int>(q.points.size());
    if (queued + n > m_queueCapacity) {
        m_queueCapacity = queued + n + 100;
        for (Queue& row : m_queues) row.points.reserve(static_cast<size_t>(m_queueCapacity));
    }
    for (int i = 0; i < n; ++i) q.points.push_back({xs[i], ys[i]});
    q.newestX = xs[n - 1];

    // Measure the input rate after the last channel's points, at most every 500 ms.
    if (channel != count - 1) return;
    const double now = static_cast<double>(GetMicroseconds() * 0.001L);
    if (m_haveEstimate && now - m_prevEstimateMs <= 500) return;
    const double newest = m_queues[0].newestX;
    if (m_haveEstimate && newest < m_prevNewestX) {
        // The data started again from an earlier x.
        m_haveEstimate = false;
        for (auto& ch : m_channels) ch->Clear();
    }
    if (!m_haveEstimate) {
        m_rate = 1'000'000; // show whatever is queued at once
        m_playPosition = newest;
    } else if (newest > m_prevNewestX) {
        m_rate = (newest - m_prevNewestX) / (now - m_prevEstimateMs);
        // Lagging more than 100 ms of wall time: catch up 10 % faster.
        if ((m_prevNewestX - m_playPosition) / m_rate > 100) m_rate *= 1.1;
    }
    m_prevNewestX = newest;
    m_prevEstimateMs = now;
    m_haveEstimate = true;
}

void G2dGraph::PlayBuffered() {
    MAutoLock lock(m_lock);
    if (m_queues.empty() || m_channels.empty()) return;
    const double now = std::floor(static_cast<double>(GetMicroseconds() / 1000.0L));
    const double advance = (now - m_lastPlayMs) * m_rate;
    if (advance > 0) {
        m_playPosition = std::min(m_playPosition + advance, m_queues[0].newestX);
        m_lastPlayMs = now;
        std::vector<double> xs, ys;
        for (size_t c = 0; c < m_queues.size() && c < m_channels.size(); ++c) {
            std::vector<G2dBufPoint>& pts = m_queues[c].points;
            if (pts.empty()) continue;
            xs.clear();
            ys.clear();
            size_t i = 0;
            while (i < pts.size() && pts[i].x < m_playPosition) {
                xs.push_back(pts[i].x);
                ys.push_back(pts[i].y);
                ++i;
            }
            size_t consumed = i;
            if (i < pts.size()) {
                const G2dBufPoint& p = pts[i];
                if (p.x > m_playPosition && i > 0) {
                    // One point at the play position, on the line to the next queued point.
                    const G2dBufPoint& a = pts[i - 1];
                    xs.push_back(m_playPosition);
                    ys.push_back(a.y + (p.y - a.y) * (m_playPosition - a.x) / (p.x - a.x));
                } else if (p.x == m_playPosition) {
                    xs.push_back(p.x);
                    ys.push_back(p.y);
                    consumed = i + 1;
                } else if (i == 0) {
                    // Nothing before the position: show the first point now; it stays queued.
                    xs.push_back(p.x);
                    ys.push_back(p.y);
                }
            }
            m_channels[c]->AddPoints(xs.data(), static_cast<int>(xs.size()), ys.data());
            // The newest queued x stays as it is when the queue empties, so the play position can
            // still advance to it.
            pts.erase(pts.begin(), pts.begin() + static_cast<std::ptrdiff_t>(consumed));
        }
    }
    Render();
}

void G2dGraph::InvalidateGrid() {
    MAutoLock lock(m_lock);
    m_gridDirty = true;
}

void G2dGraph::Render() {
    MAutoLock lock(m_lock);
    if (!m_canvas || !m_frame) return;
    bool full = m_frameStale || m_gridDirty;
    if (m_gridDirty) {
        m_gridDirty = false;
        for (auto& ch : m_channels) ch->m_grid.DrawOverlay();
    }
    // Frame labels (kind 2) of every channel go over everything; when one of them changed, the
    // whole frame is composed again.
    G2dFrameOps frameLabels;
    for (auto& ch : m_channels)
        if (ch->m_frame) ch->m_grid.FrameLabelOps(*m_frame, frameLabels);
    full = full || frameLabels != m_frameLabels;
    const G2dRect frame{0, 0, m_width, m_height};
    if (full) {
        // A 10-pixel line around every channel, half of it outside: the margins between the channels.
        for (auto& ch : m_channels) {
            if (!ch->m_frame) continue;
            const G2dRect r = ch->Rect();
            const int h = kFrameLine / 2;
            const G2dRect bands[] = {{r.left - h, r.top - h, r.right + h, r.top + h},
                                     {r.left - h, r.bottom - h, r.right + h, r.bottom + h},
                                     {r.left - h, r.top - h, r.left + h, r.bottom + h},
                                     {r.right - h, r.top - h, r.right + h, r.bottom + h}};
            for (const G2dRect& b : bands) m_frame->FillRect(b.Intersected(frame), kFrameColour);
        }
    }
    std::vector<G2dRect> composed;
    for (auto& ch : m_channels)
        if (ch->m_frame) ch->Compose(*m_frame, full, &composed);
    if (full) composed.assign(1, frame);
    for (const G2dRect& region : composed)
        for (const G2dFrameOp& op : frameLabels)
            if (op.Box().Intersects(region)) op.Draw(*m_frame, region);
    m_frameLabels = std::move(frameLabels);
    m_frameStale = false;
    m_canvas->Present(*m_frame, m_target);
}

double G2dGraph::VisibleSpan() const {
    MAutoLock lock(m_lock);
    if (m_channels.empty()) return 0;
    const G2dChannel& ch = *m_channels[0];
    return g2d::Divide(ch.Width(), ch.XScale());
}

double G2dGraph::PixelsToUnits(int pixels, int channel) const {
    MAutoLock lock(m_lock);
    const G2dChannel* ch = Channel(channel);
    return ch ? g2d::Divide(pixels, ch->XScale()) : 0.0;
}
