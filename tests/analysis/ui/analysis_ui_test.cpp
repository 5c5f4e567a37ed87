// The heart-rate view and the pulse-wave index view as widgets on the offscreen platform, on a
// record with a known wave: the fragment read from the viewer's markers, scrolling, dragging and
// zooming the heart-rate view; the five markers set with their buttons and the mouse and the index
// table read from the grid; the messages and the empty table of the faulty cases.

#include "analysis/ParamTable.h"
#include "analysis/PulseIndexes.h"
#include "analysis/ui/HeartRateFormUnit.h"
#include "analysis/ui/PulseIndexesFormUnit.h"
#include "app/AppState.h"
#include "storage/PGFiles.h"
#include "tests/viewing/ViewerTestUtil.h"
#include "tests/viewing/ui/WidgetTestUtil.h"
#include "viewing/FragmentMarkers.h"
#include "viewing/plot/qt/G2dQtCanvas.h"
#include "viewing/ui/PlotPaintBox.h"
#include "viewing/ui/QtText.h"

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <QToolButton>

#include <cmath>

namespace {

void SetFragment(double start, double end) {
    FragmentMarkers* f = GetFragmentMarkers(true);
    f->Get(FragmentEdge::kStart) = {true, false, start};
    f->Get(FragmentEdge::kEnd) = {true, false, end};
}

// Catches the next message box and says what it said.
struct NextMessage {
    QString text;
    NextMessage() {
        uitest::OnModal<QMessageBox>([this](QMessageBox* box) {
            text = box->text();
            box->accept();
        });
    }
};

class AnalysisUi : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.File("rec.pwv");
        viewtest::RecordPlan plan;
        plan.seconds = 62;
        plan.rate = 60;
        viewtest::WriteRecord(path, plan);
        ASSERT_TRUE(GetPGFiles(true)->Open(MString(path)));
        GetPGFiles()->IsolineCorrection = false;
        GetAppState(true)->CurrentRecordFile = MString(path);
        GetPulseIndexes(true)->ClearMarkers();
        GetPulseIndexes()->ClearTable();
    }
    void TearDown() override { GetPGFiles(true)->Close(); }

    testutil::TempDir dir;
    std::string path;
};

TEST_F(AnalysisUi, HeartRateViewScrollsDragsAndZooms) {
    THeartRateForm form;
    uitest::Host host(form.ContainerPanel(), 1400, 700);
    SetFragment(10.5, 50.2);
    ASSERT_TRUE(form.ShowFragment());
    EXPECT_DOUBLE_EQ(form.Model().Stats().mean, 60);
    EXPECT_DOUBLE_EQ(form.Model().WindowLength(), 5);

    // Both plots show the same 5 s.
    EXPECT_NEAR(form.SignalGraph().VisibleSpan(), 5, 0.05);
    EXPECT_NEAR(form.RateGraph().VisibleSpan(), form.SignalGraph().VisibleSpan(), 0.01);
    QScrollBar* bar = form.RecScrollBar();
    EXPECT_EQ(bar->minimum(), 10);
    EXPECT_EQ(bar->maximum(), int(50 - form.SignalGraph().VisibleSpan() / 2));
    // The first window: samples from the fragment's start, a beat every second labelled 60.
    EXPECT_DOUBLE_EQ(form.Window().left, 10.5);
    ASSERT_FALSE(form.Window().marks.empty());
    for (const sRateMark& m : form.Window().marks) EXPECT_EQ(m.whole, 60);
    EXPECT_EQ(int(form.Window().marks.size()), 5);
    EXPECT_FALSE(form.SignalGraph().Channel(0)->Points().empty());
    EXPECT_FALSE(form.RateGraph().Channel(0)->Points().empty());

    bar->setValue(30);
    EXPECT_DOUBLE_EQ(form.Window().left, 30);
    // To the end: the left edge stops half a window before it.
    bar->setValue(bar->maximum());
    bar->setValue(bar->maximum());
    EXPECT_LE(form.Window().left, 50.2 - form.SignalGraph().VisibleSpan() / 2 + 1e-9);

    // Dragging the lower plot 100 pixels to the right shows earlier data.
    bar->setValue(30);
    const double px = 1 / form.SignalGraph().Channel(0)->XScale();
    QTest::mousePress(form.RatePB(), Qt::LeftButton, {}, QPoint(500, 50));
    QMouseEvent move(QEvent::MouseMove, QPointF(600, 50), form.RatePB()->mapToGlobal(QPointF(600, 50)),
                     Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(form.RatePB(), &move);
    QTest::mouseRelease(form.RatePB(), Qt::LeftButton, {}, QPoint(600, 50));
    EXPECT_NEAR(form.Window().left, 30 - 100 * px, 1e-6);
    EXPECT_EQ(bar->value(), int(form.Window().left));

    // Zoomed out to 3: 15 s windows, the label says so.
    form.ZoomUpDown()->setValue(3);
    EXPECT_EQ(form.ZoomLabel()->text(), "3.0");
    EXPECT_DOUBLE_EQ(form.Model().WindowLength(), 15);
    EXPECT_NEAR(form.SignalGraph().VisibleSpan(), 15, 0.1);
}

TEST_F(AnalysisUi, HeartRateViewOfAShortFragmentCannotZoomAndAReversedOneIsRefused) {
    THeartRateForm form;
    uitest::Host host(form.ContainerPanel(), 1400, 700);
    SetFragment(20, 23);
    ASSERT_TRUE(form.ShowFragment());
    EXPECT_DOUBLE_EQ(form.Model().WindowLength(), 3);
    form.ZoomUpDown()->setValue(2);
    EXPECT_EQ(form.ZoomUpDown()->value(), 1);
    EXPECT_EQ(form.ZoomLabel()->text(), "1.0");

    for (const auto& f : {std::pair{30.0, 30.0}, std::pair{30.0, 25.0}}) {
        SetFragment(f.first, f.second);
        NextMessage message;
        EXPECT_FALSE(form.ShowFragment());
        EXPECT_EQ(message.text, ToQt(kNoFragmentMessage));
    }
}

// The paint box column whose time is nearest to t.
int PixelOf(TPulseIndexesForm& form, double t) {
    int best = 0;
    double bestDistance = 1e9;
    for (int x = 0; x < form.MainPB()->width(); ++x) {
        const double d = std::abs(form.Plot().TimeAtPixel(x) - t);
        if (d < bestDistance) {
            bestDistance = d;
            best = x;
        }
    }
    return best;
}

QString GridValue(QTableWidget* grid, const QString& name) {
    for (int r = 0; r < grid->rowCount(); ++r)
        if (grid->item(r, 0)->text() == name) return grid->item(r, 1)->text();
    return {};
}

TEST_F(AnalysisUi, PulseIndexViewSetsTheFiveMarkersAndFillsTheTable) {
    TPulseIndexesForm form;
    uitest::Host host(form.ContainerPanel(), 1400, 700);
    SetFragment(20, 40);
    ASSERT_TRUE(form.ShowIndexes());
    // Two beats at 60 per minute.
    EXPECT_DOUBLE_EQ(form.Model().End(), 22);
    EXPECT_EQ(form.ResSG()->rowCount(), 0) << "the markers stand nowhere yet";
    EXPECT_EQ(form.ResSG()->horizontalHeaderItem(0)->text(), QString::fromUtf8("Параметр"));
    EXPECT_EQ(form.ResSG()->horizontalHeaderItem(1)->text(), QString::fromUtf8("Значение"));

    const double times[5] = {20.05, 20.2, 20.4, 20.47, 20.95};
    for (int k = 0; k < 5; ++k) {
        form.MarkerButton(k)->click();
        EXPECT_TRUE(form.MarkerButton(k)->isChecked());
        for (int j = 0; j < 5; ++j) {
            if (j != k) {
                EXPECT_FALSE(form.MarkerButton(j)->isChecked());
            }
        }
        QTest::mouseClick(form.MainPB(), Qt::LeftButton, {}, QPoint(PixelOf(form, times[k]), 200));
    }
    const double pixel = 1 / form.Plot().Channel().XScale();
    for (int k = 0; k < 5; ++k) EXPECT_NEAR(form.Model().MarkerTime(k), times[k], pixel) << k;

    const MVarArray& table = form.Model().Table();
    ASSERT_GT(table.Count(), 0);
    EXPECT_EQ(form.ResSG()->rowCount(), table.Count());
    const char16_t sep = form.Model().Indexes().DecimalSeparator();
    const double b1 = form.Model().MarkerTime(0), b5 = form.Model().MarkerTime(4);
    EXPECT_EQ(GridValue(form.ResSG(), QString::fromUtf8("ДПВ=В5-В1, c")), ToQt(FormatFixed3(b5 - b1, sep)));
    // No height in the record: the stiffness index asks for it and the cell opens the patient form.
    EXPECT_EQ(GridValue(form.ResSG(), QString::fromUtf8("ИЖ, м/с")), QString::fromUtf8("Рост пациента?"));
    QSignalSpy asked(&form, &TPulseIndexesForm::PatientInfoRequested);
    for (int r = 0; r < form.ResSG()->rowCount(); ++r) {
        if (form.ResSG()->item(r, 1)->text() != QString::fromUtf8("Рост пациента?")) continue;
        const QRect cell = form.ResSG()->visualItemRect(form.ResSG()->item(r, 1));
        QTest::mouseMove(form.ResSG()->viewport(), cell.center());
        QMouseEvent hover(QEvent::MouseMove, cell.center(),
                          form.ResSG()->viewport()->mapToGlobal(cell.center()), Qt::NoButton, Qt::NoButton,
                          Qt::NoModifier);
        QApplication::sendEvent(form.ResSG()->viewport(), &hover);
        EXPECT_EQ(form.ResSG()->viewport()->cursor().shape(), Qt::PointingHandCursor);
        QTest::mouseClick(form.ResSG()->viewport(), Qt::LeftButton, {}, cell.center());
    }
    EXPECT_EQ(asked.count(), 1);

    // With a height stored, a release with no marker selected recomputes the table.
    form.MarkerButton(4)->click();
    EXPECT_EQ(form.Model().Selected(), -1);
    GetPGFiles()->Metadata.Value(u"PatHeight") = MString(u"170");
    QTest::mouseClick(form.MainPB(), Qt::LeftButton, {}, QPoint(PixelOf(form, 21.5), 200));
    EXPECT_NEAR(form.Model().MarkerTime(4), times[4], pixel) << "no marker moved";
    const double stiffness = 1.7 / (form.Model().MarkerTime(3) - form.Model().MarkerTime(1));
    EXPECT_EQ(GridValue(form.ResSG(), QString::fromUtf8("ИЖ, м/с")), QString::number(int(stiffness)));

    // Undocking releases the buttons.
    form.MarkerButton(2)->click();
    form.ReleaseMarkers();
    EXPECT_EQ(form.Model().Selected(), -1);
    for (int k = 0; k < 5; ++k) EXPECT_FALSE(form.MarkerButton(k)->isChecked());

    // The report draws the same wave on its own canvas.
    QImage page(800, 400, QImage::Format_RGB32);
    page.fill(Qt::white);
    G2dQtCanvas canvas(&page);
    form.RenderTo(&canvas, {0, 0, 800, 400}, 96);
    int red = 0;
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width(); ++x)
            if (page.pixel(x, y) == qRgb(255, 0, 0)) ++red;
    EXPECT_GT(red, 200);
}

TEST_F(AnalysisUi, PulseIndexViewRefusesAnEmptyFragmentAndForgetsOtherWaves) {
    TPulseIndexesForm form;
    uitest::Host host(form.ContainerPanel(), 1400, 700);
    SetFragment(20, 40);
    ASSERT_TRUE(form.ShowIndexes());
    const double times[5] = {20.05, 20.2, 20.4, 20.47, 20.95};
    for (int k = 0; k < 5; ++k) {
        form.MarkerButton(k)->click();
        QTest::mouseClick(form.MainPB(), Qt::LeftButton, {}, QPoint(PixelOf(form, times[k]), 200));
    }
    ASSERT_GT(form.ResSG()->rowCount(), 0);

    // Another fragment: the markers' times lie off its wave, so no values are read off it.
    SetFragment(45, 50);
    ASSERT_TRUE(form.ShowIndexes());
    EXPECT_EQ(form.ResSG()->rowCount(), 0);
    EXPECT_EQ(form.Model().Table().Count(), 0);

    for (const auto& f : {std::pair{30.0, 30.0}, std::pair{30.0, 29.0}}) {
        SetFragment(f.first, f.second);
        NextMessage message;
        EXPECT_FALSE(form.ShowIndexes());
        EXPECT_EQ(message.text, ToQt(kNoFragmentMessage));
    }
    GetFragmentMarkers()->Reset();
    NextMessage message;
    EXPECT_FALSE(form.ShowIndexes());
    EXPECT_EQ(message.text, ToQt(kNoFragmentMessage));
}

} // namespace
