#include "viewing/ui/PlotPaintBox.h"

#include "viewing/plot/G2dGraph.h"

#include <QMouseEvent>
#include <QPainter>

TPlotPaintBox::TPlotPaintBox(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(false);
}

int TPlotPaintBox::Resolution() const {
    return logicalDpiX() > 0 ? logicalDpiX() : 96;
}

void TPlotPaintBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QImage* frame = m_graph ? G2dQtCanvas::ImageOf(m_graph->Frame()) : nullptr;
    if (!frame || frame->isNull()) {
        p.fillRect(rect(), Qt::white);
        return;
    }
    const G2dRect& target = m_graph->TargetRect();
    p.drawImage(QPoint(target.left, target.top), *frame);
    // The frame may be smaller than the box between a resize and the next layout.
    const QRect painted(target.left, target.top, frame->width(), frame->height());
    if (!painted.contains(rect())) {
        p.setClipRegion(QRegion(rect()).subtracted(painted));
        p.fillRect(rect(), Qt::white);
    }
}

void TPlotPaintBox::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    emit Resized();
}

void TPlotPaintBox::mousePressEvent(QMouseEvent* event) {
    emit MousePressed(event);
}

void TPlotPaintBox::mouseMoveEvent(QMouseEvent* event) {
    emit MouseMoved(event);
}

void TPlotPaintBox::mouseReleaseEvent(QMouseEvent* event) {
    emit MouseReleased(event);
}
