#pragma once
// The heart-rate view: the fragment selected in the record viewer as two synchronised plots, the
// plethysmogram on top and the heart-rate trend below with each beat's rate beside its point; a
// scroll bar, dragging either plot, and zooming out in steps of 5 s. The numbers come from
// HeartRateViewModel (analysis/HeartRateViewModel.h); this form lays the plots out and draws.
//
// The main window docks ContainerPanel() and calls ShowFragment() for "ЧСС фрагмента". The
// fragment's statistics are read on a worker thread (a record object of its own) with a progress
// dialog, so a long fragment does not freeze the window.
//
// Main thread.

#include "analysis/HeartRateViewModel.h"
#include "core/MCriticalSection.h"
#include "viewing/plot/G2dGraph.h"

#include <QWidget>

class QLabel;
class QScrollBar;
class QSpinBox;
class QSplitter;
class TPlotPaintBox;

class THeartRateForm : public QWidget {
    Q_OBJECT

public:
    explicit THeartRateForm(QWidget* parent = nullptr);
    ~THeartRateForm() override;

    QWidget* ContainerPanel() const { return m_container; }

    // The fragment of the record viewer (GetFragmentMarkers). False, after the fragment message,
    // when it is not placed, empty or reversed; false after the record message when no record is
    // open and the current one cannot be opened.
    bool ShowFragment();
    bool ShowFragment(double start, double end);
    // Lays both plots out for the window length and shows the scroll position.
    void Layout();
    // Draws the window that starts at x (clamped).
    void Draw(double x);

    HeartRateViewModel& Model() { return m_model; }
    const sHeartRateWindow& Window() const { return m_window; }
    G2dGraph& SignalGraph() { return m_signal; }
    G2dGraph& RateGraph() { return m_rate; }
    TPlotPaintBox* SignalPB() const { return m_signalPB; }
    TPlotPaintBox* RatePB() const { return m_ratePB; }
    QSplitter* PBSplitter() const { return m_splitter; }
    QScrollBar* RecScrollBar() const { return m_scrollBar; }
    QSpinBox* ZoomUpDown() const { return m_zoom; }
    QLabel* ZoomLabel() const { return m_zoomLabel; }

private:
    void Message(const QString& text);
    void ZoomChanged(int b);
    void MousePressed(int x);
    void MouseDragged(int x);
    void SyncScrollBar(const sHeartRateScroll& range);

    QWidget* m_container = nullptr;
    TPlotPaintBox* m_signalPB = nullptr;
    TPlotPaintBox* m_ratePB = nullptr;
    QSplitter* m_splitter = nullptr;
    QScrollBar* m_scrollBar = nullptr;
    QSpinBox* m_zoom = nullptr;
    QLabel* m_zoomLabel = nullptr;

    HeartRateViewModel m_model;
    sHeartRateWindow m_window;
    G2dGraph m_signal;
    G2dGraph m_rate;
    G2dChannel* m_signalChannel = nullptr;
    G2dChannel* m_rateChannel = nullptr;
    // Serialises draws: a draw asked for during one starts after it.
    MCriticalSection m_lock;
    int m_dragX = 0;
};
