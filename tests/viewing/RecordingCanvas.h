#pragma once
// A canvas without pixels for the plot's geometry tests: every layer keeps the list of what was
// drawn on it, and text extents follow a fixed rule (0.6 em per character, 1.25 em high).

#include "viewing/plot/G2dGraph.h"
#include "viewing/plot/G2dSurface.h"

#include <memory>
#include <vector>

namespace plottest {

struct Op {
    enum Kind { Fill, Clear, Scroll, Polyline, Polygon, Circle, Text, Draw };
    Op() = default;
    explicit Op(Kind k) : kind(k) {}
    Kind kind = Fill;
    G2dRect rect;                     // Fill, Clear, Text (the text's box), clip of Polyline
    G2dRgb colour;                    // Fill, Polyline, Polygon, Text; Circle's outline
    G2dRgb fill;                      // Circle
    int width = 0;                    // Polyline, Circle outline; Scroll: pixels
    std::vector<G2dPixel> points;     // Polyline, Polygon; Circle: the centre
    int radius = 0;                   // Circle
    MString text;                     // Text
    G2dFont font;                     // Text
    bool upwards = false;             // Text
    G2dRect clip;                     // Text
    const G2dLayer* source = nullptr; // Draw (rect: where the part lands)
};

class RecordingLayer final : public G2dLayer {
public:
    RecordingLayer(G2dLayerKind kind, int width, int height, int resolution)
        : kind(kind), m_width(width), m_height(height), m_resolution(resolution) {}

    G2dLayerKind kind;
    mutable std::vector<Op> ops;

    int Width() const override { return m_width; }
    int Height() const override { return m_height; }
    int Resolution() const override { return m_resolution; }

    void FillRect(const G2dRect& r, G2dRgb c) override {
        Op op(Op::Fill);
        op.rect = r;
        op.colour = c;
        ops.push_back(op);
    }
    void ClearRect(const G2dRect& r, G2dRgb key) override {
        Op op(Op::Clear);
        op.rect = r;
        op.colour = key;
        ops.push_back(op);
    }
    void ScrollLeft(int pixels) override {
        Op op(Op::Scroll);
        op.width = pixels;
        ops.push_back(op);
    }
    void Polyline(const G2dPixel* p, int n, G2dRgb c, int width, const G2dRect& clip) override {
        Op op(Op::Polyline);
        op.points.assign(p, p + n);
        op.colour = c;
        op.width = width;
        op.rect = clip;
        ops.push_back(op);
    }
    void FillPolygon(const G2dPixel* p, int n, G2dRgb c) override {
        Op op(Op::Polygon);
        op.points.assign(p, p + n);
        op.colour = c;
        ops.push_back(op);
    }
    void Circle(G2dPixel centre, int radius, G2dRgb fill, G2dRgb outline, int outlineWidth,
                const G2dRect& clip) override {
        Op op(Op::Circle);
        op.clip = clip;
        op.points = {centre};
        op.radius = radius;
        op.fill = fill;
        op.colour = outline;
        op.width = outlineWidth;
        ops.push_back(op);
    }
    G2dSize TextSize(const MString& text, const G2dFont& font) override {
        const double em = font.size * m_resolution / 72.0;
        return {static_cast<int>(text.Length() * em * 0.6), std::max(1, static_cast<int>(em * 1.25))};
    }
    void Text(int left, int top, const MString& text, const G2dFont& font, G2dRgb colour, const G2dRect& clip,
              bool upwards) override {
        const G2dSize s = TextSize(text, font);
        Op op(Op::Text);
        op.rect = upwards ? G2dRect{left, top, left + s.height, top + s.width}
                          : G2dRect{left, top, left + s.width, top + s.height};
        op.text = text;
        op.font = font;
        op.colour = colour;
        op.clip = clip;
        op.upwards = upwards;
        ops.push_back(op);
    }
    void Draw(const G2dLayer& source, int x, int y, const G2dRect& part) override {
        Op op(Op::Draw);
        op.source = &source;
        op.rect = part.Translated(x, y); // where it lands
        ops.push_back(op);
    }

    std::vector<const Op*> Of(Op::Kind k) const {
        std::vector<const Op*> out;
        for (const Op& op : ops)
            if (op.kind == k) out.push_back(&op);
        return out;
    }
    // Texts drawn, in order.
    std::vector<MString> Texts() const {
        std::vector<MString> out;
        for (const Op& op : ops)
            if (op.kind == Op::Text) out.push_back(op.text);
        return out;
    }

private:
    int m_width;
    int m_height;
    int m_resolution;
};

class RecordingCanvas final : public G2dCanvas {
public:
    std::unique_ptr<G2dLayer> CreateLayer(G2dLayerKind kind, int width, int height, int resolution) override {
        ++layersMade;
        return std::make_unique<RecordingLayer>(kind, width, height, resolution);
    }
    void Present(const G2dLayer& frame, const G2dRect& target) override {
        ++presents;
        lastFrame = &frame;
        lastTarget = target;
    }

    int layersMade = 0;
    int presents = 0;
    const G2dLayer* lastFrame = nullptr;
    G2dRect lastTarget;
};

inline const RecordingLayer& Rec(const G2dLayer* layer) {
    return *static_cast<const RecordingLayer*>(layer);
}
inline const RecordingLayer& CurveOf(const G2dGraph& g, int ch = 0) {
    return Rec(g.Channel(ch)->CurveLayer());
}
inline const RecordingLayer& GridOf(const G2dGraph& g, int ch = 0) {
    return Rec(g.Channel(ch)->Grid().GridLayer());
}
inline const RecordingLayer& OverlayOf(const G2dGraph& g, int ch = 0) {
    return Rec(g.Channel(ch)->Grid().OverlayLayer());
}
inline const RecordingLayer& FrameOf(const G2dGraph& g) {
    return Rec(g.Frame());
}

// Vertices of every curve polyline drawn since the layer's list was last emptied.
inline std::vector<G2dPixel> CurveVertices(const RecordingLayer& curve) {
    std::vector<G2dPixel> out;
    for (const Op* op : curve.Of(Op::Polyline)) out.insert(out.end(), op->points.begin(), op->points.end());
    return out;
}

} // namespace plottest
