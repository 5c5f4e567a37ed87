#pragma once
// The pulse-wave index view: one or two pulse waves from the start of the fragment selected in the
// record viewer, the five markers B1 ... B5 placed on the wave with the mouse (a marker follows the
// mouse while its button is down), and the table of pulse-wave indexes beside it. What is shown and
// when the table is computed comes from PulseIndexViewModel (analysis/PulseIndexViewModel.h); the
// markers and the table are the program's PulseIndexes, which the diagnosis and the report read.
//
// The main window docks ContainerPanel(), calls ShowIndexes() for "Индексы ПВ" and
// ReleaseMarkers() when another view is docked, and connects PatientInfoRequested to its patient
// action (the table's "Рост пациента?" cell asks for the height).
//
// Main thread.

#include "analysis/PulseIndexViewModel.h"
#include "analysis/ui/PulseWavePlot.h"

#include <QWidget>

class QGroupBox;
class QSplitter;
class QTableWidget;
class QToolButton;
class TPlotPaintBox;

class TPulseIndexesForm : public QWidget {
    Q_OBJECT

public:
    explicit TPulseIndexesForm(QWidget* parent = nullptr);
    ~TPulseIndexesForm() override;

    QWidget* ContainerPanel() const { return m_container; }

    // The fragment of the record viewer (GetFragmentMarkers): prepares the wave, computes the
    // table and fills the grid. False, after the fragment message, when the fragment is not placed,
    // empty or reversed; false after the record message when there is no record to read.
    bool ShowIndexes();
    bool ShowIndexes(double start, double end);
    // Lays the plot out, reads the wave and draws it (also on resizing, after ReleaseMarkers).
    void Prepare();
    // No marker follows the mouse; every marker button is up.
    void ReleaseMarkers();
    // Draws the wave with its markers on another canvas (the printed report's page).
    void RenderTo(G2dCanvas* canvas, const G2dRect& rect, int resolution);

    PulseIndexViewModel& Model() { return m_model; }
    PulseWavePlot& Plot() { return m_plot; }
    TPlotPaintBox* MainPB() const { return m_paintBox; }
    QToolButton* MarkerButton(int k) const { return m_buttons[k]; }
    QTableWidget* ResSG() const { return m_grid; }
    QSplitter* Splitter1() const { return m_splitter; }

signals:
    // The "Рост пациента?" cell was clicked: the patient information should be shown.
    void PatientInfoRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Message(const QString& text);
    void ButtonToggled(int k, bool down);
    void MouseAt(int x);
    void Recompute();
    void FillGrid();
    bool IsHeightCell(const QPoint& viewportPos) const;

    QWidget* m_container = nullptr;
    QSplitter* m_splitter = nullptr;
    TPlotPaintBox* m_paintBox = nullptr;
    QToolButton* m_buttons[5] = {};
    QTableWidget* m_grid = nullptr;
    PulseIndexViewModel m_model;
    PulseWavePlot m_plot;
};
