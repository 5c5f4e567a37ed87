#pragma once
// The grid of one channel: the background bitmap with the vertical lines (which move with the data
// in every display mode), the overlay with the horizontal lines, the y labels, the scale bar, the
// channel name and the fixed labels (drawn only at layout and after G2dGraph::InvalidateGrid), and
// the labels drawn on the frame at every Render: the x labels, the data labels (kind 0) and the
// frame labels (kind 2).
//
// Owned by its channel. Main thread (the thread that renders the graph); the graph calls the
// drawing members under its lock.
//
// Label lifetime. AddText returns the label for kinds 1 and 2: it lives until ClearTexts or the
// graph's end, and callers keep it to change its text, size or style. Data labels (kind 0) are
// deleted when they scroll out of view, so AddText returns no pointer for them: give their size
// and style to AddText and never hold on to them. ClearTexts deletes every label.

#include "core/MString.h"
#include "viewing/plot/G2dFrameOp.h"
#include "viewing/plot/G2dSurface.h"
#include "viewing/plot/G2dText.h"
#include "viewing/plot/G2dTypes.h"

#include <memory>
#include <vector>

class G2dChannel;

class G2dGrid {
public:
    explicit G2dGrid(G2dChannel& channel);
    ~G2dGrid();
    G2dGrid(const G2dGrid&) = delete;
    G2dGrid& operator=(const G2dGrid&) = delete;

    // A new label (see the class comment for kinds, flags and lifetime): x and y are data units for
    // kind 0 and millimetres for kinds 1 and 2. Returns the label, or null for kind 0.
    G2dText* AddText(const MString& text, int flags, G2dRgb colour, int kind, double y, double x,
                     int fontSize = 8, int fontStyle = 0);
    void ClearTexts();
    int TextCount() const { return static_cast<int>(m_texts.size()); }

    // Colours; they show after the next layout or InvalidateGrid.
    G2dRgb gridColour{210, 220, 255};
    G2dRgb zeroLineColour{200, 200, 250};
    G2dRgb background{255, 255, 255};
    // x labels as duration texts ("05,250s", "01:05"), else in the number form.
    bool xLabelsAsTime = true;

    // Set by the layout from the graph's flags and the channel's place.
    bool XLabelsTop() const { return m_xLabelsTop; }
    bool XLabelsBottom() const { return m_xLabelsBottom; }
    bool YLabelsLeft() const { return m_yLabelsLeft; }
    bool YLabelsRight() const { return m_yLabelsRight; }

    int BaselineFlags() const { return m_baselineFlags; }
    double UserOffset() const { return m_userOffset; }
    int ThinWidth() const { return m_thin; }
    int ThickWidth() const { return m_thick; }
    double XUnitsPerMm() const { return m_xUnitsPerMm; }
    double YUnitsPerMm() const { return m_yUnitsPerMm; }
    double LastGridX() const { return m_lastGridX; }

    // Positions the grid would use now, in channel pixels (for tests and callers that place their
    // own marks): the horizontal lines with their widths and colours, the y labels, and the x labels
    // with the columns they are clipped to.
    struct HLine {
        int row;
        int width;
        bool zero;
        bool thick;
    };
    std::vector<HLine> HorizontalLines() const;
    struct YLabel {
        int row;
        double value;
    };
    std::vector<YLabel> YLabels() const;
    struct XLabel {
        double value;
        int column;
        int clipLeft; // the label's pixels stay within [clipLeft, clipRight)
        int clipRight;
    };
    std::vector<XLabel> XLabels() const;
    // Columns of the vertical lines in the grid bitmap for x values in [from, to].
    struct VLine {
        int column;
        int width;
    };
    std::vector<VLine> VerticalLines(double from, double to) const;

    const G2dLayer* GridLayer() const { return m_gridLayer.get(); }
    const G2dLayer* OverlayLayer() const { return m_overlay.get(); }

private:
    friend class G2dChannel;
    friend class G2dGraph;

    void Layout(G2dCanvas& canvas, int resolution, bool xTop, bool xBottom, bool yLeft, bool yRight);
    void ResetLastGridX();
    void SetBaseline(int flags, double offset);
    void DrawOverlay();
    // Moves the vertical lines on to the channel's current x; marks the columns it changed.
    void UpdateVerticalLines();
    void DrawVerticalLines(double from, double to, const G2dRect& clip);
    // What goes on the frame at every Render, in frame pixels: the x labels, the data labels (kind
    // 0; those not shown are deleted) and the frame labels (kind 2).
    void XLabelOps(G2dLayer& frame, G2dPixel origin, G2dFrameOps& ops) const;
    void DataLabelOps(G2dLayer& frame, G2dPixel origin, G2dFrameOps& ops);
    void FrameLabelOps(G2dLayer& frame, G2dFrameOps& ops) const;
    void NumberOps(G2dLayer& layer, int left, int top, double value, const G2dFont& font, G2dRgb colour,
                   const G2dRect& clip, bool rightAligned, G2dFrameOps& ops) const;
    // A fixed label (kinds 1 and 2) in `area`; false when it lies wholly outside.
    bool FixedLabelOp(G2dLayer& layer, const G2dText& t, const G2dRect& area, G2dFrameOp* op) const;
    void DrawScaleBar(G2dLayer& layer);

    G2dChannel& m_channel;
    std::vector<std::unique_ptr<G2dText>> m_texts;
    std::unique_ptr<G2dLayer> m_gridLayer; // opaque: background and vertical lines
    std::unique_ptr<G2dLayer> m_overlay;   // transparent: horizontal lines and fixed texts
    double m_lastGridX = -2.0;
    double m_userOffset = 0;
    int m_baselineFlags = g2d::kBaselineMiddle;
    int m_thin = 1;
    int m_thick = 2;
    double m_xUnitsPerMm = 0;
    double m_yUnitsPerMm = 0;
    bool m_xLabelsTop = true;
    bool m_xLabelsBottom = true;
    bool m_yLabelsLeft = true;
    bool m_yLabelsRight = true;
};
