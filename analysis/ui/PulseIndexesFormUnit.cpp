#include "analysis/ui/PulseIndexesFormUnit.h"

#include "analysis/HeartRateViewModel.h"
#include "analysis/ParamTable.h"
#include "app/AppState.h"
#include "app/Commands.h"
#include "storage/PGFiles.h"
#include "viewing/FragmentMarkers.h"
#include "viewing/ui/PlotPaintBox.h"
#include "viewing/ui/QtText.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QSignalBlocker>
#include <QSplitter>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

namespace {

PGFiles& Record() {
    return *GetPGFiles(true);
}

bool ReadableRecord() {
    PGFiles& r = Record();
    if (r.IsOpen() && !r.IsWriting()) return true;
    const cAppState* app = GetAppState(false);
    return app && !app->CurrentRecordFile.IsEmpty() && r.Open(app->CurrentRecordFile);
}

QColor ToQColor(G2dRgb c) {
    return QColor(c.r, c.g, c.b);
}

// The picture beside the buttons: a pulse wave with the places of B1 ... B5.
class PulseScheme : public QWidget {
public:
    explicit PulseScheme(QWidget* parent) : QWidget(parent) {
        setObjectName("PulseScheme");
        setMinimumSize(200, 110);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillRect(rect(), Qt::white);
        const double w = width() - 20, h = height() - 30, left = 10, bottom = height() - 12;
        // One cycle: foot, systolic peak, incisura, dicrotic peak, next foot.
        auto wave = [](double u) {
            const double s = std::exp(-std::pow((u - 0.22) / 0.09, 2));
            const double d = 0.38 * std::exp(-std::pow((u - 0.52) / 0.1, 2));
            const double tail = u > 0.22 ? 0.25 * (1 - u) : 0;
            return std::min(1.0, s + d + tail * (u > 0.3 ? 1 : (u - 0.22) / 0.08));
        };
        QPainterPath path;
        for (int i = 0; i <= 200; ++i) {
            const double u = i / 200.0;
            const QPointF pt(left + u * w, bottom - wave(u) * h);
            if (i == 0)
                path.moveTo(pt);
            else
                path.lineTo(pt);
        }
        p.setPen(QPen(QColor(255, 0, 0), 2));
        p.drawPath(path);
        const double places[5] = {0.0, 0.22, 0.40, 0.52, 1.0};
        QFont f = font();
        f.setBold(true);
        p.setFont(f);
        for (int k = 0; k < 5; ++k) {
            const double u = places[k];
            const QPointF pt(left + u * w, bottom - wave(u) * h);
            const QColor c = ToQColor(PulseWavePlot::kMarkerColours[k]);
            p.setPen(QPen(c, 1));
            p.setBrush(c);
            p.drawEllipse(pt, 3.5, 3.5);
            const QString label = QString("B%1").arg(k + 1);
            const int tw = p.fontMetrics().horizontalAdvance(label);
            const double x = std::clamp(pt.x() - tw / 2.0, 0.0, double(width() - tw));
            const double y = k == 0 || k == 4 ? pt.y() + 12 : pt.y() - 6;
            p.drawText(QPointF(x, std::max(12.0, std::min(y, double(height() - 1)))), label);
        }
    }
};

} // namespace

TPulseIndexesForm::TPulseIndexesForm(QWidget* parent) : QWidget(parent), m_model(*GetPulseIndexes(true)) {
    setObjectName("PulseIndexesForm");
    m_container = new QWidget(this);
    m_container->setObjectName("ContainerPanel");
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(m_container);

    m_splitter = new QSplitter(Qt::Horizontal, m_container);
    m_splitter->setObjectName("Splitter1");
    m_splitter->setChildrenCollapsible(false);
    auto* pbPanel = new QWidget(m_splitter);
    pbPanel->setObjectName("PBPanel");
    pbPanel->setMinimumWidth(150);
    m_paintBox = new TPlotPaintBox(pbPanel);
    m_paintBox->setObjectName("MainPB");
    m_paintBox->setCursor(Qt::CrossCursor);
    m_paintBox->SetGraph(&m_plot.Graph());
    auto* pbLayout = new QVBoxLayout(pbPanel);
    pbLayout->setContentsMargins(0, 0, 0, 0);
    pbLayout->addWidget(m_paintBox);

    auto* controls = new QWidget(m_splitter);
    controls->setObjectName("ControlsPanel");
    controls->setMinimumWidth(150);
    auto* markers = new QGroupBox(ToQt(kPulseMarkersGroup), controls);
    markers->setObjectName("MarkersGroup");
    auto* scheme = new PulseScheme(markers);
    auto* buttonRow = new QHBoxLayout;
    for (int k = 0; k < 5; ++k) {
        auto* b = new QToolButton(markers);
        b->setObjectName(QString("B%1Button").arg(k + 1));
        b->setText(QString("B%1").arg(k + 1));
        b->setCheckable(true);
        b->setAutoRaise(false);
        b->setMinimumWidth(40);
        b->setStyleSheet(QString("QToolButton:checked { color: white; background: %1; }")
                             .arg(ToQColor(PulseWavePlot::kMarkerColours[k]).name()));
        connect(b, &QToolButton::toggled, this, [this, k](bool down) { ButtonToggled(k, down); });
        buttonRow->addWidget(b);
        m_buttons[k] = b;
    }
    auto* markersLayout = new QVBoxLayout(markers);
    markersLayout->addWidget(scheme);
    markersLayout->addLayout(buttonRow);

    auto* indexes = new QGroupBox(ToQt(kPulseIndexesGroup), controls);
    indexes->setObjectName("IndexesGroup");
    m_grid = new QTableWidget(0, 2, indexes);
    m_grid->setObjectName("ResSG");
    m_grid->setHorizontalHeaderLabels({ToQt(kPulseNameHeader), ToQt(kPulseValueHeader)});
    m_grid->verticalHeader()->setVisible(false);
    m_grid->verticalHeader()->setDefaultSectionSize(20);
    m_grid->horizontalHeader()->setDefaultSectionSize(110);
    // The names are long ("ИО, (B4-B5)/(B2-B1)*100%"): their column fits them, the values take the rest.
    m_grid->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_grid->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    m_grid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_grid->setSelectionMode(QAbstractItemView::NoSelection);
    m_grid->setWordWrap(false);
    m_grid->viewport()->setMouseTracking(true);
    m_grid->viewport()->installEventFilter(this);
    auto* indexesLayout = new QVBoxLayout(indexes);
    indexesLayout->addWidget(m_grid);

    auto* controlsLayout = new QVBoxLayout(controls);
    controlsLayout->setContentsMargins(4, 4, 4, 4);
    controlsLayout->addWidget(markers);
    controlsLayout->addWidget(indexes, 1);

    m_splitter->addWidget(pbPanel);
    m_splitter->addWidget(controls);
    m_splitter->setStretchFactor(0, 1);
    m_splitter->setStretchFactor(1, 0);
    // The wave gets the room; the controls about 430 pixels (taken as proportions until shown).
    m_splitter->setSizes({1000, 430});
    auto* layout = new QVBoxLayout(m_container);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_splitter);

    connect(m_paintBox, &TPlotPaintBox::Resized, this, [this] {
        ReleaseMarkers();
        Prepare();
    });
    connect(m_paintBox, &TPlotPaintBox::MousePressed, this, [this](QMouseEvent* e) {
        if (e->button() == Qt::LeftButton) MouseAt(int(e->position().x()));
    });
    connect(m_paintBox, &TPlotPaintBox::MouseMoved, this, [this](QMouseEvent* e) {
        if (e->buttons() & Qt::LeftButton) MouseAt(int(e->position().x()));
    });
    connect(m_paintBox, &TPlotPaintBox::MouseReleased, this, [this](QMouseEvent* e) {
        if (e->button() == Qt::LeftButton) Recompute();
    });
}

TPulseIndexesForm::~TPulseIndexesForm() = default;

void TPulseIndexesForm::Message(const QString& text) {
    QMessageBox::information(m_container->window(), QString::fromUtf8(kApplicationTitle), text);
}

bool TPulseIndexesForm::ShowIndexes() {
    const FragmentMarkers* f = GetFragmentMarkers(false);
    if (!f || !f->BothPlaced()) {
        Message(ToQt(kNoFragmentMessage));
        return false;
    }
    return ShowIndexes(f->FragmentStart(), f->FragmentEnd());
}

bool TPulseIndexesForm::ShowIndexes(double start, double end) {
    if (!m_model.SetFragment(start, end)) {
        m_model.Indexes().ClearTable();
        FillGrid();
        Message(ToQt(kNoFragmentMessage));
        return false;
    }
    if (!ReadableRecord()) {
        Message(ToQt(kNoRecordMessage));
        return false;
    }
    Prepare();
    Recompute();
    return true;
}

void TPulseIndexesForm::Prepare() {
    if (!m_model.HasFragment() || !m_model.Prepare(Record())) return;
    m_plot.Layout(&m_paintBox->Canvas(), m_paintBox->Resolution(), m_paintBox->ClientRect(), m_model);
    m_model.ReadWave(Record());
    m_plot.Draw(m_model);
    m_paintBox->update();
}

void TPulseIndexesForm::ReleaseMarkers() {
    m_model.Select(-1);
    for (QToolButton* b : m_buttons) {
        const QSignalBlocker block(b);
        b->setChecked(false);
    }
}

void TPulseIndexesForm::RenderTo(G2dCanvas* canvas, const G2dRect& rect, int resolution) {
    PulseWavePlot page;
    page.Layout(canvas, resolution, rect, m_model);
    page.Draw(m_model);
}

void TPulseIndexesForm::ButtonToggled(int k, bool down) {
    if (down) {
        // One marker at a time follows the mouse; the others stay where they stand.
        for (int j = 0; j < 5; ++j) {
            if (j == k) continue;
            const QSignalBlocker block(m_buttons[j]);
            m_buttons[j]->setChecked(false);
        }
        m_model.Select(k);
    } else if (m_model.Selected() == k) {
        m_model.Select(-1);
    }
}

void TPulseIndexesForm::MouseAt(int x) {
    if (m_model.Selected() < 0 || m_model.WaveTimes().empty()) return;
    m_model.MoveSelected(m_plot.TimeAtPixel(x));
    m_plot.DrawMarkers(m_model);
    m_paintBox->update();
}

void TPulseIndexesForm::Recompute() {
    m_model.Compute(Record().Metadata);
    FillGrid();
}

void TPulseIndexesForm::FillGrid() {
    const MVarArray& table = m_model.Table();
    const char16_t separator = m_model.Indexes().DecimalSeparator();
    m_grid->setRowCount(table.Count());
    int row = 0;
    ForEachParamRow(table, [&](const ParamRowView& r) {
        auto* name = new QTableWidgetItem(ToQt(r.Name()));
        const QString tip = ToQt(r.Description()) + "\n" + QString::fromUtf8("Норма: ") + ToQt(r.Limit());
        name->setToolTip(tip);
        auto* value = new QTableWidgetItem(ToQt(PulseIndexCellText(r.Value(), separator)));
        value->setToolTip(tip);
        m_grid->setItem(row, 0, name);
        m_grid->setItem(row, 1, value);
        ++row;
    });
}

bool TPulseIndexesForm::IsHeightCell(const QPoint& viewportPos) const {
    const QTableWidgetItem* item = m_grid->itemAt(viewportPos);
    return item && item->text() == ToQt(MString(PulseIndexes::kAskHeight));
}

bool TPulseIndexesForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_grid->viewport()) {
        if (event->type() == QEvent::MouseMove) {
            const auto* e = static_cast<QMouseEvent*>(event);
            if (IsHeightCell(e->position().toPoint()))
                m_grid->viewport()->setCursor(Qt::PointingHandCursor);
            else
                m_grid->viewport()->unsetCursor();
        } else if (event->type() == QEvent::MouseButtonPress) {
            const auto* e = static_cast<QMouseEvent*>(event);
            if (e->button() == Qt::LeftButton && IsHeightCell(e->position().toPoint())) {
                emit PatientInfoRequested();
                return true;
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}
