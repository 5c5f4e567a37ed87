#include "analysis/ui/HeartRateFormUnit.h"

#include "app/AppState.h"
#include "app/Commands.h"
#include "storage/PGFiles.h"
#include "viewing/FragmentMarkers.h"
#include "viewing/plot/G2dGeometry.h"
#include "viewing/ui/PlotPaintBox.h"
#include "viewing/ui/ProgressRun.h"
#include "viewing/ui/QtText.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QSplitter>
#include <QVBoxLayout>

#include <algorithm>

namespace {

PGFiles& Record() {
    return *GetPGFiles(true);
}

// The record to read: the one open for reading, or the current record file opened now.
bool ReadableRecord() {
    PGFiles& r = Record();
    if (r.IsOpen() && !r.IsWriting()) return true;
    const cAppState* app = GetAppState(false);
    return app && !app->CurrentRecordFile.IsEmpty() && r.Open(app->CurrentRecordFile);
}

} // namespace

THeartRateForm::THeartRateForm(QWidget* parent) : QWidget(parent) {
    setObjectName("HeartRateForm");
    m_container = new QWidget(this);
    m_container->setObjectName("ContainerPanel");
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(m_container);

    m_splitter = new QSplitter(Qt::Vertical, m_container);
    m_splitter->setObjectName("PBSplitter");
    m_splitter->setChildrenCollapsible(false);
    m_signalPB = new TPlotPaintBox(m_splitter);
    m_signalPB->setObjectName("SignalPB");
    m_ratePB = new TPlotPaintBox(m_splitter);
    m_ratePB->setObjectName("RatePB");
    for (TPlotPaintBox* pb : {m_signalPB, m_ratePB}) {
        pb->setMinimumHeight(100);
        pb->setCursor(Qt::OpenHandCursor);
        m_splitter->addWidget(pb);
    }
    m_splitter->setStretchFactor(0, 1);
    m_splitter->setStretchFactor(1, 1);

    m_scrollBar = new QScrollBar(Qt::Horizontal, m_container);
    m_scrollBar->setObjectName("RecScrollBar");
    m_scrollBar->setRange(0, 0);
    auto* zoomCaption = new QLabel(ToQt(kHeartRateZoomCaption), m_container);
    m_zoom = new QSpinBox(m_container);
    m_zoom->setObjectName("ZoomUpDown");
    m_zoom->setRange(HeartRateViewModel::kMinZoom, HeartRateViewModel::kMaxZoom);
    m_zoom->setValue(1);
    m_zoomLabel = new QLabel("1.0", m_container);
    m_zoomLabel->setObjectName("ZoomLabel");
    m_zoomLabel->setMinimumWidth(m_zoomLabel->fontMetrics().horizontalAdvance("25.0") + 6);

    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(4, 2, 4, 2);
    bottom->addWidget(m_scrollBar, 1);
    bottom->addSpacing(12);
    bottom->addWidget(zoomCaption);
    bottom->addWidget(m_zoom);
    bottom->addWidget(m_zoomLabel);
    auto* layout = new QVBoxLayout(m_container);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_splitter, 1);
    layout->addLayout(bottom);

    m_signalChannel = m_signal.AddChannel(MString(kHeartRateSignalChannel));
    m_signalChannel->SetCaptions(MString(kHeartRateXCaption), MString(kHeartRateSignalYCaption));
    m_signalChannel->SetCurveColour({255, 0, 0});
    m_signalChannel->SetCurveWidth(0.5f);
    m_rateChannel = m_rate.AddChannel(MString(kHeartRateRateChannel));
    m_rateChannel->SetCaptions(MString(kHeartRateXCaption), MString(kHeartRateRateYCaption));
    m_rateChannel->SetCurveColour({0, 128, 0});
    m_rateChannel->SetCurveWidth(0.5f);
    // One row of time labels under each plot: four rows (above and below both) only crowd them.
    m_signal.xLabelsTop = false;
    m_rate.xLabelsTop = false;
    m_signalPB->SetGraph(&m_signal);
    m_ratePB->SetGraph(&m_rate);

    connect(m_signalPB, &TPlotPaintBox::Resized, this, &THeartRateForm::Layout);
    connect(m_ratePB, &TPlotPaintBox::Resized, this, &THeartRateForm::Layout);
    connect(m_scrollBar, &QScrollBar::valueChanged, this, [this](int v) { Draw(v); });
    connect(m_zoom, qOverload<int>(&QSpinBox::valueChanged), this, &THeartRateForm::ZoomChanged);
    for (TPlotPaintBox* pb : {m_signalPB, m_ratePB}) {
        connect(pb, &TPlotPaintBox::MousePressed, this, [this, pb](QMouseEvent* e) {
            if (e->button() != Qt::LeftButton) return;
            pb->setCursor(Qt::ClosedHandCursor);
            MousePressed(int(e->position().x()));
        });
        connect(pb, &TPlotPaintBox::MouseMoved, this, [this](QMouseEvent* e) {
            if (e->buttons() & Qt::LeftButton) MouseDragged(int(e->position().x()));
        });
        connect(pb, &TPlotPaintBox::MouseReleased, this,
                [pb](QMouseEvent*) { pb->setCursor(Qt::OpenHandCursor); });
    }
}

THeartRateForm::~THeartRateForm() = default;

void THeartRateForm::Message(const QString& text) {
    QMessageBox::information(m_container->window(), QString::fromUtf8(kApplicationTitle), text);
}

bool THeartRateForm::ShowFragment() {
    const FragmentMarkers* f = GetFragmentMarkers(false);
    if (!f || !f->BothPlaced()) {
        Message(ToQt(kNoFragmentMessage));
        return false;
    }
    return ShowFragment(f->FragmentStart(), f->FragmentEnd());
}

bool THeartRateForm::ShowFragment(double start, double end) {
    if (!(end > start)) {
        Message(ToQt(kNoFragmentMessage));
        return false;
    }
    if (!ReadableRecord()) {
        Message(ToQt(kNoRecordMessage));
        return false;
    }
    // The statistics read every heart-rate entry of the fragment: on the side, with its own
    // record object, so that the shown record's position is not disturbed.
    const MString path = Record().Path();
    sHeartRateStats stats;
    RunWithProgress(
        m_container->window(), QString::fromUtf8("Чтение ЧСС фрагмента…"), [&](std::atomic<int>& percent) {
            PGFiles reader;
            if (!reader.Open(path, PGFiles::OpenMode::ReadOnly)) return;
            stats = ComputeHeartRateStats(reader, start, end, [&](double f) { percent.store(int(f * 100)); });
        });
    m_model.SetFragment(start, end, stats);
    // A zoom the new fragment is too short for comes down to what it allows.
    while (m_model.Zoom() > HeartRateViewModel::kMinZoom &&
           m_model.End() - m_model.Start() < HeartRateViewModel::kZoomSeconds * (m_model.Zoom() - 1))
        m_model.SetZoom(m_model.Zoom() - 1);
    {
        const QSignalBlocker block(m_zoom);
        m_zoom->setValue(m_model.Zoom());
    }
    char text[16];
    m_zoomLabel->setText(HeartRateViewModel::ZoomText(m_model.Zoom(), text, sizeof text));
    Layout();
    return true;
}

void THeartRateForm::SyncScrollBar(const sHeartRateScroll& range) {
    const QSignalBlocker block(m_scrollBar);
    m_scrollBar->setRange(range.min, range.max);
    m_scrollBar->setValue(range.position);
    m_scrollBar->setPageStep(std::max(1, int(m_model.WindowLength())));
}

void THeartRateForm::Layout() {
    if (!m_model.HasFragment()) return;
    const double w = m_model.WindowLength();
    m_signal.SetCanvas(&m_signalPB->Canvas(), m_signalPB->Resolution(), 50, 20, m_signalPB->ClientRect());
    m_signal.SetBaseline(32, HeartRateViewModel::kSignalOffset);
    m_signal.FitSpans(w, HeartRateViewModel::kSignalSpan);
    m_signal.SetMode(g2d::kScroll, 0);
    m_rate.SetCanvas(&m_ratePB->Canvas(), m_ratePB->Resolution(), 50, 20, m_ratePB->ClientRect());
    m_rate.SetBaseline(g2d::kBaselineMiddle, -m_model.RateCentre());
    m_rate.FitSpans(w, m_model.RateSpan());
    m_rate.SetMode(g2d::kScroll, 0);
    // The range needs the span just laid out.
    const sHeartRateScroll range = m_model.ScrollRange(m_signal.VisibleSpan(), m_scrollBar->value());
    SyncScrollBar(range);
    Draw(range.position);
}

void THeartRateForm::Draw(double x) {
    if (!m_model.HasFragment()) return;
    MAutoLock lock(m_lock);
    sHeartRateWindow window;
    if (!m_model.ReadWindow(Record(), x, m_signal.VisibleSpan(), window)) return;
    m_window = std::move(window);
    m_signal.Clear();
    m_rate.Clear();
    m_rateChannel->Grid().ClearTexts();
    if (!m_window.times.empty())
        m_signal.AddPoints(0, m_window.times.data(), int(m_window.times.size()), m_window.values.data());
    if (!m_window.rateTimes.empty())
        m_rate.AddPoints(0, m_window.rateTimes.data(), int(m_window.rateTimes.size()), m_window.rates.data());
    for (const sRateMark& mark : m_window.marks)
        m_rateChannel->Grid().AddText(MString::FromInt(mark.whole), g2d::kCentreX | g2d::kBottomY,
                                      {0, 0, 255}, g2d::kDataLabel, mark.hr, mark.time,
                                      HeartRateViewModel::kMarkSize);
    m_signal.Render();
    m_rate.Render();
    m_signalPB->update();
    m_ratePB->update();
}

void THeartRateForm::ZoomChanged(int b) {
    if (!m_model.SetZoom(b)) {
        const QSignalBlocker block(m_zoom);
        m_zoom->setValue(m_model.Zoom());
        return;
    }
    char text[16];
    m_zoomLabel->setText(HeartRateViewModel::ZoomText(b, text, sizeof text));
    Layout();
}

void THeartRateForm::MousePressed(int x) {
    m_dragX = x;
}

void THeartRateForm::MouseDragged(int x) {
    const int d = x - m_dragX;
    if (!m_model.HasFragment() || !HeartRateViewModel::DragMoves(d)) return;
    const double t = m_signal.PixelsToUnits(d, 0);
    if (t == 0) return;
    Draw(m_window.left - t);
    const QSignalBlocker block(m_scrollBar);
    m_scrollBar->setValue(g2d::Trunc(m_window.left));
    m_dragX = x;
}
