#pragma once
// A vertical marker line across a channel (G2dChannel::AddMarker), with an optional value tick
// where it crosses the curve and a label written upwards beside it.
//
// The caller sets the fields; Render computes DataX, ValueY and PixelX. Main thread (the thread
// that renders the graph). Owned by its channel and valid as long as the graph.

#include "core/MString.h"
#include "viewing/plot/G2dTypes.h"

class G2dMarker {
public:
    // A data x, or with `anchored` a pixel column in the channel: the marker then stays at that
    // column while the data move under it, and DataX tells which x is there.
    double x = 0;
    MString label;
    G2dRgb colour{0, 0, 0};
    int fontSize = 0; // points; 0 = 2 x width + 8
    bool anchored = false;
    bool visible = true;
    bool showValue = true;
    float width = 0.5f; // millimetres

    // Results of the last Render (or G2dChannel::UpdateMarker).
    double DataX() const { return m_dataX; }
    // The curve's value at DataX, interpolated between the stored points around it; HasValue is
    // false when DataX lies outside the stored points (nor is a tick drawn then).
    double ValueY() const { return m_valueY; }
    bool HasValue() const { return m_hasValue; }
    // Pixel column in the channel.
    int PixelX() const { return m_pixelX; }

private:
    friend class G2dChannel;
    double m_dataX = 0;
    double m_valueY = 0;
    bool m_hasValue = false;
    int m_pixelX = 0;
};
