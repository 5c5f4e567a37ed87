#pragma once
// One thing a channel draws on the frame at every Render (a label, a marker's line or circle, the
// newest-point dot). A channel keeps the list of its last frame: what differs from it marks the
// columns that page and sweep modes compose again, so a tick redraws only the changed part.
// Internal to the plot library.

#include "core/MString.h"
#include "viewing/plot/G2dSurface.h"
#include "viewing/plot/G2dTypes.h"

#include <vector>

struct G2dFrameOp {
    enum Kind { Fill, Text, Circle };
    Kind kind = Fill;
    G2dRect rect; // Fill: the rectangle; Text: the text's box (rotated when upwards)
    G2dRect clip; // Text and Circle: nothing outside it is touched
    MString text;
    G2dFont font;
    bool upwards = false;
    G2dRgb colour; // Fill and Text; Circle: the outline
    G2dRgb fill;   // Circle
    G2dPixel centre;
    int radius = 0;
    int width = 0; // Circle: outline width

    static G2dFrameOp MakeFill(const G2dRect& r, G2dRgb c) {
        G2dFrameOp op;
        op.kind = Fill;
        op.rect = r;
        op.colour = c;
        return op;
    }
    static G2dFrameOp MakeText(const G2dRect& box, const MString& t, const G2dFont& f, G2dRgb c,
                               const G2dRect& clip, bool upwards) {
        G2dFrameOp op;
        op.kind = Text;
        op.rect = box;
        op.text = t;
        op.font = f;
        op.colour = c;
        // Only the clip near the text matters (glyphs may overhang their box a little); so a label
        // whose clip moves far from it stays the same label.
        op.clip = clip.Intersected({box.left - 2, box.top - 2, box.right + 2, box.bottom + 2});
        op.upwards = upwards;
        return op;
    }
    static G2dFrameOp MakeCircle(G2dPixel centre, int radius, G2dRgb fill, G2dRgb outline, int width,
                                 const G2dRect& clip) {
        G2dFrameOp op;
        op.kind = Circle;
        op.centre = centre;
        op.radius = radius;
        op.fill = fill;
        op.colour = outline;
        op.width = width;
        op.clip = clip;
        const int r = radius + width + 1;
        op.rect = {centre.x - r, centre.y - r, centre.x + r + 1, centre.y + r + 1};
        return op;
    }

    // The pixels it can touch.
    G2dRect Box() const { return kind == Fill ? rect : kind == Text ? clip : rect.Intersected(clip); }

    // Draws the part inside `region`.
    void Draw(G2dLayer& layer, const G2dRect& region) const {
        switch (kind) {
            case Fill: {
                const G2dRect r = rect.Intersected(region);
                if (!r.IsEmpty()) layer.FillRect(r, colour);
                break;
            }
            case Text: {
                const G2dRect c = clip.Intersected(region);
                if (!c.IsEmpty()) layer.Text(rect.left, rect.top, text, font, colour, c, upwards);
                break;
            }
            case Circle: {
                const G2dRect c = clip.Intersected(region);
                if (!c.IsEmpty()) layer.Circle(centre, radius, fill, colour, width, c);
                break;
            }
        }
    }

    friend bool operator==(const G2dFrameOp&, const G2dFrameOp&) = default;
};

using G2dFrameOps = std::vector<G2dFrameOp>;
