#pragma once
// The plot of the pulse-wave index view: the channel "Пульсовая волна" in red with the five markers
// B1 ... B5 standing on the curve, laid out with the spans of a PulseIndexViewModel and drawn from
// its wave. The view draws it on the screen; the printed report makes one of its own on the page.
// Uses only the plot library's core, so any canvas will do.
//
// Main thread (the thread that renders the graph).

#include "viewing/plot/G2dGraph.h"

class PulseIndexViewModel;

class PulseWavePlot {
public:
    static constexpr G2dRgb kWaveColour{255, 0, 0};
    static constexpr float kWaveWidth = 0.5f; // mm
    // Marker colours, B1 ... B5.
    static constexpr G2dRgb kMarkerColours[5] = {
        {0, 0, 255}, {0, 128, 0}, {128, 0, 128}, {200, 100, 0}, {0, 120, 140}};

    PulseWavePlot();
    PulseWavePlot(const PulseWavePlot&) = delete;
    PulseWavePlot& operator=(const PulseWavePlot&) = delete;

    G2dGraph& Graph() { return m_graph; }
    G2dChannel& Channel() { return *m_channel; }
    G2dMarker& Marker(int k) { return *m_markers[k]; }

    // Lays the plot out over `rect` of `canvas` with the model's spans (y = -0.1 on the bottom edge).
    void Layout(G2dCanvas* canvas, int resolution, const G2dRect& rect, const PulseIndexViewModel& model);
    // Draws the model's wave and markers afresh.
    void Draw(const PulseIndexViewModel& model);
    // Moves the markers to the model's marker times and renders (the wave stays).
    void DrawMarkers(const PulseIndexViewModel& model);
    // The record time under a pixel column of the paint box (held to the channel).
    double TimeAtPixel(int x) const;

private:
    G2dGraph m_graph;
    G2dChannel* m_channel = nullptr;
    G2dMarker* m_markers[5] = {};
};
