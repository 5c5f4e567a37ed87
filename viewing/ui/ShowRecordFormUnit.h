#pragma once
// The record viewer: the record as a scrolling plethysmogram ("Плетизмограмма") with its scroll
// bar, dragging, the heart-rate labels, the two fragment markers "Начало" and "Конец" with their
// pop-up menu, and opening records, importing text files of numbers on the way. What it shows is
// computed by RecordViewModel (viewing/RecordViewModel.h); this form draws it and forwards the
// mouse, the scroll bar and the menu.
//
// The form itself is never shown: the main window docks ContainerPanel() into its work area and
// drives the viewer through the operations below. The fragment toggle buttons of the ribbon belong
// to the main window, which hands them in through IFragmentButtons (viewing/FragmentMarkers.h);
// the fragment itself is the program's FragmentMarkers, read by the analyses, the export and the
// report.
//
// The main window's side:
//   "Открыть"            OpenRecord()
//   "Смотреть"           ShowOpenedRecordActionExecute(), whose ICommandViews::RecordOpened calls
//                        RecordOpened(); or ShowCurrent() (also for the fragment buttons when the
//                        viewer is not docked)
//   a recent file        OpenRecentFile(), whose ICommandViews::ResetFragment calls ResetFragment()
//   "Изокорректор"       ICommandViews::IsolineCorrectionChanged -> IsolineCorrectionChanged()
//   fragment buttons     PlaceStartMarker() / PlaceEndMarker()
//   undocking the viewer FixMarkers()
//
// Main thread.

#include "core/MString.h"
#include "viewing/FragmentMarkers.h"
#include "viewing/RecordViewModel.h"

#include <QWidget>

#include <memory>

class QAction;
class QMenu;
class QScrollBar;
class TPlotPaintBox;

// Messages of the viewer (the import's is kImportFailedMessage of app/TextImport.h).
inline constexpr char16_t kOpenFailedMessage[] = u"Не удалось открыть файл записи:";
inline constexpr char16_t kReplaceRecordQuestion[] =
    u"Запись «%1» уже есть. Заменить её данными из файла «%2»?";
inline constexpr char16_t kOpenDialogTitle[] = u"OpenRecord";
inline constexpr char16_t kOpenDialogFilter[] =
    u"Все поддерживаемые форматы (*.pwv *.txt *.csv);;Пульсограмма (*.pwv);;Из текстового файла (*.csv "
    u"*.txt);;"
    u"Любой файл (*)";
inline constexpr char16_t kBegMarkerHereCaption[] = u"Маркер начала в текущую позицию";
inline constexpr char16_t kEndMarkerHereCaption[] = u"Маркер конца в текущую позицию";

class TShowRecordForm : public QWidget {
    Q_OBJECT

public:
    explicit TShowRecordForm(QWidget* parent = nullptr);
    ~TShowRecordForm() override;

    QWidget* ContainerPanel() const { return m_container; }
    // The ribbon's fragment buttons (null: the viewer keeps their states itself).
    void SetFragmentButtons(IFragmentButtons* buttons);

    // Chooses a file ("OpenRecord" dialog), imports it when it is not a record, opens and shows it.
    // False when cancelled or when it fails (with a message; the previous record, fragment and
    // analysis results then stay as they were).
    bool OpenRecord();
    // The same without the dialog.
    bool OpenFile(const MString& path);
    // Shows the current record file (opening it when the record object does not hold it open),
    // its scroll range ending half a view before the record's end; OpenRecord when there is none.
    void ShowCurrent();
    // The command layer has just opened the current record for reading: show it as ShowCurrent does.
    void RecordOpened();
    // Unplaces both markers, releases both buttons, puts the scroll bar at 0.
    void ResetFragment();
    // Fits the plot to the paint box and shows the scroll position.
    void Layout();
    bool ShowAt(double x);
    // Redraws the window shown (the isoline correction was switched).
    void IsolineCorrectionChanged();

    void PlaceStartMarker();
    void PlaceEndMarker();
    void FixMarkers();
    double FragmentStart() const { return m_model.FragmentStart(); }
    double FragmentEnd() const { return m_model.FragmentEnd(); }

    RecordViewModel& Model() { return m_model; }
    TPlotPaintBox* MainPB() const { return m_paintBox; }
    QScrollBar* RecScrollBar() const { return m_scrollBar; }
    QMenu* PopupMenu() const { return m_popup; }

private:
    // Reads the numbers, asks for their rate and writes the record beside the file; false (after a
    // message where one is due) when it does not happen.
    bool ImportFile(const MString& source, MString& target);
    void Message(const QString& text);
    // Reopens the record that was shown before a cancelled, failed open or import.
    void RestorePrevious(const MString& previous, bool wasShown);
    void SyncScrollBar();
    void ScrollBarMoved(int position);

    QWidget* m_container = nullptr;
    QWidget* m_pbPanel = nullptr;
    TPlotPaintBox* m_paintBox = nullptr;
    QWidget* m_scrollPanel = nullptr;
    QScrollBar* m_scrollBar = nullptr;
    QMenu* m_popup = nullptr;
    QAction* m_begHere = nullptr;
    QAction* m_endHere = nullptr;
    RecordViewModel m_model;
    bool m_syncing = false;
};
