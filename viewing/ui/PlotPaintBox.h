#pragma once
// A paint box that shows the frame of a graph of the plot library: the graph renders into the
// box's canvas (QImages carrying the screen's resolution) and the box paints the last frame in its
// paintEvent. It reports its size changes and the mouse to its owner; it computes nothing.
//
// Main thread.

#include "viewing/plot/G2dTypes.h"
#include "viewing/plot/qt/G2dQtCanvas.h"

#include <QWidget>

class G2dGraph;

class TPlotPaintBox : public QWidget {
    Q_OBJECT

public:
    explicit TPlotPaintBox(QWidget* parent = nullptr);

    G2dQtCanvas& Canvas() { return m_canvas; }
    // The graph whose frame is painted (null: a white box).
    void SetGraph(const G2dGraph* graph) { m_graph = graph; }
    // The box's client rectangle and the screen's pixels per inch, for G2dGraph::SetCanvas.
    G2dRect ClientRect() const { return {0, 0, width(), height()}; }
    int Resolution() const;

signals:
    void Resized();
    void MousePressed(QMouseEvent* event);
    void MouseMoved(QMouseEvent* event);
    void MouseReleased(QMouseEvent* event);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    G2dQtCanvas m_canvas;
    const G2dGraph* m_graph = nullptr;
};
