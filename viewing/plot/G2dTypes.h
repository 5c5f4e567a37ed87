#pragma once
// Plain value types of the plot library: colours, pixel rectangles, fonts, stored curve points,
// pen changes and queued playback points, and the named flag values callers pass.

#include <algorithm>
#include <cstdint>

// A 24-bit RGB colour.
struct G2dRgb {
    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;

    constexpr G2dRgb() = default;
    constexpr G2dRgb(int red, int green, int blue)
        : r(static_cast<uint8_t>(red)), g(static_cast<uint8_t>(green)), b(static_cast<uint8_t>(blue)) {}
    friend constexpr bool operator==(G2dRgb a, G2dRgb b) = default;
};

// Pixel rectangle, right and bottom exclusive, y growing downwards.
struct G2dRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    constexpr int Width() const { return right - left; }
    constexpr int Height() const { return bottom - top; }
    constexpr bool IsEmpty() const { return right <= left || bottom <= top; }
    constexpr bool Contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
    constexpr G2dRect Intersected(const G2dRect& o) const {
        return {std::max(left, o.left), std::max(top, o.top), std::min(right, o.right),
                std::min(bottom, o.bottom)};
    }
    constexpr bool Intersects(const G2dRect& o) const { return !Intersected(o).IsEmpty(); }
    constexpr G2dRect Translated(int dx, int dy) const {
        return {left + dx, top + dy, right + dx, bottom + dy};
    }
    friend constexpr bool operator==(const G2dRect&, const G2dRect&) = default;
};

struct G2dPixel {
    int x = 0;
    int y = 0;
    friend constexpr bool operator==(G2dPixel, G2dPixel) = default;
};

struct G2dSize {
    int width = 0;
    int height = 0;
};

// Font style bits of labels.
enum G2dFontStyle : int { kG2dBold = 1, kG2dItalic = 2, kG2dUnderline = 4, kG2dStrikeOut = 8 };

// Size in points (the layer's resolution turns it into pixels) and a set of G2dFontStyle bits.
struct G2dFont {
    int size = 8;
    int style = 0;
    friend constexpr bool operator==(const G2dFont&, const G2dFont&) = default;
};

// One stored curve point; restart means the line is not joined to the previous point.
struct G2dPoint {
    double x = 0;
    double y = 0;
    bool restart = false;
};

// From x on, the curve is drawn with this width (millimetres) and colour.
struct G2dLinePen {
    double width = 0;
    G2dRgb colour;
    double x = 0;
};

// One point waiting in a playback queue.
struct G2dBufPoint {
    double x = 0;
    double y = 0;
};

namespace g2d {

// Display modes (G2dGraph::SetMode).
inline constexpr int kPage = 0;   // pages one span long, each drawn from the left
inline constexpr int kScroll = 1; // the newest point stands gap pixels from the right edge
inline constexpr int kSweep = 2;  // pages overwritten from the left, a blank gap runs ahead

// Baseline flags (G2dGraph::SetBaseline); any other value puts y = 0 on the bottom edge.
inline constexpr int kBaselineTop = 8;     // y = 0 on the top edge
inline constexpr int kBaselineMiddle = 16; // y = 0 in the middle

// Label kinds (G2dGrid::AddText).
inline constexpr int kDataLabel = 0;    // at (x, y) in data units, moves with the data
inline constexpr int kChannelLabel = 1; // x, y millimetres from the channel's top left, on the overlay
inline constexpr int kFrameLabel = 2;   // x, y millimetres from the frame's top left, every frame

// Label alignment flags (G2dGrid::AddText).
inline constexpr int kNoAlignX = 1; // x is the left end; 2 and 4 are ignored
inline constexpr int kCentreX = 2;  // centred (fixed labels: x is an offset from the centre)
inline constexpr int kRightX = 4;   // right end at x (fixed labels: x from the right edge)
inline constexpr int kNoAlignY = 8; // y is the top; 16 and 32 are ignored
inline constexpr int kCentreY = 16; // centred vertically
inline constexpr int kBottomY = 32; // bottom at y (fixed labels: y from the bottom edge)

} // namespace g2d
