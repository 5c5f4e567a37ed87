#include "viewing/plot/qt/G2dQtCanvas.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPoint>
#include <QPolygon>
#include <QString>

#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstring>
#include <map>
#include <vector>

namespace {

QColor ToQColor(G2dRgb c) {
    return QColor(c.r, c.g, c.b);
}

QRect ToQRect(const G2dRect& r) {
    return QRect(r.left, r.top, r.Width(), r.Height());
}

QString ToQString(const MString& s) {
    return QString::fromUtf16(s.c_str(), static_cast<qsizetype>(s.Length()));
}

QImage::Format FormatOf(G2dLayerKind kind) {
    switch (kind) {
        case G2dLayerKind::Overlay:
            return QImage::Format_ARGB32_Premultiplied;
        case G2dLayerKind::Curve:
            return QImage::Format_ARGB32; // unpremultiplied: transparent pixels keep the key colour
        default:
            return QImage::Format_RGB32;
    }
}

// a x c / 255, rounded, for one 8-bit channel.
inline uint32_t Mul255(uint32_t a, uint32_t c) {
    const uint32_t t = a * c + 128;
    return (t + (t >> 8)) >> 8;
}

class G2dQtLayer final : public G2dLayer {
public:
    G2dQtLayer(G2dLayerKind kind, int width, int height, int resolution, bool smoothText, bool smoothLines)
        : m_kind(kind), m_image(std::max(1, width), std::max(1, height), FormatOf(kind)),
          m_resolution(resolution), m_smoothText(smoothText), m_smoothLines(smoothLines) {
        if (resolution > 0) {
            const int dpm = static_cast<int>(std::lround(resolution / 0.0254));
            m_image.setDotsPerMeterX(dpm);
            m_image.setDotsPerMeterY(dpm);
        }
        if (kind == G2dLayerKind::Frame || kind == G2dLayerKind::Opaque)
            m_image.fill(QColor(255, 255, 255));
        else
            m_image.fill(0u);
    }
    ~G2dQtLayer() override { End(); }

    G2dLayerKind Kind() const { return m_kind; }
    const QImage& Image() const {
        End();
        return m_image;
    }

    int Width() const override { return m_image.width(); }
    int Height() const override { return m_image.height(); }
    int Resolution() const override { return m_resolution; }

    void FillRect(const G2dRect& rect, G2dRgb colour) override {
        Fill(rect, qRgb(colour.r, colour.g, colour.b));
    }

    void ClearRect(const G2dRect& rect, G2dRgb key) override {
        Fill(rect, m_image.hasAlphaChannel() ? qRgba(key.r, key.g, key.b, 0) : qRgb(key.r, key.g, key.b));
    }

    void ScrollLeft(int pixels) override {
        const int w = Width();
        if (pixels <= 0 || pixels >= w) return;
        End();
        const Rows rows = Writable();
        for (int y = 0; y < Height(); ++y) {
            QRgb* line = rows(y);
            std::memmove(line, line + pixels, static_cast<size_t>(w - pixels) * sizeof(QRgb));
        }
    }

    void Polyline(const G2dPixel* points, int count, G2dRgb colour, int width, const G2dRect& clip) override {
        if (count < 2) return;
        if (!m_smoothLines) {
            // Exact pixels, straight into the buffer: a span `width` pixels across the main
            // direction at every step of each segment.
            const G2dRect c = clip.Intersected({0, 0, Width(), Height()});
            if (c.IsEmpty()) return;
            End();
            const QRgb value = qRgb(colour.r, colour.g, colour.b);
            const Rows rows = Writable();
            for (int i = 1; i < count; ++i)
                Segment(rows, points[i - 1], points[i], value, std::max(1, width), c);
            return;
        }
        QPainter& p = P();
        p.setPen(QPen(ToQColor(colour), std::max(1, width), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setClipRect(ToQRect(clip));
        m_points.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) m_points[static_cast<size_t>(i)] = QPoint(points[i].x, points[i].y);
        p.drawPolyline(m_points.data(), count);
        p.setClipping(false);
    }

    void FillPolygon(const G2dPixel* points, int count, G2dRgb colour) override {
        if (count < 3) return;
        QPainter& p = P();
        QPolygon poly;
        for (int i = 0; i < count; ++i) poly << QPoint(points[i].x, points[i].y);
        p.setPen(Qt::NoPen);
        p.setBrush(ToQColor(colour));
        p.drawPolygon(poly);
        p.setBrush(Qt::NoBrush);
    }

    void Circle(G2dPixel centre, int radius, G2dRgb fill, G2dRgb outline, int outlineWidth,
                const G2dRect& clip) override {
        if (radius <= 0 || clip.IsEmpty()) return;
        QPainter& p = P();
        p.setClipRect(ToQRect(clip));
        p.setPen(QPen(ToQColor(outline), std::max(1, outlineWidth)));
        p.setBrush(ToQColor(fill));
        p.drawEllipse(QPoint(centre.x, centre.y), radius, radius);
        p.setBrush(Qt::NoBrush);
        p.setClipping(false);
    }

    G2dSize TextSize(const MString& text, const G2dFont& font) override {
        const Font& f = FontOf(font);
        return {f.metrics.horizontalAdvance(ToQString(text)), f.metrics.height()};
    }

    void Text(int left, int top, const MString& text, const G2dFont& font, G2dRgb colour, const G2dRect& clip,
              bool upwards) override {
        if (text.IsEmpty() || clip.IsEmpty()) return;
        const Font& f = FontOf(font);
        const QString s = ToQString(text);
        QPainter& p = P();
        p.setClipRect(ToQRect(clip));
        p.setFont(f.font);
        p.setPen(ToQColor(colour));
        if (upwards) {
            p.save();
            p.translate(left, top + f.metrics.horizontalAdvance(s));
            p.rotate(-90);
            p.drawText(0, f.metrics.ascent(), s);
            p.restore();
        } else {
            p.drawText(left, top + f.metrics.ascent(), s);
        }
        p.setClipping(false);
    }

    void Draw(const G2dLayer& source, int x, int y, const G2dRect& part) override {
        const auto& src = static_cast<const G2dQtLayer&>(source);
        const QImage& img = src.Image();
        // The part of the source that lands inside this layer.
        G2dRect r = part.Intersected({0, 0, img.width(), img.height()});
        r = r.Translated(x, y).Intersected({0, 0, Width(), Height()}).Translated(-x, -y);
        if (r.IsEmpty()) return;
        End();
        const int n = r.Width();
        const QRgb* sBase = reinterpret_cast<const QRgb*>(img.constBits());
        const qsizetype sStride = img.bytesPerLine() / static_cast<qsizetype>(sizeof(QRgb));
        const Rows rows = Writable();
        for (int v = r.top; v < r.bottom; ++v) {
            const QRgb* s = sBase + v * sStride + r.left;
            QRgb* d = rows(v + y) + r.left + x;
            switch (src.Kind()) {
                case G2dLayerKind::Overlay:
                    BlendRow<true>(s, d, n);
                    break;
                case G2dLayerKind::Curve:
                    BlendRow<false>(s, d, n);
                    break;
                default:
                    std::memcpy(d, s, static_cast<size_t>(n) * sizeof(QRgb));
            }
        }
    }

    // Source over an opaque row; the transparent layers are mostly empty, so runs of 8 fully
    // transparent pixels are skipped at once, and runs of 8 opaque ones (grid lines) copied.
    template <bool premultiplied>
    static void BlendRow(const QRgb* s, QRgb* d, int n) {
        int i = 0;
#if defined(__SSE2__)
        const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xff000000u));
        for (; i + 8 <= n; i += 8) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 4));
            const __m128i any = _mm_and_si128(_mm_or_si128(a, b), alpha);
            if (_mm_movemask_epi8(_mm_cmpeq_epi32(any, _mm_setzero_si128())) == 0xffff) continue;
            const __m128i all = _mm_and_si128(_mm_and_si128(a, b), alpha);
            if (_mm_movemask_epi8(_mm_cmpeq_epi32(all, alpha)) == 0xffff) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), a);
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i + 4), b);
                continue;
            }
            for (int j = i; j < i + 8; ++j) d[j] = Over<premultiplied>(s[j], d[j]);
        }
#endif
        for (; i < n; ++i) d[i] = Over<premultiplied>(s[i], d[i]);
    }

    template <bool premultiplied>
    static QRgb Over(uint32_t p, uint32_t q) {
        const uint32_t a = p >> 24;
        if (a == 0) return q;
        if (a == 255) return p;
        const uint32_t k = 255 - a;
        auto mix = [&](int shift) {
            const uint32_t c = (p >> shift) & 255;
            return ((premultiplied ? c : Mul255(a, c)) + Mul255(k, (q >> shift) & 255)) << shift;
        };
        return 0xff000000u | mix(16) | mix(8) | mix(0);
    }

    void End() const {
        if (m_painter.isActive()) m_painter.end();
    }

private:
    struct Font {
        QFont font;
        QFontMetrics metrics;
    };

    // Row pointers of the image for one operation: the image is detached once, not per row.
    struct Rows {
        QRgb* base;
        qsizetype stride; // in pixels
        QRgb* operator()(int y) const { return base + y * stride; }
    };
    Rows Writable() {
        return {reinterpret_cast<QRgb*>(m_image.bits()),
                m_image.bytesPerLine() / static_cast<qsizetype>(sizeof(QRgb))};
    }

    void Fill(const G2dRect& rect, QRgb value) {
        const G2dRect r = rect.Intersected({0, 0, Width(), Height()});
        if (r.IsEmpty()) return;
        End();
        const Rows rows = Writable();
        for (int y = r.top; y < r.bottom; ++y) {
            QRgb* line = rows(y);
            std::fill(line + r.left, line + r.right, value);
        }
    }

    void Segment(const Rows& rows, G2dPixel a, G2dPixel b, QRgb value, int width, const G2dRect& clip) {
        const int dx = std::abs(b.x - a.x), dy = std::abs(b.y - a.y);
        const int sx = a.x < b.x ? 1 : -1, sy = a.y < b.y ? 1 : -1;
        const bool steep = dy > dx;
        const int steps = steep ? dy : dx;
        const int half = width / 2;
        int x = a.x, y = a.y;
        int err = (steep ? dy : dx) / 2;
        for (int i = 0; i <= steps; ++i) {
            if (steep) { // a horizontal span at each row
                if (y >= clip.top && y < clip.bottom) {
                    const int l = std::max(x - half, clip.left), r = std::min(x - half + width, clip.right);
                    if (l < r) std::fill(rows(y) + l, rows(y) + r, value);
                }
            } else if (x >= clip.left && x < clip.right) { // a vertical span at each column
                const int t = std::max(y - half, clip.top), e = std::min(y - half + width, clip.bottom);
                for (int v = t; v < e; ++v) rows(v)[x] = value;
            }
            if (steep) {
                y += sy;
                err -= dx;
                if (err < 0) {
                    x += sx;
                    err += dy;
                }
            } else {
                x += sx;
                err -= dy;
                if (err < 0) {
                    y += sy;
                    err += dx;
                }
            }
        }
    }

    QPainter& P() {
        if (!m_painter.isActive()) {
            m_painter.begin(&m_image);
            m_painter.setRenderHint(QPainter::Antialiasing, m_smoothLines);
            m_painter.setRenderHint(QPainter::TextAntialiasing, m_smoothText);
        }
        return m_painter;
    }

    const Font& FontOf(const G2dFont& g) {
        const int key = g.size * 16 + (g.style & 15);
        auto it = m_fonts.find(key);
        if (it == m_fonts.end()) {
            QFont f;
            f.setPointSize(std::max(1, g.size));
            f.setBold(g.style & kG2dBold);
            f.setItalic(g.style & kG2dItalic);
            f.setUnderline(g.style & kG2dUnderline);
            f.setStrikeOut(g.style & kG2dStrikeOut);
            if (!m_smoothText) f.setStyleStrategy(QFont::NoAntialias);
            it = m_fonts.emplace(key, Font{f, QFontMetrics(f, &m_image)}).first;
        }
        return it->second;
    }

    G2dLayerKind m_kind;
    QImage m_image;
    mutable QPainter m_painter;
    int m_resolution;
    bool m_smoothText;
    bool m_smoothLines;
    std::map<int, Font> m_fonts;
    std::vector<QPoint> m_points;
};

} // namespace

std::unique_ptr<G2dLayer> G2dQtCanvas::CreateLayer(G2dLayerKind kind, int width, int height, int resolution) {
    return std::make_unique<G2dQtLayer>(kind, width, height, resolution, m_smoothText, m_smoothLines);
}

void G2dQtCanvas::Present(const G2dLayer& frame, const G2dRect& target) {
    const QImage* image = ImageOf(&frame);
    if (!image || (!m_device && !m_painter)) return;
    auto draw = [&](QPainter& p) {
        if (image->width() < target.Width() && image->height() < target.Height()) {
            // A frame reduced to the pixel limit covers its target all the same.
            p.setRenderHint(QPainter::SmoothPixmapTransform, true);
            p.drawImage(ToQRect(target), *image);
        } else {
            p.drawImage(QPoint(target.left, target.top), *image);
        }
    };
    if (m_painter) {
        draw(*m_painter);
    } else {
        QPainter p(m_device);
        draw(p);
    }
}

const QImage* G2dQtCanvas::ImageOf(const G2dLayer* layer) {
    const auto* qt = dynamic_cast<const G2dQtLayer*>(layer);
    return qt ? &qt->Image() : nullptr;
}
