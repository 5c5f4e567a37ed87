#pragma once
// One strip of a graph (G2dGraph::AddChannel): its cell in the frame, its physical scales, the
// stored points and the curve drawn from them in the graph's display mode, pen changes along x,
// markers and the grid with its labels.
//
// Owned by its graph; pointers stay valid as long as the graph. Main thread (the thread that
// renders the graph): callers set captions, pens and markers there; the graph runs layout,
// storing and drawing under its lock.
//
// Positions by display mode (pixel column inside the channel for a data x, cx = CurrentX):
//   page   curve trunc(x * XScale + 0.5) mod Width; pages one span long, each drawn from the left.
//   sweep  as page; the newest point's column is the sweep column, a blank gap runs ahead of it.
//   scroll trunc(x * XScale + offset - 0.5) mod Width with offset = Width - Gap - (trunc(cx * XScale
//          + 0.5) mod Width), so Gap blank columns stay right of the newest point.
// Data labels and markers stand where the curve shows their x: in scroll mode the newest point's
// column less (cx - x) x XScale rounded; in page and sweep modes (x - page start) x XScale rounded,
// the page being the one that holds cx - 0.00001 (a point on a page end belongs to the page it ends).

#include "core/MString.h"
#include "viewing/plot/G2dFrameOp.h"
#include "viewing/plot/G2dGrid.h"
#include "viewing/plot/G2dMarker.h"
#include "viewing/plot/G2dSurface.h"
#include "viewing/plot/G2dTypes.h"

#include <cstdint>
#include <memory>
#include <vector>

class G2dGraph;

class G2dChannel {
public:
    G2dChannel(G2dGraph& graph, int index, const MString& name);
    ~G2dChannel();
    G2dChannel(const G2dChannel&) = delete;
    G2dChannel& operator=(const G2dChannel&) = delete;

    int Index() const { return m_index; }
    const MString& Name() const { return m_name; }
    const MString& XCaption() const { return m_xCaption; }
    const MString& YCaption() const { return m_yCaption; }
    bool ScaleBar() const { return m_scaleBar; }
    // Name, captions and the scale bar are drawn on the overlay: they show after the next layout
    // or G2dGraph::InvalidateGrid.
    void SetName(const MString& name) { m_name = name; }
    void SetCaptions(const MString& x, const MString& y) {
        m_xCaption = x;
        m_yCaption = y;
    }
    void SetScaleBar(bool on) { m_scaleBar = on; }

    // The pen in force; AddLinePen changes it along x.
    G2dRgb CurveColour() const { return m_curveColour; }
    float CurveWidth() const { return m_curveWidth; } // millimetres
    void SetCurveColour(G2dRgb colour) { m_curveColour = colour; }
    void SetCurveWidth(float mm) { m_curveWidth = mm; }
    // Background and transparency key of the curve bitmap.
    G2dRgb TransparentColour() const { return m_transparent; }

    // From x on, draw the curve `widthMm` wide (<= 0: the current width) in `colour`. A positive
    // width with x <= 0 becomes the current pen at once. Nothing is added when the last pen is the
    // same. Points before the first pen keep the pen that was current when it was added. Pens are
    // looked up at most once per 10 pixels of x while drawing.
    void AddLinePen(double widthMm, G2dRgb colour, double x);
    const std::vector<G2dLinePen>& Pens() const { return m_pens; }

    // A new marker with the defaults of G2dMarker, owned by the channel.
    G2dMarker* AddMarker();
    int MarkerCount() const { return static_cast<int>(m_markers.size()); }
    G2dMarker* Marker(int i) {
        return i >= 0 && i < MarkerCount() ? m_markers[static_cast<size_t>(i)].get() : nullptr;
    }
    // Computes the marker's data x, pixel column and value as Render does.
    void UpdateMarker(G2dMarker& marker) const;

    G2dGrid& Grid() { return m_grid; }
    const G2dGrid& Grid() const { return m_grid; }

    // Geometry of the last layout.
    const G2dRect& Rect() const { return m_rect; } // in the frame
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    double PixelsPerMm() const { return m_pixelsPerMm; }
    double XScale() const { return m_xScale; } // pixels per x unit
    double YScale() const { return m_yScale; } // pixels per y unit
    // Width / XScale, 1.0 when the scale cannot be used.
    double Span() const { return m_span; }
    double YOffset() const { return m_yOffset; }
    int Mode() const { return m_mode; }
    int Gap() const { return m_gap; } // pixels
    // Both scales usable: only then is anything drawn.
    bool Drawable() const;

    // x of the newest point.
    double CurrentX() const { return m_currentX; }
    // The x at the left edge in scroll mode: CurrentX - Width / XScale (CurrentX when the scale is
    // not positive).
    double LeftEdge() const;
    // mm x pixels per millimetre, at least 1.
    double MmToPixels(double mm) const;

    const std::vector<G2dPoint>& Points() const { return m_points; }
    int DrawnIndex() const { return m_drawnIndex; }
    // The curve's value at x, interpolated linearly between the stored points around it (a point's
    // own y when both have the same x). False when x lies outside the stored points.
    bool ValueAt(double x, double* y) const;

    // Positions in channel pixels for the current mode and CurrentX.
    int CurveColumn(double x) const;
    int RowOf(double y) const;
    // Column of a data label at x (kind 0), which may lie outside the channel; false for a label
    // of the previous page that the sweep has already overwritten.
    bool DataLabelColumn(double x, int* column) const;
    // The data x shown at pixel column `pixel` (an anchored marker's data x).
    double DataXAtPixel(int pixel) const;
    // Column of the newest point in sweep mode.
    int SweepColumn() const { return CurveColumn(m_currentX); }
    // Column of the left-edge value, where the display wraps.
    int WrapColumn() const;
    // x range shown: [from, to].
    void VisibleRange(double* from, double* to) const;

    const G2dLayer* CurveLayer() const { return m_curve.get(); }

private:
    friend class G2dGraph;
    friend class G2dGrid;

    void Layout(const G2dRect& rect, int resolution, double xmm, double ymm, G2dCanvas& canvas,
                G2dLayer* frame, bool xTop, bool xBottom, bool yLeft, bool yRight);
    void Clear();
    void SetMode(int mode, double gapMm);
    // Draw the stored points afresh at the next Render (after a mode or baseline change).
    void Redraw();
    void AddPoints(const double* xs, int n, const double* ys);
    void DrawCurve();
    // Brings the channel's part of the frame up to date: all of it when `full`, in scroll mode or
    // after a layout or clear, otherwise only the columns that changed since the last frame.
    // Appends the frame rectangles it composed.
    void Compose(G2dLayer& frame, bool full, std::vector<G2dRect>* composed);
    void DotOps(G2dFrameOps& ops) const;
    void MarkerOps(G2dMarker& m, G2dFrameOps& ops) const;
    // Columns [from, to) of the channel changed on a layer since the last frame.
    void MarkColumns(int from, int to);
    void MarkAll() { m_allDirty = true; }
    int PenPixels(double widthMm) const;
    int PageOf(double x) const;
    double LabelPageStart() const;

    class PathBuilder;
    bool ApplyPens(const G2dPoint& p, PathBuilder& path);

    G2dGraph& m_graph;
    int m_index;
    MString m_name;
    MString m_xCaption{u"X[unknown]"};
    MString m_yCaption{u"Y[unknown]"};
    bool m_scaleBar = true;

    std::unique_ptr<G2dLayer> m_curve; // transparent, holds the drawn curve
    G2dLayer* m_frame = nullptr;       // the graph's frame; null until laid out
    G2dRect m_rect;
    int m_width = 0;
    int m_height = 0;
    std::vector<std::unique_ptr<G2dMarker>> m_markers;
    G2dRgb m_transparent{254, 254, 254};
    G2dRgb m_curveColour{0, 0, 255};
    float m_curveWidth = 0.3f;
    bool m_restart = true;
    std::vector<G2dPoint> m_points;
    std::vector<G2dLinePen> m_pens;
    G2dLinePen m_basePen; // in force before the first pen in the list
    int m_mode = g2d::kPage;
    int m_gap = 0;
    double m_xScale = 0;
    double m_yScale = 0;
    double m_pixelsPerMm = 0;
    double m_span = 1.0;
    double m_yOffset = 0;
    double m_currentX = 0;

    // Drawing progress between Renders.
    double m_lastDrawnX = 0;
    int m_drawnIndex = 0;
    bool m_drawnValid = false; // the point at the drawn index is on the bitmap (page and scroll modes)
    bool m_fullRedraw = true;  // clear the bitmap and draw every stored point at the next Render
    G2dPixel m_lastPixel;
    bool m_havePixel = false;
    double m_lastPenCheckX = -100.0;

    // Composition of the last frame: what was drawn over the layers, whether the frame holds it,
    // and the columns changed since.
    G2dFrameOps m_underOps; // labels, below the curve
    G2dFrameOps m_overOps;  // the dot and the markers
    bool m_composed = false;
    bool m_allDirty = false;
    std::vector<uint8_t> m_dirtyColumns;

    G2dGrid m_grid;
};
