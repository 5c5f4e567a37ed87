#include "viewing/plot/qt/G2dQtCanvas.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPoint>
#include <QPolygon>
#include <QString>

#include <cmath>
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

class G2dQtLayer final : public G2dLayer {
public:
    G2dQtLayer(G2dLayerKind kind, int width, int height, int resolution, bool antialiasing)
        : m_image(std::max(1, width), std::max(1, height), FormatOf(kind)), m_resolution(resolution),
          m_antialiasing(antialiasing) {
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

    const QImage& Image() const {
        End();
        return m_image;
    }

    int Width() const override { return m_image.width(); }
    int Height() const override { return m_image.height(); }
    int Resolution() const override { return m_resolution; }

    void FillRect(const G2dRect& rect, G2dRgb colour) override {
        const G2dRect r = rect.Intersected({0, 0, Width(), Height()});
        if (r.IsEmpty()) return;
        QPainter& p = P();
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(ToQRect(r), ToQColor(colour));
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    }

    void ClearRect(const G2dRect& rect, G2dRgb key) override {
        const G2dRect r = rect.Intersected({0, 0, Width(), Height()});
        if (r.IsEmpty()) return;
        End();
        const QRgb value =
            m_image.hasAlphaChannel() ? qRgba(key.r, key.g, key.b, 0) : qRgb(key.r, key.g, key.b);
        for (int y = r.top; y < r.bottom; ++y) {
            QRgb* line = reinterpret_cast<QRgb*>(m_image.scanLine(y));
            std::fill(line + r.left, line + r.right, value);
        }
    }

    void ScrollLeft(int pixels) override {
        const int w = Width();
        if (pixels <= 0 || pixels >= w) return;
        End();
        for (int y = 0; y < Height(); ++y) {
            QRgb* line = reinterpret_cast<QRgb*>(m_image.scanLine(y));
            std::memmove(line, line + pixels, static_cast<size_t>(w - pixels) * sizeof(QRgb));
        }
    }

    void Polyline(const G2dPixel* points, int count, G2dRgb colour, int width, const G2dRect& clip) override {
        if (count < 2) return;
        QPainter& p = P();
        QPen pen(ToQColor(colour), std::max(1, width), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p.setPen(pen);
        const bool clipped =
            !(clip.left <= 0 && clip.top <= 0 && clip.right >= Width() && clip.bottom >= Height());
        if (clipped) p.setClipRect(ToQRect(clip));
        m_points.resize(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) m_points[static_cast<size_t>(i)] = QPoint(points[i].x, points[i].y);
        p.drawPolyline(m_points.data(), count);
        if (clipped) p.setClipping(false);
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

    void Circle(G2dPixel centre, int radius, G2dRgb fill, G2dRgb outline, int outlineWidth) override {
        if (radius <= 0) return;
        QPainter& p = P();
        p.setPen(QPen(ToQColor(outline), std::max(1, outlineWidth)));
        p.setBrush(ToQColor(fill));
        p.drawEllipse(QPoint(centre.x, centre.y), radius, radius);
        p.setBrush(Qt::NoBrush);
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

    void Draw(const G2dLayer& source, int x, int y) override {
        const QImage& src = static_cast<const G2dQtLayer&>(source).Image();
        P().drawImage(x, y, src);
    }

    void End() const {
        if (m_painter.isActive()) m_painter.end();
    }

private:
    struct Font {
        QFont font;
        QFontMetrics metrics;
    };

    QPainter& P() {
        if (!m_painter.isActive()) {
            m_painter.begin(&m_image);
            m_painter.setRenderHint(QPainter::Antialiasing, m_antialiasing);
            m_painter.setRenderHint(QPainter::TextAntialiasing, m_antialiasing);
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
            if (!m_antialiasing) f.setStyleStrategy(QFont::NoAntialias);
            it = m_fonts.emplace(key, Font{f, QFontMetrics(f, &m_image)}).first;
        }
        return it->second;
    }

    QImage m_image;
    mutable QPainter m_painter;
    int m_resolution;
    bool m_antialiasing;
    std::map<int, Font> m_fonts;
    std::vector<QPoint> m_points;
};

} // namespace

std::unique_ptr<G2dLayer> G2dQtCanvas::CreateLayer(G2dLayerKind kind, int width, int height, int resolution) {
    return std::make_unique<G2dQtLayer>(kind, width, height, resolution, m_antialiasing);
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
