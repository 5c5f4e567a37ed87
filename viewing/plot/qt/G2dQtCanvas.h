#pragma once
// The plot library's QtGui renderer: layers are QImages that carry the graph's resolution
// (dotsPerMeterX/Y), so point sizes and millimetres agree on screens, PNG files and printers;
// transparent layers use real alpha. Text needs a QGuiApplication (fonts); no widgets are used.
//
// Three ways to take the frame:
//   G2dQtCanvas canvas(&image);     // Present paints the frame onto a QImage or QPixmap
//   G2dQtCanvas canvas(&painter);   // ... with the caller's active painter: a report page, or a
//                                   // printer page (a painter opened on a QPrinter per Render
//                                   // would start a print job each time)
//   G2dQtCanvas canvas;             // no target: a widget paints G2dQtCanvas::ImageOf(graph.Frame())
//                                   // in its paintEvent
// The canvas and its target must outlive their use by the graph. The canvas is used under the
// graph's lock on the thread that renders; one canvas may serve several graphs on that thread.

#include "viewing/plot/G2dSurface.h"

#include <QImage>

class QPaintDevice;
class QPainter;

class G2dQtCanvas final : public G2dCanvas {
public:
    G2dQtCanvas() = default;
    explicit G2dQtCanvas(QPaintDevice* target) : m_device(target) {}
    explicit G2dQtCanvas(QPainter* painter) : m_painter(painter) {}

    // Smooth (antialiased) text: on by default. Smooth curves and circles: off by default, so that
    // lines land on exact pixels and a live frame stays cheap; a printed page may want them on.
    // SetAntialiasing sets both (off for pixel tests). They apply to layers made afterwards (at the
    // next layout).
    void SetSmoothText(bool on) { m_smoothText = on; }
    void SetSmoothLines(bool on) { m_smoothLines = on; }
    void SetAntialiasing(bool on) { m_smoothText = m_smoothLines = on; }
    bool SmoothText() const { return m_smoothText; }
    bool SmoothLines() const { return m_smoothLines; }

    std::unique_ptr<G2dLayer> CreateLayer(G2dLayerKind kind, int width, int height, int resolution) override;
    void Present(const G2dLayer& frame, const G2dRect& target) override;

    // The image of a layer made by a G2dQtCanvas (null for none or another kind of layer). The
    // image is valid until the graph lays out again; read it under the graph's lock while another
    // thread may render.
    static const QImage* ImageOf(const G2dLayer* layer);

private:
    QPaintDevice* m_device = nullptr;
    QPainter* m_painter = nullptr;
    bool m_smoothText = true;
    bool m_smoothLines = false;
};
