#pragma once
// The drawing layer under the plot library. The geometry (what goes where) lives in the G2d classes;
// a G2dCanvas makes the bitmaps a graph composes its frame in and receives the finished frame. The
// Qt renderer (qt/G2dQtCanvas.h) draws with QPainter on QImages; tests use a recording canvas.
//
// Coordinates are the layer's pixels, y downwards, rectangles right/bottom exclusive. A line of
// width w at pixel column (or row) p covers p - w / 2 ... p - w / 2 + w - 1, so the grid's
// horizontal and vertical lines are filled bands and land on exact pixels.
//
// All calls come from the thread that renders the graph, under the graph's lock.

#include "core/MString.h"
#include "viewing/plot/G2dTypes.h"

#include <memory>

enum class G2dLayerKind {
    Frame,   // opaque; the composed frame handed to the canvas
    Opaque,  // opaque; a channel's grid bitmap
    Overlay, // transparent; a channel's horizontal grid, y labels, scale bar, fixed labels
    Curve,   // transparent; a channel's curve. Its background keeps the channel's transparent colour
             // in its colour channels (alpha 0), so a reader of the bitmap sees the key colour
};

class G2dLayer {
public:
    virtual ~G2dLayer() = default;

    virtual int Width() const = 0;
    virtual int Height() const = 0;
    // Pixels per inch that font sizes are measured in.
    virtual int Resolution() const = 0;

    // Opaque fill of a rectangle (clipped to the layer).
    virtual void FillRect(const G2dRect& rect, G2dRgb colour) = 0;
    // Makes a rectangle transparent, keeping `key` in the colour channels.
    virtual void ClearRect(const G2dRect& rect, G2dRgb key) = 0;
    // Moves the whole content left by `pixels` (0 < pixels < width); the uncovered strip on the
    // right is left for the caller to fill or clear.
    virtual void ScrollLeft(int pixels) = 0;

    // Joined line through the points, `width` pixels wide, clipped to `clip`.
    virtual void Polyline(const G2dPixel* points, int count, G2dRgb colour, int width,
                          const G2dRect& clip) = 0;
    virtual void FillPolygon(const G2dPixel* points, int count, G2dRgb colour) = 0;
    // Circle of `radius` around `centre`: filled with `fill`, outlined `outlineWidth` pixels wide,
    // clipped to `clip`.
    virtual void Circle(G2dPixel centre, int radius, G2dRgb fill, G2dRgb outline, int outlineWidth,
                        const G2dRect& clip) = 0;

    // Extent of one line of text in this layer's font resolution, unrotated.
    virtual G2dSize TextSize(const MString& text, const G2dFont& font) = 0;
    // Text whose box (TextSize) has its top left at (left, top); with `upwards` the text is rotated
    // 90 degrees to read bottom to top and (left, top) is the top left of the rotated box (its
    // width is then the text height). Nothing outside `clip` is touched.
    virtual void Text(int left, int top, const MString& text, const G2dFont& font, G2dRgb colour,
                      const G2dRect& clip, bool upwards) = 0;

    // Composes the `part` of `source` (made by the same canvas) with its transparency, the source's
    // top left at (x, y): source pixel (u, v) lands on (x + u, y + v).
    virtual void Draw(const G2dLayer& source, int x, int y, const G2dRect& part) = 0;
    void Draw(const G2dLayer& source, int x, int y) {
        Draw(source, x, y, {0, 0, source.Width(), source.Height()});
    }
};

class G2dCanvas {
public:
    virtual ~G2dCanvas() = default;

    // A new layer of the given kind and size (at least 1 x 1), filled: Frame and Opaque layers
    // white, Overlay and Curve layers transparent. `resolution` is in pixels per inch.
    virtual std::unique_ptr<G2dLayer> CreateLayer(G2dLayerKind kind, int width, int height,
                                                  int resolution) = 0;
    // Copies the finished frame onto the target at `target` (the rectangle given to SetCanvas);
    // a frame that was made smaller than the target (a printer page beyond the pixel limit) is
    // stretched over it.
    virtual void Present(const G2dLayer& frame, const G2dRect& target) = 0;
};
