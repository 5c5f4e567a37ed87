#include "viewing/plot/G2dGrid.h"

#include "viewing/plot/G2dChannel.h"
#include "viewing/plot/G2dGeometry.h"
#include "viewing/plot/G2dGraph.h"

#include <algorithm>
#include <cmath>

using g2d::Trunc;
using g2d::UsableScale;

namespace {

constexpr G2dRgb kBlack{0, 0, 0};
constexpr G2dFont kLabelFont{8, 0};
// Tolerance of "a multiple of the step" against rounding of the step itself.
constexpr double kStepEps = 1e-9;

// j range of the multiples j * step within [from, to]; false when there are none or too many
// (a step too fine to draw, which only absurd scales give).
bool Multiples(double from, double to, double step, long long maxCount, long long* first, long long* last) {
    if (!(step > 0) || !std::isfinite(step) || !std::isfinite(from) || !std::isfinite(to) || to < from)
        return false;
    const double a = std::ceil(from / step - kStepEps);
    const double b = std::floor(to / step + kStepEps);
    if (!(b >= a) || b - a > static_cast<double>(maxCount) || std::fabs(a) > 1e15 || std::fabs(b) > 1e15)
        return false;
    *first = static_cast<long long>(a);
    *last = static_cast<long long>(b);
    return true;
}

} // namespace

G2dGrid::G2dGrid(G2dChannel& channel) : m_channel(channel) {}

G2dGrid::~G2dGrid() = default;

G2dText* G2dGrid::AddText(const MString& text, int flags, G2dRgb colour, int kind, double y, double x,
                          int fontSize, int fontStyle) {
    auto t = std::make_unique<G2dText>();
    t->text = text;
    t->x = x;
    t->y = y;
    t->flags = flags;
    t->kind = kind;
    t->colour = colour;
    t->fontSize = fontSize;
    t->fontStyle = fontStyle;
    G2dText* raw = t.get();
    m_texts.push_back(std::move(t));
    return kind == g2d::kDataLabel ? nullptr : raw;
}

void G2dGrid::ClearTexts() {
    m_texts.clear();
}

void G2dGrid::Layout(G2dCanvas& canvas, int resolution, bool xTop, bool xBottom, bool yLeft, bool yRight) {
    const G2dChannel& ch = m_channel;
    m_gridLayer = canvas.CreateLayer(G2dLayerKind::Opaque, ch.m_width, ch.m_height, resolution);
    m_overlay = canvas.CreateLayer(G2dLayerKind::Overlay, ch.m_width, ch.m_height, resolution);
    m_xLabelsTop = xTop;
    m_xLabelsBottom = xBottom;
    m_yLabelsLeft = yLeft;
    m_yLabelsRight = yRight;
    m_xUnitsPerMm = g2d::Divide(ch.m_pixelsPerMm, ch.m_xScale);
    m_yUnitsPerMm = g2d::Divide(ch.m_pixelsPerMm, ch.m_yScale);
    m_thin = std::max(1, g2d::TruncPixels(0.3 * ch.m_pixelsPerMm + 0.5));
    m_thick = 2 * m_thin;
    ResetLastGridX();
    m_channel.m_yOffset = g2d::YOffset(m_baselineFlags, m_userOffset, ch.m_height, ch.m_yScale, ch.m_yOffset);
    m_gridLayer->FillRect({0, 0, ch.m_width, ch.m_height}, background);
    DrawOverlay();
}

void G2dGrid::ResetLastGridX() {
    m_lastGridX = -2 * m_channel.m_span;
}

void G2dGrid::SetBaseline(int flags, double offset) {
    m_baselineFlags = flags;
    m_userOffset = offset;
    m_channel.m_yOffset =
        g2d::YOffset(flags, offset, m_channel.m_height, m_channel.m_yScale, m_channel.m_yOffset);
    ResetLastGridX();
}

std::vector<G2dGrid::HLine> G2dGrid::HorizontalLines() const {
    std::vector<HLine> lines;
    const G2dChannel& ch = m_channel;
    if (!UsableScale(ch.m_yScale) || !UsableScale(ch.m_pixelsPerMm)) return lines;
    const double step = 2 * m_yUnitsPerMm; // 2 mm in y units
    const double top = ch.m_height / ch.m_yScale - ch.m_yOffset;
    const double bottom = -ch.m_yOffset;
    long long first = 0, last = 0;
    if (!Multiples(bottom, top, step, 20LL * ch.m_height + 10, &first, &last)) return lines;
    for (long long k = first; k <= last; ++k) {
        const int row = ch.RowOf(static_cast<double>(k) * step);
        if (row < 0 || row >= ch.m_height) continue;
        const bool zero = k == 0;
        const bool thick = k % 5 == 0;
        lines.push_back({row, zero ? 2 * m_thick : thick ? m_thick : m_thin, zero, thick});
    }
    return lines;
}

std::vector<G2dGrid::YLabel> G2dGrid::YLabels() const {
    std::vector<YLabel> labels;
    const G2dChannel& ch = m_channel;
    const double margin = 6 * ch.m_pixelsPerMm;
    const double step = 2 * m_yUnitsPerMm;
    for (const HLine& line : HorizontalLines()) {
        if (!line.thick || line.row < margin || ch.m_height - line.row < margin) continue;
        // The line's own value: its multiple of 2 mm, found back from its row.
        const double k = std::round(((ch.m_height - line.row) / ch.m_yScale - ch.m_yOffset) / step);
        labels.push_back({line.row, k * step});
    }
    return labels;
}

std::vector<G2dGrid::XLabel> G2dGrid::XLabels() const {
    std::vector<XLabel> labels;
    const G2dChannel& ch = m_channel;
    if (!UsableScale(ch.m_xScale) || !UsableScale(ch.m_pixelsPerMm)) return labels;
    const double step = 20 * m_xUnitsPerMm; // 20 mm in x units
    double from = 0, to = 0;
    ch.VisibleRange(&from, &to);
    long long first = 0, last = 0;
    if (!Multiples(from, to, step, 2LL * ch.m_width + 10, &first, &last)) return labels;
    const double margin = 10 * ch.m_pixelsPerMm;
    const int wrap = ch.WrapColumn();
    for (long long j = first; j <= last; ++j) {
        const double value = static_cast<double>(j) * step;
        const int column = ch.CurveColumn(value);
        if (column < margin || ch.m_width - column < margin) continue;
        XLabel l{value, column, 0, ch.m_width};
        if (ch.m_mode != g2d::kPage) {
            if (column <= wrap)
                l.clipRight = wrap;
            else
                l.clipLeft = wrap + ch.m_gap;
        }
        labels.push_back(l);
    }
    return labels;
}

std::vector<G2dGrid::VLine> G2dGrid::VerticalLines(double from, double to) const {
    std::vector<VLine> lines;
    const G2dChannel& ch = m_channel;
    if (!UsableScale(ch.m_xScale)) return lines;
    const double step = 2 * m_xUnitsPerMm;
    long long first = 0, last = 0;
    if (!Multiples(from, to, step, 20LL * ch.m_width + 10, &first, &last)) return lines;
    for (long long j = first; j <= last; ++j)
        lines.push_back({ch.CurveColumn(static_cast<double>(j) * step), j % 5 == 0 ? m_thick : m_thin});
    return lines;
}

void G2dGrid::DrawVerticalLines(double from, double to, const G2dRect& clip) {
    for (const VLine& line : VerticalLines(from, to)) {
        const G2dRect band =
            g2d::VerticalBand(line.column, line.width, 0, m_channel.m_height).Intersected(clip);
        if (!band.IsEmpty()) m_gridLayer->FillRect(band, gridColour);
    }
}

void G2dGrid::UpdateVerticalLines() {
    G2dChannel& ch = m_channel;
    const double cx = ch.m_currentX;
    if (cx == m_lastGridX || !m_gridLayer) return;
    const int w = ch.m_width;
    const int h = ch.m_height;
    const G2dRect all{0, 0, w, h};
    const double xs = ch.m_xScale;
    const double pixel = 1.0 / xs;
    const double reach = (m_thick + 2) * pixel; // a line this far outside a band can still touch it

    if (ch.m_mode == g2d::kScroll) {
        const double gapUnits = ch.m_gap * pixel;
        const double lagged = std::max(m_lastGridX, cx - ch.m_span);
        const int shift = Trunc(cx * xs + 0.5) - Trunc(lagged * xs + 0.5);
        if (cx < m_lastGridX || shift >= w) {
            m_gridLayer->FillRect(all, background);
            DrawVerticalLines(cx + gapUnits - ch.m_span - reach, cx + gapUnits + reach, all);
            ch.MarkAll();
        } else if (shift > 0) {
            ch.MarkAll();
            m_gridLayer->ScrollLeft(shift);
            const G2dRect strip{w - shift, 0, w, h};
            m_gridLayer->FillRect(strip, background);
            DrawVerticalLines(cx + gapUnits - (shift + 1) * pixel - reach, cx + gapUnits + reach, strip);
        }
    } else {
        const int page = ch.PageOf(cx);
        const double pageStart = page * ch.m_span;
        const bool newPage = ch.PageOf(m_lastGridX) != page;
        if (ch.m_mode == g2d::kPage ? newPage : (cx < m_lastGridX || cx - m_lastGridX > ch.m_span)) {
            m_gridLayer->FillRect(all, background);
            // From 2 mm after the page start to the page end.
            const double step = 2 * m_xUnitsPerMm;
            const double firstLine = (std::floor(pageStart / step + kStepEps) + 1) * step;
            DrawVerticalLines(firstLine, pageStart + ch.m_span, all);
            ch.MarkAll();
        } else if (ch.m_mode == g2d::kSweep) {
            // Refill the band the sweep has passed since the last frame and draw its lines again.
            const int a = ch.CurveColumn(m_lastGridX) + 1;
            int b = ch.CurveColumn(cx) + 1;
            if (b < a) b += w;
            std::vector<G2dRect> bands;
            if (b - a >= w) {
                bands.push_back(all);
            } else {
                bands.push_back({a, 0, std::min(b, w), h});
                if (b > w) bands.push_back({0, 0, b - w, h});
            }
            for (const G2dRect& band : bands) {
                if (band.IsEmpty()) continue;
                m_gridLayer->FillRect(band, background);
                DrawVerticalLines(m_lastGridX - reach, cx + reach, band);
                ch.MarkColumns(band.left, band.right);
            }
        }
    }
    m_lastGridX = cx;
}

void G2dGrid::NumberOps(G2dLayer& layer, int left, int top, double value, const G2dFont& font, G2dRgb colour,
                        const G2dRect& clip, bool rightAligned, G2dFrameOps& ops) const {
    const g2d::NumberText n = g2d::FormatNumber(value, m_channel.m_graph.DecimalSeparator());
    if (n.mantissa.IsEmpty()) return;
    const G2dSize m = layer.TextSize(n.mantissa, font);
    const G2dSize e = n.exponent.IsEmpty() ? G2dSize{} : layer.TextSize(n.exponent, font);
    if (rightAligned) left -= m.width + e.width;
    ops.push_back(G2dFrameOp::MakeText({left, top, left + m.width, top + m.height}, n.mantissa, font, colour,
                                       clip, false));
    // The exponent as a superscript, raised by half the text height.
    if (!n.exponent.IsEmpty()) {
        const int l = left + m.width, t = top - m.height / 2;
        ops.push_back(
            G2dFrameOp::MakeText({l, t, l + e.width, t + e.height}, n.exponent, font, colour, clip, false));
    }
}

void G2dGrid::DrawScaleBar(G2dLayer& layer) {
    const G2dChannel& ch = m_channel;
    const double mm = ch.m_pixelsPerMm;
    const int h = ch.m_height;
    const int t = m_thin;
    const G2dRect all{0, 0, ch.m_width, h};
    const int x0 = g2d::Round(20 * mm);
    const int y0 = h - g2d::Round(15 * mm);
    const int length = g2d::Round(20 * mm);
    const int headLength = std::max(1, g2d::Round(2 * mm));
    const int headHalf = std::max(1, g2d::Round(1.5 * mm));
    const int tipX = x0 + length;
    const int tipY = y0 - length;
    // The x arrow to the right, the y arrow upwards, both from the corner.
    layer.FillRect(g2d::HorizontalBand(y0, t, g2d::BandStart(x0, t), tipX - headLength + 1).Intersected(all),
                   kBlack);
    const G2dPixel xHead[] = {
        {tipX, y0}, {tipX - headLength, y0 - headHalf}, {tipX - headLength, y0 + headHalf}};
    layer.FillPolygon(xHead, 3, kBlack);
    layer.FillRect(g2d::VerticalBand(x0, t, tipY + headLength, y0 + t - t / 2).Intersected(all), kBlack);
    const G2dPixel yHead[] = {
        {x0, tipY}, {x0 - headHalf, tipY + headLength}, {x0 + headHalf, tipY + headLength}};
    layer.FillPolygon(yHead, 3, kBlack);
    // The x caption ends at the tip, 2 mm below the arrow; the y caption reads upwards left of the
    // y arrow and ends at its tip.
    const int away = g2d::Round(2 * mm);
    const G2dSize xs = layer.TextSize(ch.m_xCaption, kLabelFont);
    layer.Text(tipX - xs.width, y0 + away, ch.m_xCaption, kLabelFont, kBlack, all, false);
    const G2dSize ys = layer.TextSize(ch.m_yCaption, kLabelFont);
    layer.Text(x0 - away - ys.height, tipY, ch.m_yCaption, kLabelFont, kBlack, all, true);
}

bool G2dGrid::FixedLabelOp(G2dLayer& layer, const G2dText& t, const G2dRect& area, G2dFrameOp* op) const {
    const G2dFont font{t.fontSize, t.fontStyle};
    const G2dSize size = layer.TextSize(t.text, font);
    const double mm = m_channel.m_pixelsPerMm;
    const int px = g2d::Round(t.x * mm);
    const int py = g2d::Round(t.y * mm);
    int left = area.left + px;
    if (!(t.flags & g2d::kNoAlignX)) {
        if (t.flags & g2d::kCentreX)
            left = area.left + (area.Width() - size.width) / 2 + px;
        else if (t.flags & g2d::kRightX)
            left = area.right - px - size.width;
    }
    int top = area.top + py;
    if (!(t.flags & g2d::kNoAlignY)) {
        if (t.flags & g2d::kCentreY)
            top = area.top + (area.Height() - size.height) / 2 + py;
        else if (t.flags & g2d::kBottomY)
            top = area.bottom - py - size.height;
    }
    const G2dRect box{left, top, left + size.width, top + size.height};
    if (!box.Intersects(area)) return false;
    *op = G2dFrameOp::MakeText(box, t.text, font, t.colour, area, false);
    return true;
}

void G2dGrid::DrawOverlay() {
    if (!m_overlay) return;
    const G2dChannel& ch = m_channel;
    G2dLayer& layer = *m_overlay;
    const int w = ch.m_width;
    const int h = ch.m_height;
    const G2dRect all{0, 0, w, h};
    layer.ClearRect(all, ch.m_transparent);
    if (!ch.Drawable()) return;

    // Horizontal lines every 2 mm, the zero line last so that nothing covers it.
    const std::vector<HLine> lines = HorizontalLines();
    for (const HLine& l : lines)
        if (!l.zero) layer.FillRect(g2d::HorizontalBand(l.row, l.width, 0, w).Intersected(all), gridColour);
    for (const HLine& l : lines)
        if (l.zero)
            layer.FillRect(g2d::HorizontalBand(l.row, l.width, 0, w).Intersected(all), zeroLineColour);

    // y labels every 10 mm, away from the top and bottom edges.
    const int away = g2d::Round(3 * ch.m_pixelsPerMm);
    const int textHeight = layer.TextSize(MString(u"0"), kLabelFont).height;
    G2dFrameOps texts;
    for (const YLabel& l : YLabels()) {
        const int top = l.row - textHeight / 2;
        if (m_yLabelsLeft) NumberOps(layer, away, top, l.value, kLabelFont, kBlack, all, false, texts);
        if (m_yLabelsRight) NumberOps(layer, w - away, top, l.value, kLabelFont, kBlack, all, true, texts);
    }
    for (const G2dFrameOp& op : texts) op.Draw(layer, all);

    if (ch.m_scaleBar && h > 40 * ch.m_pixelsPerMm) DrawScaleBar(layer);

    // The name sits in the corner of the scale bar; a channel too small to hold it wholly goes without.
    if (!ch.m_name.IsEmpty()) {
        const G2dSize size = layer.TextSize(ch.m_name, kLabelFont);
        const int left = g2d::Round(20 * ch.m_pixelsPerMm) + size.height;
        const int top = h - g2d::Round(15 * ch.m_pixelsPerMm) - 2 * size.height;
        const G2dRect box{left, top, left + size.width, top + size.height};
        if (box.Intersected(all) == box) layer.Text(left, top, ch.m_name, kLabelFont, kBlack, all, false);
    }

    for (const auto& t : m_texts) {
        G2dFrameOp op;
        if (t->kind == g2d::kChannelLabel && FixedLabelOp(layer, *t, all, &op)) op.Draw(layer, all);
    }
}

void G2dGrid::XLabelOps(G2dLayer& frame, G2dPixel origin, G2dFrameOps& ops) const {
    if (!m_xLabelsTop && !m_xLabelsBottom) return;
    const G2dChannel& ch = m_channel;
    const int away = g2d::Round(3 * ch.m_pixelsPerMm);
    for (const XLabel& l : XLabels()) {
        const G2dRect clip{origin.x + l.clipLeft, origin.y, origin.x + l.clipRight, origin.y + ch.m_height};
        if (clip.IsEmpty()) continue;
        if (xLabelsAsTime) {
            const MString text = MString::FormatDuration(l.value);
            if (text.IsEmpty()) continue;
            const G2dSize size = frame.TextSize(text, kLabelFont);
            const int left = origin.x + l.column - size.width / 2;
            auto at = [&](int top) {
                ops.push_back(G2dFrameOp::MakeText({left, top, left + size.width, top + size.height}, text,
                                                   kLabelFont, kBlack, clip, false));
            };
            if (m_xLabelsTop) at(origin.y + away);
            if (m_xLabelsBottom) at(origin.y + ch.m_height - away - size.height);
        } else {
            const g2d::NumberText n = g2d::FormatNumber(l.value, ch.m_graph.DecimalSeparator());
            const G2dSize m = frame.TextSize(n.mantissa, kLabelFont);
            const int width =
                m.width + (n.exponent.IsEmpty() ? 0 : frame.TextSize(n.exponent, kLabelFont).width);
            const int left = origin.x + l.column - width / 2;
            if (m_xLabelsTop)
                NumberOps(frame, left, origin.y + away, l.value, kLabelFont, kBlack, clip, false, ops);
            if (m_xLabelsBottom)
                NumberOps(frame, left, origin.y + ch.m_height - away - m.height, l.value, kLabelFont, kBlack,
                          clip, false, ops);
        }
    }
}

void G2dGrid::DataLabelOps(G2dLayer& frame, G2dPixel origin, G2dFrameOps& ops) {
    const G2dChannel& ch = m_channel;
    const G2dRect channel{origin.x, origin.y, origin.x + ch.m_width, origin.y + ch.m_height};
    auto op = [&](const G2dText& t) {
        int column = 0;
        if (!ch.DataLabelColumn(t.x, &column)) return false;
        const G2dFont font{t.fontSize, t.fontStyle};
        const G2dSize size = frame.TextSize(t.text, font);
        const int row = ch.RowOf(t.y);
        int left = column;
        if (!(t.flags & g2d::kNoAlignX)) {
            if (t.flags & g2d::kCentreX)
                left = column - size.width / 2;
            else if (t.flags & g2d::kRightX)
                left = column - size.width;
        }
        int top = row;
        if (!(t.flags & g2d::kNoAlignY)) {
            if (t.flags & g2d::kCentreY)
                top = row - size.height / 2;
            else if (t.flags & g2d::kBottomY)
                top = row - size.height;
        }
        const G2dRect box =
            G2dRect{left, top, left + size.width, top + size.height}.Translated(origin.x, origin.y);
        if (!box.Intersects(channel)) return false;
        ops.push_back(G2dFrameOp::MakeText(box, t.text, font, t.colour, channel, false));
        return true;
    };
    // Data labels that are not shown have scrolled out of view for good.
    std::erase_if(m_texts,
                  [&](const std::unique_ptr<G2dText>& t) { return t->kind == g2d::kDataLabel && !op(*t); });
}

void G2dGrid::FrameLabelOps(G2dLayer& frame, G2dFrameOps& ops) const {
    const G2dRect whole{0, 0, frame.Width(), frame.Height()};
    for (const auto& t : m_texts) {
        G2dFrameOp op;
        if (t->kind == g2d::kFrameLabel && FixedLabelOp(frame, *t, whole, &op)) ops.push_back(op);
    }
}
