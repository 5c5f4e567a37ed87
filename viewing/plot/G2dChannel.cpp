#include "viewing/plot/G2dChannel.h"

#include "viewing/plot/G2dGeometry.h"
#include "viewing/plot/G2dGraph.h"

#include <algorithm>
#include <cmath>

using g2d::Mod;
using g2d::Trunc;
using g2d::UsableScale;

// Collects the joined pixels of the curve and hands them to the layer as one polyline per pen.
class G2dChannel::PathBuilder {
public:
    PathBuilder(G2dLayer& layer, const G2dRect& clip, G2dChannel& channel)
        : m_layer(layer), m_clip(clip), m_channel(channel) {}
    ~PathBuilder() { Flush(); }

    void SetPen(G2dRgb colour, int width) {
        if (colour == m_colour && width == m_width) return;
        // The new pen starts where the old one stopped.
        const bool joined = m_points.size() > 1;
        const G2dPixel last = m_points.empty() ? G2dPixel{} : m_points.back();
        Flush();
        if (joined) m_points.push_back(last);
        m_colour = colour;
        m_width = width;
    }
    void MoveTo(G2dPixel p) {
        Flush();
        m_points.push_back(p);
    }
    void LineTo(G2dPixel p) {
        if (!m_points.empty()) {
            const G2dPixel a = m_points.back();
            m_channel.MarkColumns(std::min(a.x, p.x) - m_width, std::max(a.x, p.x) + m_width + 1);
        }
        m_points.push_back(p);
    }
    void Flush() {
        if (m_points.size() > 1)
            m_layer.Polyline(m_points.data(), static_cast<int>(m_points.size()), m_colour, m_width, m_clip);
        m_points.clear();
    }

private:
    G2dLayer& m_layer;
    G2dRect m_clip;
    G2dChannel& m_channel;
    std::vector<G2dPixel> m_points;
    G2dRgb m_colour;
    int m_width = 1;
};

G2dChannel::G2dChannel(G2dGraph& graph, int index, const MString& name)
    : m_graph(graph), m_index(index), m_name(name), m_grid(*this) {}

G2dChannel::~G2dChannel() = default;

bool G2dChannel::Drawable() const {
    return m_frame && m_curve && UsableScale(m_xScale) && UsableScale(m_yScale) && m_width > 0 &&
           m_height > 0;
}

double G2dChannel::LeftEdge() const {
    return m_xScale > 0 && std::isfinite(m_xScale) ? m_currentX - m_width / m_xScale : m_currentX;
}

double G2dChannel::MmToPixels(double mm) const {
    const double px = mm * m_pixelsPerMm;
    return std::isfinite(px) && px > 1 ? px : 1.0;
}

int G2dChannel::PenPixels(double widthMm) const {
    return std::max(1, g2d::TruncPixels(widthMm * m_pixelsPerMm));
}

void G2dChannel::Layout(const G2dRect& rect, int resolution, double xmm, double ymm, G2dCanvas& canvas,
                        G2dLayer* frame, bool xTop, bool xBottom, bool yLeft, bool yRight) {
    m_rect = rect;
    m_width = std::max(1, rect.Width());
    m_height = std::max(1, rect.Height());
    m_frame = frame;
    m_pixelsPerMm = g2d::PixelsPerMm(resolution);
    m_xScale = xmm * m_pixelsPerMm;
    m_yScale = ymm * m_pixelsPerMm;
    m_span = UsableScale(m_xScale) ? m_width / m_xScale : 1.0;
    if (!(m_span > 0) || !std::isfinite(m_span)) m_span = 1.0;
    m_curve = canvas.CreateLayer(G2dLayerKind::Curve, m_width, m_height, resolution);
    m_grid.Layout(canvas, resolution, xTop, xBottom, yLeft, yRight);
    Clear();
}

void G2dChannel::Clear() {
    m_currentX = 0;
    m_points.clear();
    m_drawnIndex = 0;
    m_drawnValid = false;
    m_restart = true;
    m_grid.ResetLastGridX();
    m_pens.clear();
    m_lastPenCheckX = -100.0;
    m_havePixel = false;
    m_fullRedraw = false;
    m_composed = false;
    if (m_curve) m_curve->ClearRect({0, 0, m_curve->Width(), m_curve->Height()}, m_transparent);
}

void G2dChannel::MarkColumns(int from, int to) {
    if (m_allDirty) return;
    if (m_dirtyColumns.size() != static_cast<size_t>(m_width))
        m_dirtyColumns.assign(static_cast<size_t>(m_width), 0);
    from = std::max(from, 0);
    to = std::min(to, m_width);
    for (int c = from; c < to; ++c) m_dirtyColumns[static_cast<size_t>(c)] = 1;
}

void G2dChannel::SetMode(int mode, double gapMm) {
    m_mode = mode;
    m_gap = g2d::TruncPixels(MmToPixels(mode != g2d::kPage ? gapMm : 0));
    Redraw();
}

void G2dChannel::Redraw() {
    m_drawnIndex = 0;
    m_drawnValid = false;
    m_havePixel = false;
    m_fullRedraw = true;
    m_composed = false;
    m_lastPenCheckX = -100.0;
    m_grid.ResetLastGridX();
}

void G2dChannel::AddLinePen(double widthMm, G2dRgb colour, double x) {
    if (!(widthMm > 0)) {
        widthMm = m_curveWidth;
    } else if (x <= 0) {
        m_curveWidth = static_cast<float>(widthMm);
        m_curveColour = colour;
    }
    if (!m_pens.empty() && m_pens.back().width == widthMm && m_pens.back().colour == colour) return;
    // What was in force before the first pen colours the points before it.
    if (m_pens.empty()) m_basePen = {m_curveWidth, m_curveColour, x};
    m_pens.push_back({widthMm, colour, x});
}

G2dMarker* G2dChannel::AddMarker() {
    m_markers.push_back(std::make_unique<G2dMarker>());
    return m_markers.back().get();
}

void G2dChannel::AddPoints(const double* xs, int n, const double* ys) {
    if (!m_frame || !xs || !ys || n <= 0) return;
    const double last = xs[n - 1];
    if (!std::isfinite(last)) return;
    if (m_currentX > last || last - m_currentX > m_span) {
        // x went back or jumped more than a screen: start afresh.
        m_points.clear();
        m_drawnIndex = 0;
        m_drawnValid = false;
        m_restart = true;
    }
    // Keep exactly one point at or before last - span: it carries the line in from the left edge.
    const double keepFrom = last - m_span;
    size_t drop = 0;
    while (drop + 1 < m_points.size() && m_points[drop + 1].x <= keepFrom) ++drop;
    if (drop > 0) {
        m_points.erase(m_points.begin(), m_points.begin() + static_cast<std::ptrdiff_t>(drop));
        m_drawnIndex -= static_cast<int>(drop);
        if (m_drawnIndex < 0) {
            m_drawnIndex = 0;
            m_drawnValid = false;
        }
    }
    if (m_points.capacity() < m_points.size() + static_cast<size_t>(n))
        m_points.reserve(m_points.size() + static_cast<size_t>(n) + 10);
    for (int i = 0; i < n; ++i) {
        if (!std::isfinite(xs[i])) continue;
        m_points.push_back({xs[i], ys[i], m_restart});
        m_restart = false;
    }
    m_currentX = last;
}

bool G2dChannel::ValueAt(double x, double* y) const {
    if (m_points.empty() || !std::isfinite(x)) return false;
    if (x < m_points.front().x || x > m_points.back().x) return false;
    // First point at or beyond x.
    const auto it = std::lower_bound(m_points.begin(), m_points.end(), x,
                                     [](const G2dPoint& p, double v) { return p.x < v; });
    if (it == m_points.end()) return false;
    if (it->x == x || it == m_points.begin()) {
        *y = it->y;
        return true;
    }
    const G2dPoint& a = *(it - 1);
    const G2dPoint& b = *it;
    *y = b.x == a.x ? b.y : a.y + (b.y - a.y) * (x - a.x) / (b.x - a.x);
    return true;
}

int G2dChannel::PageOf(double x) const {
    // By the same pixel arithmetic as the columns, so a point and its column agree on the page.
    if (!UsableScale(m_xScale) || m_width <= 0) return 0;
    const int pixel = Trunc(x * m_xScale + 0.5);
    return (pixel - Mod(pixel, m_width)) / m_width;
}

double G2dChannel::LabelPageStart() const {
    return std::floor((m_currentX - 0.00001) / m_span) * m_span;
}

int G2dChannel::CurveColumn(double x) const {
    if (!UsableScale(m_xScale) || m_width <= 0) return 0;
    if (m_mode == g2d::kScroll) {
        const int offset = m_width - m_gap - Mod(Trunc(m_currentX * m_xScale + 0.5), m_width);
        return Mod(Trunc(x * m_xScale + offset - 0.5), m_width);
    }
    return Mod(Trunc(x * m_xScale + 0.5), m_width);
}

int G2dChannel::RowOf(double y) const {
    return g2d::RowOf(y, m_yOffset, m_yScale, m_height);
}

bool G2dChannel::DataLabelColumn(double x, int* column) const {
    if (!UsableScale(m_xScale)) return false;
    int c = 0;
    if (m_mode == g2d::kScroll) {
        c = CurveColumn(m_currentX) - g2d::Round((m_currentX - x) * m_xScale);
    } else {
        c = Trunc((x - LabelPageStart()) * m_xScale + 0.5);
        if (m_mode == g2d::kSweep && c < 0) {
            // From the previous page: shown only where the sweep has not yet overwritten it.
            c += m_width;
            if (c < SweepColumn()) return false;
        }
    }
    *column = c;
    return true;
}

double G2dChannel::DataXAtPixel(int pixel) const {
    if (!UsableScale(m_xScale)) return m_currentX;
    switch (m_mode) {
        case g2d::kScroll:
            return m_currentX - (CurveColumn(m_currentX) - pixel) / m_xScale;
        case g2d::kSweep: {
            const double pageStart = PageOf(m_currentX) * m_span;
            return pixel <= SweepColumn() ? pageStart + pixel / m_xScale
                                          : pageStart - m_span + pixel / m_xScale;
        }
        default:
            return LabelPageStart() + pixel / m_xScale;
    }
}

int G2dChannel::WrapColumn() const {
    double from = 0, to = 0;
    VisibleRange(&from, &to);
    return m_mode == g2d::kPage ? 0 : CurveColumn(from);
}

void G2dChannel::VisibleRange(double* from, double* to) const {
    switch (m_mode) {
        case g2d::kScroll:
            *from = m_currentX - m_span;
            *to = m_currentX;
            break;
        case g2d::kSweep:
            *to = std::max(m_currentX, m_span);
            *from = *to - m_span;
            break;
        default: {
            const double start = PageOf(m_currentX) * m_span;
            *from = start;
            *to = start + m_span;
        }
    }
}

void G2dChannel::UpdateMarker(G2dMarker& m) const {
    const bool scale = UsableScale(m_xScale);
    m.m_dataX = m.anchored && scale ? DataXAtPixel(Trunc(m.x)) : m.x;
    if (m.anchored) {
        m.m_pixelX = Trunc(m.x);
    } else if (!scale) {
        m.m_pixelX = -1;
    } else if (m_mode == g2d::kScroll) {
        m.m_pixelX = CurveColumn(m_currentX) - g2d::Round((m_currentX - m.x) * m_xScale);
    } else if (m_mode == g2d::kSweep) {
        double from = 0, to = 0;
        VisibleRange(&from, &to);
        m.m_pixelX = m.x >= from && m.x <= to ? CurveColumn(m.x) : -1;
    } else {
        m.m_pixelX = Trunc((m.x - LabelPageStart()) * m_xScale + 0.5);
    }
    m.m_hasValue = ValueAt(m.m_dataX, &m.m_valueY);
    if (!m.m_hasValue) m.m_valueY = 0;
}

bool G2dChannel::ApplyPens(const G2dPoint& p, PathBuilder& path) {
    if (m_pens.empty()) return false;
    if (std::fabs(p.x - m_lastPenCheckX) * m_xScale < 10) return false;
    m_lastPenCheckX = p.x;
    // The pen in force is the last one that starts at or before p, whichever way the curve is
    // being drawn (page and scroll modes draw from the newest point backwards).
    size_t i = m_pens.size();
    while (i > 0 && m_pens[i - 1].x > p.x) --i;
    const G2dLinePen& pen = i > 0 ? m_pens[i - 1] : m_basePen;
    m_curveWidth = static_cast<float>(pen.width);
    m_curveColour = pen.colour;
    // A pen is no longer needed once the next one covers everything still shown.
    const double shownFrom = m_mode == g2d::kPage ? PageOf(p.x) * m_span : p.x - m_span;
    while (m_pens.size() > 1 && m_pens[1].x <= shownFrom) {
        m_basePen = m_pens.front();
        m_pens.erase(m_pens.begin());
    }
    path.SetPen(m_curveColour, PenPixels(m_curveWidth));
    return true;
}

void G2dChannel::DrawCurve() {
    const int count = static_cast<int>(m_points.size());
    if (count < 2 || !Drawable()) return;
    G2dLayer& layer = *m_curve;
    const G2dRect all{0, 0, m_width, m_height};
    const bool full = m_fullRedraw;
    if (full) {
        m_drawnIndex = 0;
        m_drawnValid = false;
        m_havePixel = false;
    }
    // Nothing new is drawn until more than 4 points are waiting (the drawn index names the newest
    // drawn point in page and scroll modes, the first undrawn one in sweep mode).
    const int drawnBefore = m_drawnIndex + (m_drawnValid && m_mode != g2d::kSweep ? 1 : 0);
    if (!full && count - drawnBefore <= 4) return;
    const int start = std::clamp(m_drawnIndex, 0, count - 1);

    const int w = PenPixels(m_curveWidth);
    const int width = m_width;
    auto pixelOf = [&](const G2dPoint& p, int offset, bool scroll) {
        const int column = scroll ? Mod(Trunc(p.x * m_xScale + offset - 0.5), width)
                                  : Mod(Trunc(p.x * m_xScale + 0.5), width);
        return G2dPixel{column, RowOf(p.y)};
    };

    PathBuilder path(layer, all, *this);
    path.SetPen(m_curveColour, w);

    if (m_mode == g2d::kSweep) {
        const int current = CurveColumn(m_currentX);
        // A whole page or more since the last frame (or x went back): nothing old stays.
        const bool clearAll =
            full || !m_havePixel || m_currentX < m_lastDrawnX || m_currentX - m_lastDrawnX >= m_span;
        auto clearBand = [&](int from, int to) { // columns [from, to), modulo the width
            if (to - from >= width) {
                layer.ClearRect(all, m_transparent);
                MarkAll();
                return;
            }
            const int a = Mod(from, width);
            const int b = a + (to - from);
            layer.ClearRect({a, 0, std::min(b, width), m_height}, m_transparent);
            MarkColumns(a, b);
            if (b > width) {
                layer.ClearRect({0, 0, b - width, m_height}, m_transparent);
                MarkColumns(0, b - width);
            }
        };
        if (clearAll) {
            layer.ClearRect(all, m_transparent);
            MarkAll();
        } else {
            int to = current + m_gap + w;
            const int from = m_lastPixel.x + w;
            if (to < from) to += width; // the band wraps
            if (to > from) clearBand(from, to);
        }
        G2dPixel prev{};
        bool havePrev = false;
        if (!clearAll && m_havePixel) {
            prev = m_lastPixel;
            havePrev = true;
            path.MoveTo(prev);
        }
        bool broken = false;
        for (int i = start; i < count; ++i) {
            const G2dPoint& p = m_points[static_cast<size_t>(i)];
            const G2dPixel px = pixelOf(p, 0, false);
            broken = broken || p.restart;
            if (!havePrev) {
                ApplyPens(p, path);
                path.MoveTo(px);
                prev = px;
                havePrev = true;
                broken = false;
                continue;
            }
            if (px == prev) continue;
            ApplyPens(p, path);
            if (px.x < prev.x - 10) {
                // Wrapped to the next page: finish at the right edge, start again at the left.
                if (!broken) {
                    path.LineTo({px.x + width, px.y});
                    path.MoveTo({prev.x - width, prev.y});
                    path.LineTo(px);
                } else {
                    path.MoveTo(px);
                }
            } else if (broken) {
                path.MoveTo(px);
            } else {
                path.LineTo(px);
            }
            prev = px;
            broken = false;
        }
        path.Flush();
        if (clearAll) {
            // The blank gap ahead of the newest point.
            const int from = current + w;
            clearBand(from, from + m_gap);
        }
        m_drawnIndex = count;
    } else {
        const bool scroll = m_mode == g2d::kScroll;
        const int offset = width - m_gap - Mod(Trunc(m_currentX * m_xScale + 0.5), width);
        if (scroll) {
            // Shift by the change of the newest point's rounded position, so drawn and new parts
            // never drift apart.
            const int shift = Trunc(m_currentX * m_xScale + 0.5) - Trunc(m_lastDrawnX * m_xScale + 0.5);
            if (full || m_currentX < m_lastDrawnX || m_currentX - m_lastDrawnX > m_span || shift >= width) {
                layer.ClearRect(all, m_transparent);
            } else if (shift > 0) {
                layer.ScrollLeft(shift);
                layer.ClearRect({width - shift, 0, width, m_height}, m_transparent);
            }
        } else if (full || PageOf(m_currentX) != PageOf(m_lastDrawnX)) {
            layer.ClearRect(all, m_transparent);
            MarkAll();
        }
        // Backwards from the newest point down to the drawn index.
        const G2dPoint& newest = m_points[static_cast<size_t>(count - 1)];
        G2dPixel prev = pixelOf(newest, offset, scroll);
        ApplyPens(newest, path);
        path.MoveTo(prev);
        bool broken = newest.restart;
        for (int i = count - 2; i >= start; --i) {
            const G2dPoint& p = m_points[static_cast<size_t>(i)];
            const G2dPixel px = pixelOf(p, offset, scroll);
            if (px.x > prev.x + 10) {
                // On the previous page (page mode) or beyond the left edge (scroll mode).
                if (!broken) path.LineTo({px.x - width, px.y});
                break;
            }
            if (px != prev) {
                ApplyPens(p, path);
                if (broken)
                    path.MoveTo(px);
                else
                    path.LineTo(px);
                prev = px;
                broken = false;
            }
            broken = broken || p.restart;
        }
        path.Flush();
        m_drawnIndex = count - 1;
        m_drawnValid = true;
    }
    m_fullRedraw = false;
    m_lastDrawnX = m_currentX;
    const G2dPoint& newest = m_points[static_cast<size_t>(count - 1)];
    m_lastPixel = {CurveColumn(newest.x), RowOf(newest.y)};
    m_havePixel = true;
}

void G2dChannel::DotOps(G2dFrameOps& ops) const {
    if (!m_havePixel) return;
    const int w = PenPixels(m_curveWidth);
    const int r = std::min(2 * w, 6);
    if (r >= m_gap) return;
    ops.push_back(G2dFrameOp::MakeCircle({m_rect.left + m_lastPixel.x, m_rect.top + m_lastPixel.y}, r,
                                         G2dRgb{255, 255, 255}, m_curveColour, std::max(1, r / 2), m_rect));
}

void G2dChannel::MarkerOps(G2dMarker& m, G2dFrameOps& ops) const {
    UpdateMarker(m);
    if (!m.visible || m.m_pixelX < 0 || m.m_pixelX >= m_width) return;
    const int w = std::max(1, g2d::TruncPixels(m.width * m_pixelsPerMm));
    const int x = m_rect.left + m.m_pixelX;
    int top = m_rect.top + 30;
    int bottom = m_rect.bottom - 30;
    if (bottom <= top) { // a low channel: the whole height
        top = m_rect.top;
        bottom = m_rect.bottom;
    }
    const G2dRect clip = m_rect;
    ops.push_back(G2dFrameOp::MakeFill(g2d::VerticalBand(x, w, top, bottom).Intersected(clip), m.colour));
    if (m.showValue && m.m_hasValue) {
        const int half = g2d::Round(5 * m_pixelsPerMm);
        const int row = m_rect.top + RowOf(m.m_valueY);
        ops.push_back(G2dFrameOp::MakeFill(
            g2d::HorizontalBand(row, w, x - half, x + half + 1).Intersected(clip), m.colour));
    }
    ops.push_back(G2dFrameOp::MakeCircle({x, top}, w, G2dRgb{255, 255, 255}, m.colour, w, clip));
    ops.push_back(G2dFrameOp::MakeCircle({x, bottom}, w, G2dRgb{255, 255, 255}, m.colour, w, clip));
    if (!m.label.IsEmpty() && m_frame) {
        const G2dFont font{m.fontSize > 0 ? m.fontSize : Trunc(2 * m.width + 8), kG2dBold};
        const G2dSize size = m_frame->TextSize(m.label, font);
        // Upwards, right of the line, centred vertically in the channel.
        const int left = g2d::BandStart(x, w) + 2 * w + 1;
        const int topOfText = m_rect.top + (m_rect.Height() - size.width) / 2;
        ops.push_back(G2dFrameOp::MakeText({left, topOfText, left + size.height, topOfText + size.width},
                                           m.label, font, m.colour, clip, true));
    }
}

void G2dChannel::Compose(G2dLayer& frame, bool full, std::vector<G2dRect>* composed) {
    if (!Drawable()) return;
    full = full || !m_composed || m_mode == g2d::kScroll;
    m_allDirty = full;
    m_grid.UpdateVerticalLines();
    DrawCurve();
    const G2dPixel origin{m_rect.left, m_rect.top};
    G2dFrameOps under, over;
    m_grid.XLabelOps(frame, origin, under);
    m_grid.DataLabelOps(frame, origin, under);
    DotOps(over);
    for (auto& m : m_markers) MarkerOps(*m, over);

    // What changed on the frame since the last one, beside the layers.
    auto diff = [&](const G2dFrameOps& before, const G2dFrameOps& now) {
        auto mark = [&](const G2dFrameOp& op) {
            const G2dRect b = op.Box().Intersected(m_rect);
            if (!b.IsEmpty()) MarkColumns(b.left - m_rect.left, b.right - m_rect.left);
        };
        for (const G2dFrameOp& op : before)
            if (std::find(now.begin(), now.end(), op) == now.end()) mark(op);
        for (const G2dFrameOp& op : now)
            if (std::find(before.begin(), before.end(), op) == before.end()) mark(op);
    };
    if (!m_allDirty) {
        diff(m_underOps, under);
        diff(m_overOps, over);
    }

    std::vector<G2dRect> regions;
    if (m_allDirty) {
        regions.push_back(m_rect);
    } else if (m_dirtyColumns.size() == static_cast<size_t>(m_width)) {
        for (int c = 0; c < m_width;) {
            if (!m_dirtyColumns[static_cast<size_t>(c)]) {
                ++c;
                continue;
            }
            int e = c;
            while (e < m_width && m_dirtyColumns[static_cast<size_t>(e)]) ++e;
            regions.push_back({m_rect.left + c, m_rect.top, m_rect.left + e, m_rect.bottom});
            c = e;
        }
    }
    for (const G2dRect& region : regions) {
        const G2dRect part = region.Translated(-origin.x, -origin.y);
        frame.Draw(*m_grid.m_gridLayer, origin.x, origin.y, part);
        frame.Draw(*m_grid.m_overlay, origin.x, origin.y, part);
        for (const G2dFrameOp& op : under)
            if (op.Box().Intersects(region)) op.Draw(frame, region);
        frame.Draw(*m_curve, origin.x, origin.y, part);
        for (const G2dFrameOp& op : over)
            if (op.Box().Intersects(region)) op.Draw(frame, region);
        if (composed) composed->push_back(region);
    }
    m_underOps = std::move(under);
    m_overOps = std::move(over);
    m_composed = true;
    m_allDirty = false;
    std::fill(m_dirtyColumns.begin(), m_dirtyColumns.end(), 0);
}
