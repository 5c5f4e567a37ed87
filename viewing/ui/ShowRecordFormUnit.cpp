#include "viewing/ui/ShowRecordFormUnit.h"

#include "app/AppState.h"
#include "app/Commands.h"
#include "app/TextImport.h"
#include "core/FileUtils.h"
#include "core/Log.h"
#include "storage/PGFiles.h"
#include "viewing/ui/PlotPaintBox.h"
#include "viewing/ui/ProgressRun.h"
#include "viewing/ui/QtText.h"
#include "viewing/ui/SampFreqQuestFormUnit.h"

#include <QAction>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {

PGFiles& Record() {
    return *GetPGFiles(true);
}

MString& CurrentRecordFile() {
    return GetAppState(true)->CurrentRecordFile;
}

bool ShowsForReading(const MString& path) {
    const PGFiles& r = Record();
    return r.IsOpen() && !r.IsWriting() && !path.IsEmpty() && r.Path() == path;
}

QString FileName(const MString& path) {
    return QFileInfo(ToQt(path)).fileName();
}

} // namespace

TShowRecordForm::TShowRecordForm(QWidget* parent)
    : QWidget(parent), m_model(*GetPGFiles(true), *GetFragmentMarkers(true)) {
    setObjectName("ShowRecordForm");
    m_container = new QWidget(this);
    m_container->setObjectName("ContainerPanel");
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(m_container);

    m_pbPanel = new QWidget(m_container);
    m_pbPanel->setObjectName("PBPanel");
    m_paintBox = new TPlotPaintBox(m_pbPanel);
    m_paintBox->setObjectName("MainPB");
    m_paintBox->setCursor(Qt::OpenHandCursor);
    m_paintBox->setContextMenuPolicy(Qt::CustomContextMenu);
    m_paintBox->SetGraph(&m_model.Graph());
    auto* pbLayout = new QVBoxLayout(m_pbPanel);
    pbLayout->setContentsMargins(0, 0, 0, 0);
    pbLayout->addWidget(m_paintBox);

    m_scrollPanel = new QWidget(m_container);
    m_scrollPanel->setObjectName("ScrollPanel");
    m_scrollBar = new QScrollBar(Qt::Horizontal, m_scrollPanel);
    m_scrollBar->setObjectName("RecScrollBar");
    m_scrollBar->setRange(0, 0);
    auto* scrollLayout = new QVBoxLayout(m_scrollPanel);
    scrollLayout->setContentsMargins(0, 0, 0, 0);
    scrollLayout->addWidget(m_scrollBar);

    auto* layout = new QVBoxLayout(m_container);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_pbPanel, 1);
    layout->addWidget(m_scrollPanel);

    m_popup = new QMenu(m_container);
    m_popup->setObjectName("PopupMenu");
    m_begHere = m_popup->addAction(ToQt(kBegMarkerHereCaption));
    m_begHere->setObjectName("BegMarkerHereItem");
    m_endHere = m_popup->addAction(ToQt(kEndMarkerHereCaption));
    m_endHere->setObjectName("EndMarkerHereItem");
    connect(m_begHere, &QAction::triggered, this, [this] { m_model.MarkerHere(FragmentEdge::kStart); });
    connect(m_endHere, &QAction::triggered, this, [this] { m_model.MarkerHere(FragmentEdge::kEnd); });
    connect(m_paintBox, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { m_popup->popup(m_paintBox->mapToGlobal(at)); });

    // The panel may be destroyed with the window it is docked in before this form.
    m_model.SetRendered([box = QPointer<TPlotPaintBox>(m_paintBox)] {
        if (box) box->update();
    });
    connect(m_paintBox, &TPlotPaintBox::Resized, this, &TShowRecordForm::Layout);
    connect(m_paintBox, &TPlotPaintBox::MousePressed, this, [this](QMouseEvent* e) {
        if (e->button() != Qt::LeftButton) return;
        m_paintBox->setCursor(Qt::ClosedHandCursor);
        m_model.MousePress(int(e->position().x()));
    });
    connect(m_paintBox, &TPlotPaintBox::MouseMoved, this, [this](QMouseEvent* e) {
        if (!(e->buttons() & Qt::LeftButton)) return;
        if (m_model.MouseDrag(int(e->position().x()))) SyncScrollBar();
    });
    connect(m_paintBox, &TPlotPaintBox::MouseReleased, this,
            [this](QMouseEvent*) { m_paintBox->setCursor(Qt::OpenHandCursor); });
    connect(m_scrollBar, &QScrollBar::valueChanged, this, &TShowRecordForm::ScrollBarMoved);
}

TShowRecordForm::~TShowRecordForm() {
    m_model.SetRendered({});
}

void TShowRecordForm::SetFragmentButtons(IFragmentButtons* buttons) {
    m_model.SetButtons(buttons);
}

void TShowRecordForm::Message(const QString& text) {
    QMessageBox::warning(m_container->window(), QString::fromUtf8(kApplicationTitle), text);
}

void TShowRecordForm::SyncScrollBar() {
    const sScrollRange& s = m_model.Scroll();
    const QSignalBlocker block(m_scrollBar);
    m_scrollBar->setRange(s.min, s.max);
    m_scrollBar->setValue(s.position);
    // A page is about one view.
    m_scrollBar->setPageStep(std::max(1, int(m_model.Graph().VisibleSpan())));
    m_scrollBar->setEnabled(m_model.HasScrollRange());
}

void TShowRecordForm::ScrollBarMoved(int position) {
    m_model.ScrollTo(position);
}

void TShowRecordForm::Layout() {
    m_model.Layout(&m_paintBox->Canvas(), m_paintBox->Resolution(), m_paintBox->ClientRect());
    SyncScrollBar();
}

bool TShowRecordForm::ShowAt(double x) {
    const bool ok = m_model.ShowAt(x);
    return ok;
}

void TShowRecordForm::IsolineCorrectionChanged() {
    m_model.ShowAt(m_model.WindowStart());
}

void TShowRecordForm::PlaceStartMarker() {
    m_model.PlaceStartMarker();
}

void TShowRecordForm::PlaceEndMarker() {
    m_model.PlaceEndMarker();
}

void TShowRecordForm::FixMarkers() {
    m_model.FixMarkers();
}

void TShowRecordForm::ResetFragment() {
    m_model.ResetFragment();
    SyncScrollBar();
}

void TShowRecordForm::RecordOpened() {
    m_model.RecordOpened(RecordViewModel::ScrollRule::kHalfSpan, false);
    SyncScrollBar();
}

void TShowRecordForm::ShowCurrent() {
    const MString path = CurrentRecordFile();
    if (path.IsEmpty()) {
        OpenRecord();
        return;
    }
    if (!ShowsForReading(path) && !Record().Open(path)) {
        LogMessage("The record " + path.ToUtf8() + " cannot be opened");
        Message(ToQt(kOpenFailedMessage) + "\n" + ToQt(path));
        m_model.ClearView();
        SyncScrollBar();
        return;
    }
    RecordOpened();
}

bool TShowRecordForm::OpenRecord() {
    QFileDialog dialog(m_container->window(), ToQt(kOpenDialogTitle));
    dialog.setObjectName("RecOD");
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilter(ToQt(kOpenDialogFilter));
    dialog.setDefaultSuffix("pwv");
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    const MString current = CurrentRecordFile();
    if (!current.IsEmpty()) dialog.setDirectory(QFileInfo(ToQt(current)).absolutePath());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        // "Открыть" closed the record before asking; cancelling goes back to it.
        RestorePrevious(current, m_model.HasScrollRange());
        return false;
    }
    return OpenFile(FromQt(dialog.selectedFiles().front()));
}

void TShowRecordForm::RestorePrevious(const MString& previous, bool wasShown) {
    if (wasShown && !previous.IsEmpty() && !ShowsForReading(previous) && !Record().IsWriting() &&
        Record().Open(previous))
        m_model.ShowAt(m_model.WindowStart());
}

bool TShowRecordForm::OpenFile(const MString& chosen) {
    const MString previous = CurrentRecordFile();
    // The record shown may already be closed ("Открыть" closes it first): what counts is that the
    // viewer showed it.
    const bool wasOpen = m_model.HasScrollRange() && !previous.IsEmpty();
    MString path = chosen;
    if (!IsRecordFilePath(chosen)) {
        if (!ImportFile(chosen, path)) {
            RestorePrevious(previous, wasOpen);
            return false;
        }
    }
    // Opened on the side first, so that a file that cannot be opened leaves the record shown.
    {
        PGFiles probe;
        if (!probe.Open(path, PGFiles::OpenMode::ReadOnly)) {
            LogMessage("The record " + path.ToUtf8() + " cannot be opened");
            Message(ToQt(kOpenFailedMessage) + "\n" + ToQt(path));
            RestorePrevious(previous, wasOpen);
            return false;
        }
    }
    if (!Record().Open(path)) {
        LogMessage("The record " + path.ToUtf8() + " cannot be opened");
        Message(ToQt(kOpenFailedMessage) + "\n" + ToQt(path));
        RestorePrevious(previous, wasOpen);
        return false;
    }
    CurrentRecordFile() = path;
    m_model.ResetFragment();
    ClearAnalysisResults();
    m_model.RecordOpened(RecordViewModel::ScrollRule::kWholeSpan, true);
    SyncScrollBar();
    if (Record().StartTime() < Record().EndTime()) AddRecentFile(path);
    return true;
}

bool TShowRecordForm::ImportFile(const MString& source, MString& target) {
    target = ImportTargetPath(source);
    QWidget* window = m_container->window();
    if (FileExists(target)) {
        const QString question = ToQt(kReplaceRecordQuestion).arg(FileName(target), FileName(source));
        if (QMessageBox::question(window, ToQt(kOverwriteTitle), question, QMessageBox::Yes | QMessageBox::No,
                                  QMessageBox::No) != QMessageBox::Yes)
            return false;
    }

    TextNumbers numbers;
    std::string reason;
    bool read = false;
    RunWithProgress(window, QStringLiteral("Чтение данных из файла…"),
                    [&](std::atomic<int>&) { read = ReadTextNumbers(source, numbers, reason); });
    if (!read || numbers.values.size() < size_t(kImportMinValues) || !(numbers.largest > numbers.smallest)) {
        LogMessage("Import of " + source.ToUtf8() + " failed: " +
                   (read ? std::to_string(numbers.values.size()) + " numbers, no signal" : reason));
        Message(ToQt(kImportFailedMessage));
        return false;
    }

    const int rate = TSampFQuestForm::Ask(window);
    if (rate <= 0) return false;

    // The record object may hold the file about to be replaced.
    Record().Close();
    TextImportResult result;
    RunWithProgress(window, QStringLiteral("Импорт данных…"), [&](std::atomic<int>& percent) {
        PGFiles writer;
        result = ImportTextNumbers(numbers, rate, target, writer, [&](int p) { percent.store(p); });
    });
    if (!result.ok) {
        LogMessage("Import of " + source.ToUtf8() + " failed: " + result.reason);
        Message(ToQt(kImportFailedMessage));
        return false;
    }
    LogMessage("Imported " + source.ToUtf8() + " into " + target.ToUtf8());
    return true;
}
