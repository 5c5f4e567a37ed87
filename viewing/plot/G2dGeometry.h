#pragma once
// The plot library's arithmetic that does not need a graph: safe truncation and division, frame
// sizing, the layout of channels into cells, the baseline, the number form of labels and line
// bands. Pure functions, any thread.

#include "core/MString.h"
#include "viewing/plot/G2dTypes.h"

#include <vector>

namespace g2d {

// Largest frame, in pixels; bigger targets (printer pages) get a proportionally lower resolution.
inline constexpr double kMaxFramePixels = 10'000'000.0;
// Pixels per millimetre per pixel per inch.
inline constexpr double kMmPerInchInverse = 0.039370078740157;

// Truncation toward zero that never overflows: NaN gives 0, magnitudes are held to 1e9.
int Trunc(double v);
// Nearest integer, halves away from zero, held like Trunc: millimetre positions in pixels.
int Round(double v);
// Truncation of a pixel width that forgives the representation error of the millimetre factor
// (0.3 mm at 254 pixels per inch is 3 pixels, not 2.999...).
int TruncPixels(double v);
// a modulo m in 0 ... m - 1; 0 when m <= 0.
int Mod(int a, int m);
// A scale (pixels per unit) that can be divided by: finite and positive.
bool UsableScale(double scale);
// a / scale for a usable scale, else 0.
double Divide(double a, double scale);
// Pixels per millimetre at a resolution in pixels per inch (0 for a resolution <= 0).
double PixelsPerMm(int resolution);

// The frame a target rectangle gets: each side at least 10 pixels; beyond 10 million pixels the
// sides, the resolution and the rectangle's left and top are scaled by sqrt(limit / area), truncated.
struct FrameSize {
    int width = 10;
    int height = 10;
    int resolution = 0;
    int left = 0; // the inner rectangle's left and top (scaled with the frame)
    int top = 0;
    double factor = 1.0;
};
FrameSize FitFrame(const G2dRect& rect, int resolution);

// One channel's place in the layout.
struct LayoutCell {
    G2dRect rect;   // the channel's rectangle in the frame (its cell less 2 pixels each side)
    int column = 0; // 0-based
    int row = 0;    // 0-based within its column
    int rowsInColumn = 0;
};
// Cells for n channels over a width x height frame: as many rows as keep cells no more than six
// times wider than high (or higher than 200 pixels), channels filling column 0 from the top first.
// Empty for n <= 0.
std::vector<LayoutCell> LayoutCells(int n, int width, int height);

// The y value added before scaling so that y = 0 stands where the baseline flags say, plus the
// user's offset; `previous` is kept when the y scale cannot be used.
double YOffset(int baselineFlags, double userOffset, int height, double yScale, double previous);
// Pixel row of y in a channel `height` pixels high.
int RowOf(double y, double yOffset, double yScale, int height);

// Label text of a number: a whole number when within 0.001 of one other than 0 (0 itself gives
// "0"), else 4 significant digits with the given separator; scientific (the mantissa followed by
// "·10", the exponent apart to be raised) below 0.00001 in magnitude or from 5 integer digits on.
// Non-finite values give empty texts.
struct NumberText {
    MString mantissa;
    MString exponent; // empty in fixed notation
};
NumberText FormatNumber(double v, char16_t separator);

// Pixel span [first, first + width) of a line `width` pixels wide at position p.
inline int BandStart(int p, int width) {
    return p - width / 2;
}
// Horizontal line band across [left, right) at `row`.
inline G2dRect HorizontalBand(int row, int width, int left, int right) {
    return {left, BandStart(row, width), right, BandStart(row, width) + width};
}
// Vertical line band over [top, bottom) at `column`.
inline G2dRect VerticalBand(int column, int width, int top, int bottom) {
    return {BandStart(column, width), top, BandStart(column, width) + width, bottom};
}

} // namespace g2d
