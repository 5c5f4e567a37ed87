#pragma once
// One label of a channel's grid (G2dGrid::AddText). Kinds and alignment flags: g2d::kDataLabel,
// kChannelLabel, kFrameLabel and g2d::kNoAlignX ... kBottomY in G2dTypes.h.
//
// Main thread (the thread that renders the graph). A changed fixed label (kind 1) shows after
// G2dGraph::InvalidateGrid and the next Render; kinds 0 and 2 are drawn anew every frame.

#include "core/MString.h"
#include "viewing/plot/G2dTypes.h"

class G2dText {
public:
    MString text;
    double x = 0; // data units (kind 0) or millimetres (kinds 1 and 2)
    double y = 0;
    int flags = 0; // g2d::kNoAlignX ... g2d::kBottomY
    int kind = g2d::kDataLabel;
    G2dRgb colour;
    int fontSize = 8;  // points
    int fontStyle = 0; // G2dFontStyle bits
};
