#pragma once
// A graph of one or more channels with physical scales, as on chart paper: the caller says how many
// millimetres one unit of x and of y take at the target's resolution, the grid is drawn every 2 mm
// (thick every 10 mm), and the graph composes every frame off-screen and hands it to its canvas in
// one piece. Used by every plot of the program: the live control graph (scroll mode, fed through
// BufferPoints and paced by PlayBuffered), the live recording graph (sweep mode), the record viewer
// and the analysis views (scroll mode, a window of data added after Clear), the printed report.
//
// Typical use:
//     G2dGraph g;
//     G2dChannel* ch = g.AddChannel(u"Плетизмограмма");
//     ch->SetCaptions(u"Время", u"Ампл., ед.");
//     G2dQtCanvas canvas(&image);                 // qt/G2dQtCanvas.h; image carries its resolution
//     g.SetCanvas(&canvas, 96, 50, 20, {0, 0, image.width(), image.height()});
//     g.SetBaseline(32, 0.1);                     // y = -0.1 on the bottom edge
//     g.FitSpans(6, 1.2);                         // 6 s across, 1.2 units high
//     g.SetMode(g2d::kScroll, 0);
//     g.AddPoints(0, times, n, values);
//     g.Render();
// Each SetCanvas or FitSpans lays the channels out again and clears the data, so data come after.
//
// Layers. The G2d classes are plain C++ without Qt: they work out every position and draw through
// a G2dCanvas (G2dSurface.h). qt/G2dQtCanvas.h renders with QtGui into QImages that carry the
// resolution, and hands the frame to a QImage, a QPrinter or a widget's paintEvent.
//
// Threads and lock. Everything runs on the thread that owns the graph (the main thread), except
// BufferPoints, which may come from another thread (a sample callback) while that thread runs
// PlayBuffered or Render. AddChannel, SetCanvas, FitSpans, SetBaseline, SetMode, Clear,
// AddPoint(s), BufferPoints, PlayBuffered, InvalidateGrid and Render take the graph's recursive
// lock. The members of channels, grids, labels and markers are not locked: change them on the
// owning thread, or under Lock() while another thread may render.
//
// Ownership. The graph owns its channels; a channel owns its grid, markers and labels; all stay
// valid until the graph is destroyed, except data labels (kind 0), which go when they scroll out
// of view (G2dGrid). The canvas is the caller's and must outlive its use by the graph (until the
// next SetCanvas or the graph's end).
//
// Bad values never divide by zero or loop: a zero, negative or non-finite scale (before the first
// layout, a resolution of 0, 0 mm per unit) makes the channel draw nothing, and VisibleSpan and
// PixelsToUnits give 0.

#include "core/MCriticalSection.h"
#include "core/MString.h"
#include "viewing/plot/G2dChannel.h"
#include "viewing/plot/G2dSurface.h"
#include "viewing/plot/G2dTypes.h"

#include <memory>
#include <vector>

class G2dGraph {
public:
    G2dGraph();
    ~G2dGraph();
    G2dGraph(const G2dGraph&) = delete;
    G2dGraph& operator=(const G2dGraph&) = delete;

    // Which edges carry labels; they take effect at the next layout (SetCanvas or FitSpans). Top x
    // labels go to the first row of channels only, bottom ones to the last row of each column.
    bool yLabelsLeft = true;
    bool yLabelsRight = true;
    bool xLabelsTop = true;
    bool xLabelsBottom = true;

    // Appends a channel (captions "X[unknown]" and "Y[unknown]", scale bar on). Laid out at the
    // next SetCanvas or FitSpans.
    G2dChannel* AddChannel(const MString& name);
    // Null when out of range.
    G2dChannel* Channel(int index);
    const G2dChannel* Channel(int index) const;
    int ChannelCount() const { return static_cast<int>(m_channels.size()); }

    // Lays the channels out over `rect` of `canvas` at `resolution` pixels per inch, with `ymm` and
    // `xmm` millimetres per unit, and clears every channel and the playback. A null canvas does
    // nothing. Beyond 10 million pixels the frame and its resolution shrink proportionally.
    void SetCanvas(G2dCanvas* canvas, int resolution, double ymm, double xmm, const G2dRect& rect);
    // Scales so that one channel shows about xSpan units across and ySpan units from bottom to top
    // (the channels share the height), then lays out again as SetCanvas does. Nothing without a
    // canvas or channels, or when a span is not a positive number.
    void FitSpans(double xSpan, double ySpan);
    // Where y = 0 stands in every channel (g2d::kBaselineMiddle, g2d::kBaselineTop, any other value:
    // the bottom edge), plus `offset` units; the grid and the curve are drawn afresh.
    void SetBaseline(int flags, double offset);
    // Display mode (g2d::kPage, kScroll, kSweep) of every channel, and the blank gap kept ahead of
    // the newest point in millimetres (at least 1 pixel; none in page mode). Converted with the
    // current resolution, so call it after SetCanvas. The stored points are drawn afresh.
    void SetMode(int mode, double gapMm);
    // Clears every channel's points, pens and bitmaps, and the playback queues and pacing.
    void Clear();

    // Stores points in a channel (drawn by the next Render). Points whose x goes back, or jumps more
    // than a span ahead, start the channel afresh; stored points older than one span before the
    // newest are dropped (but one). Nothing before the first layout, for an index out of range, a
    // missing array or n <= 0.
    void AddPoint(int channel, double x, double y);
    void AddPoints(int channel, const double* xs, int n, const double* ys);

    // Queues points of a channel for paced playback. Any thread. Nothing for n <= 0, a missing array
    // or an index out of range. Queued points that go back in x empty their queue; queues that grew
    // beyond 5000 points (playback not running) are dropped. After the last channel's points, at
    // most every 500 ms of the program clock (core/Clock.h), the input rate is measured.
    void BufferPoints(int channel, const double* xs, int n, const double* ys);
    // Moves the play position on by the measured rate (10 % faster while it lags more than 100 ms),
    // adds the queued points up to it (with one interpolated point at the position) and renders.
    // Called by the live render task every 50 ms.
    void PlayBuffered();

    // The overlays (horizontal grid, y labels, scale bar, name, fixed labels) are drawn afresh at
    // the next Render: call it after changing a fixed label.
    void InvalidateGrid();
    // Composes the frame (grid, labels, curve, markers; frame labels on top) and hands it to the
    // canvas. Nothing without a canvas. In page and sweep modes only the columns that changed since
    // the last frame are composed again; scroll mode composes each channel whole.
    void Render();

    // Width of channel 0 in x units (0 without channels or with an unusable scale).
    double VisibleSpan() const;
    // pixels / x scale of a channel (0 for an index out of range or an unusable scale).
    double PixelsToUnits(int pixels, int channel) const;

    // State of the last layout.
    G2dCanvas* Canvas() const { return m_canvas; }
    int Resolution() const { return m_resolution; } // as used (scaled with the frame)
    int FrameWidth() const { return m_width; }
    int FrameHeight() const { return m_height; }
    double XmmPerUnit() const { return m_xmm; }
    double YmmPerUnit() const { return m_ymm; }
    const G2dRect& TargetRect() const { return m_target; }
    const G2dLayer* Frame() const { return m_frame.get(); }

    // Separator of label numbers; the user's locale's at construction.
    char16_t DecimalSeparator() const { return m_separator; }
    void SetDecimalSeparator(char16_t separator) { m_separator = separator; }

    // Playback state (under the lock while another thread buffers).
    double PlayPosition() const { return m_playPosition; }
    double PlayRate() const { return m_rate; } // x units per millisecond
    int QueuedPoints(int channel) const;

    // The graph's lock, for callers that change labels or markers while another thread renders.
    MCriticalSection& Lock() { return m_lock; }

private:
    struct Queue {
        std::vector<G2dBufPoint> points;
        double newestX = kEmptyX;
    };
    static constexpr double kEmptyX = -1'000'000'000.0;
    static constexpr int kMaxQueue = 5000;

    void Layout();
    void ResetPlayback();

    mutable MCriticalSection m_lock;
    G2dCanvas* m_canvas = nullptr;
    std::unique_ptr<G2dLayer> m_frame;
    G2dRect m_target;
    int m_width = 10;
    int m_height = 10;
    int m_givenResolution = 0; // as passed to SetCanvas
    int m_resolution = 0;      // as used
    double m_xmm = 0;
    double m_ymm = 0;
    std::vector<std::unique_ptr<G2dChannel>> m_channels;
    bool m_gridDirty = false;
    bool m_frameStale = true;  // the frame holds no composition yet (new layout)
    G2dFrameOps m_frameLabels; // kind-2 labels of the last frame
    char16_t m_separator;

    // Playback, under m_lock.
    std::vector<Queue> m_queues; // one per channel; empty = no queues
    int m_queueCapacity = 0;     // points per queue
    double m_prevNewestX = kEmptyX;
    bool m_haveEstimate = false;
    double m_prevEstimateMs = 0;
    double m_rate = 0;
    double m_lastPlayMs = 0;
    double m_playPosition = 0;
};
