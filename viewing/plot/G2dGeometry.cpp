#include "viewing/plot/G2dGeometry.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace g2d {

int Trunc(double v) {
    if (std::isnan(v)) return 0;
    if (v > 1e9) return 1'000'000'000;
    if (v < -1e9) return -1'000'000'000;
    return static_cast<int>(v);
}

int Round(double v) {
    return Trunc(v >= 0 ? v + 0.5 : v - 0.5);
}

int TruncPixels(double v) {
    return Trunc(v + 1e-6);
}

int Mod(int a, int m) {
    if (m <= 0) return 0;
    const int r = a % m;
    return r < 0 ? r + m : r;
}

bool UsableScale(double scale) {
    return std::isfinite(scale) && scale > 0;
}

double Divide(double a, double scale) {
    return UsableScale(scale) ? a / scale : 0.0;
}

double PixelsPerMm(int resolution) {
    return resolution > 0 ? resolution * kMmPerInchInverse : 0.0;
}

FrameSize FitFrame(const G2dRect& rect, int resolution) {
    FrameSize f;
    f.width = rect.Width() < 1 ? 10 : rect.Width();
    f.height = rect.Height() < 1 ? 10 : rect.Height();
    f.resolution = resolution;
    f.left = rect.left;
    f.top = rect.top;
    const double area = static_cast<double>(f.width) * f.height;
    if (area > kMaxFramePixels) {
        f.factor = std::sqrt(kMaxFramePixels / area);
        f.width = std::max(1, Trunc(f.width * f.factor));
        f.height = std::max(1, Trunc(f.height * f.factor));
        f.resolution = Trunc(resolution * f.factor);
        f.left = Trunc(rect.left * f.factor);
        f.top = Trunc(rect.top * f.factor);
    }
    return f;
}

std::vector<LayoutCell> LayoutCells(int n, int width, int height) {
    std::vector<LayoutCell> cells;
    if (n <= 0) return cells;
    int columns = n;
    for (int rows = n; rows > 0; --rows) {
        columns = n / rows;
        if (width / columns < 6 * (height / rows) || height / rows > 200) break;
    }
    int perColumn = static_cast<int>(static_cast<double>(n) / columns + 0.98);
    // With very many channels the rounding above can leave too few places; never more columns than laid out.
    if (perColumn * columns < n) perColumn = (n + columns - 1) / columns;
    const int cellWidth = width / columns;
    cells.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        LayoutCell c;
        c.column = i / perColumn;
        c.row = i % perColumn;
        c.rowsInColumn = std::min(perColumn, n - c.column * perColumn);
        const int cellHeight = height / c.rowsInColumn;
        const int left = c.column * cellWidth;
        const int top = c.row * cellHeight;
        c.rect = {left + 2, top + 2, left + cellWidth - 2, top + cellHeight - 2};
        cells.push_back(c);
    }
    return cells;
}

double YOffset(int baselineFlags, double userOffset, int height, double yScale, double previous) {
    if (!UsableScale(yScale)) return previous;
    double offset = 0;
    if (baselineFlags == kBaselineMiddle)
        offset = height * 0.5 / yScale;
    else if (baselineFlags == kBaselineTop)
        offset = height / yScale;
    return offset + userOffset;
}

int RowOf(double y, double yOffset, double yScale, int height) {
    return height - Trunc((y + yOffset) * yScale + 0.5);
}

namespace {

MString Ascii(const std::string& s, char16_t separator) {
    std::u16string out;
    out.reserve(s.size());
    for (char c : s) out += c == '.' ? separator : static_cast<char16_t>(c);
    return MString(std::move(out));
}

// "1.2300" -> "1.23", "2.000" -> "2".
void StripZeros(std::string& s) {
    if (s.find('.') == std::string::npos) return;
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
}

} // namespace

NumberText FormatNumber(double v, char16_t separator) {
    NumberText out;
    if (!std::isfinite(v)) return out;
    char buf[64];
    // Rounding noise near a whole number is hidden; values near zero keep their own digits.
    const double nearest = std::round(v);
    if (v == 0 || (nearest != 0 && std::fabs(v - nearest) < 0.001 && std::fabs(nearest) < 1e15)) {
        std::snprintf(buf, sizeof buf, "%.0f", nearest == 0 ? 0.0 : nearest);
        out.mantissa = Ascii(buf, separator);
        return out;
    }
    // Decide the notation on the value as it will be shown (9999.97 shows as 1·10^4).
    std::snprintf(buf, sizeof buf, "%.3e", v);
    const double shown = std::fabs(std::strtod(buf, nullptr));
    if (shown < 0.00001 || shown >= 10000) {
        std::string text(buf);
        const size_t e = text.find_first_of("eE");
        std::string mantissa = text.substr(0, e);
        StripZeros(mantissa);
        const int exponent = e == std::string::npos ? 0 : std::atoi(text.c_str() + e + 1);
        out.mantissa = Ascii(mantissa, separator) + MString(u"·10");
        out.exponent = MString::FromInt(exponent);
        return out;
    }
    const int decimals = std::max(0, 3 - static_cast<int>(std::floor(std::log10(shown))));
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    std::string text(buf);
    StripZeros(text);
    if (text == "-0") text = "0";
    out.mantissa = Ascii(text, separator);
    return out;
}

} // namespace g2d
