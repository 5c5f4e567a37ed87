// The record viewer as a widget on the offscreen platform: opening a generated record through the
// open dialog, scrolling with the scroll bar and by dragging, placing both markers with the
// ribbon's buttons and the pop-up menu, importing a text file through the prompt, and the
// messages of a failed open or import (which keep what was shown).

#include "app/AppState.h"
#include "app/Commands.h"
#include "app/Settings.h"
#include "app/TextImport.h"
#include "core/FileUtils.h"
#include "core/Settings.h"
#include "storage/PGFiles.h"
#include "tests/viewing/ViewerTestUtil.h"
#include "tests/viewing/ui/WidgetTestUtil.h"
#include "viewing/FragmentMarkers.h"
#include "viewing/ui/PlotPaintBox.h"
#include "viewing/ui/QtText.h"
#include "viewing/ui/SampFreqQuestFormUnit.h"
#include "viewing/ui/ShowRecordFormUnit.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

#include <fstream>
#include <string>
#include <sys/stat.h>

namespace {

// The ribbon's two toggle buttons, as the main window would hand them in.
struct FakeButtons : IFragmentButtons {
    bool start = false, end = false;
    QString startCaption, endCaption;
    bool StartDown() const override { return start; }
    bool EndDown() const override { return end; }
    void SetStartDown(bool d) override { start = d; }
    void SetEndDown(bool d) override { end = d; }
    void SetCaptions(const MString& s, const MString& e) override {
        startCaption = ToQt(s);
        endCaption = ToQt(e);
    }
};

void Drag(QWidget* w, int fromX, int toX) {
    const QPointF from(fromX, 100), to(toX, 100);
    QMouseEvent press(QEvent::MouseButtonPress, from, w->mapToGlobal(from), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QMouseEvent move(QEvent::MouseMove, to, w->mapToGlobal(to), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, to, w->mapToGlobal(to), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(w, &release);
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Numbers of a pulse wave at 100 Hz for `seconds`.
std::string PulseNumbers(double seconds) {
    std::string s;
    for (int i = 0; i < int(seconds * 100); ++i)
        s += std::to_string(int(1000 * viewtest::Pulse(i * 0.01, 70))) + "\n";
    return s;
}

class ViewerUi : public ::testing::Test {
protected:
    void SetUp() override {
        SetSettingsFilePath(MString(dir.File("Ini.bin")));
        GetSettings(true)->Clear();
        GetPGFiles(true)->Close();
        GetPGFiles(true)->IsolineCorrection = false;
        GetAppState(true)->CurrentRecordFile.Clear();
        GetFragmentMarkers(true)->Reset();
        form.SetFragmentButtons(&buttons);
    }
    void TearDown() override { GetPGFiles(true)->Close(); }

    std::string Record(const std::string& name, double seconds = 62) {
        const std::string path = dir.File(name);
        viewtest::RecordPlan plan;
        plan.seconds = seconds;
        viewtest::WriteRecord(path, plan);
        return path;
    }
    // Opens path through the "OpenRecord" dialog.
    bool OpenThroughDialog(const std::string& path) {
        uitest::OnModal<QFileDialog>([path](QFileDialog* d) {
            EXPECT_EQ(d->windowTitle(), "OpenRecord");
            EXPECT_TRUE(d->nameFilters().front().contains("*.pwv *.txt *.csv"));
            d->selectFile(QString::fromStdString(path));
            QMetaObject::invokeMethod(d, "accept");
        });
        return form.OpenRecord();
    }
    // Answers the rate prompt by typing `typed` (after emptying the field), then "Ok".
    void AnswerPrompt(const QString& typed, QString* shownAfterTyping = nullptr) {
        uitest::OnModal<TSampFQuestForm>([typed, shownAfterTyping](TSampFQuestForm* f) {
            EXPECT_EQ(f->windowTitle(), QString::fromUtf8("Частота дискретизации"));
            EXPECT_EQ(f->FEdit()->text(), "60");
            f->FEdit()->clear();
            QTest::keyClicks(f->FEdit(), typed);
            if (shownAfterTyping) *shownAfterTyping = f->FEdit()->text();
            f->OkButton()->click();
        });
    }
    MString Current() { return GetAppState(true)->CurrentRecordFile; }

    testutil::TempDir dir;
    FakeButtons buttons;
    TShowRecordForm form;
};

TEST_F(ViewerUi, OpensAGeneratedRecordScrollsAndDrags) {
    uitest::Host host(form.ContainerPanel());
    const std::string path = Record("rec.pwv");
    ASSERT_TRUE(OpenThroughDialog(path));
    EXPECT_EQ(Current().ToUtf8(), path);
    EXPECT_TRUE(GetPGFiles()->IsOpen());

    QScrollBar* bar = form.RecScrollBar();
    EXPECT_EQ(bar->minimum(), 3);
    EXPECT_EQ(bar->maximum(), int(int(GetPGFiles()->EndTime()) - form.Model().Graph().VisibleSpan()));
    EXPECT_EQ(bar->value(), 3);
    EXPECT_TRUE(bar->isEnabled());
    // The plot fills the paint box and shows the record's start.
    EXPECT_EQ(form.Model().Graph().FrameWidth(), form.MainPB()->width());
    EXPECT_NEAR(form.Model().WindowStart(), GetPGFiles()->StartTime(), 1e-9);
    // The record went to the recent list.
    EXPECT_EQ(GetSettings()->Find(MVariant(u"RecentFile0"))->Value().AsString().ToUtf8(), path);

    // Scrolling shows the window at the bar's position.
    bar->setValue(20);
    EXPECT_DOUBLE_EQ(form.Model().WindowStart(), 20);
    bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_DOUBLE_EQ(form.Model().WindowStart(), 21);

    // Dragging 50 pixels to the right shows earlier data; the bar follows without redrawing.
    const double left = form.Model().Channel().LeftEdge();
    Drag(form.MainPB(), 600, 650);
    EXPECT_NEAR(form.Model().Channel().LeftEdge(), left - 49 / form.Model().Channel().XScale(), 0.005);
    EXPECT_EQ(bar->value(), int(form.Model().Channel().LeftEdge()));
    // A 3-pixel wobble does nothing.
    const double now = form.Model().Channel().LeftEdge();
    Drag(form.MainPB(), 600, 603);
    EXPECT_EQ(form.Model().Channel().LeftEdge(), now);

    // A wider window lays the plot out again.
    host.Window().resize(1400, 600);
    QCoreApplication::processEvents();
    EXPECT_EQ(form.Model().Graph().FrameWidth(), form.MainPB()->width());
    EXPECT_EQ(form.Model().Graph().FrameHeight(), form.MainPB()->height());
}

TEST_F(ViewerUi, PlacesBothMarkersWithTheButtonsAndThePopup) {
    uitest::Host host(form.ContainerPanel());
    ASSERT_TRUE(form.OpenFile(MString(Record("rec.pwv"))));
    form.RecScrollBar()->setValue(10);
    // The start button pressed on the ribbon.
    buttons.start = true;
    form.PlaceStartMarker();
    form.RecScrollBar()->setValue(14);
    buttons.start = false;
    form.PlaceStartMarker();
    const double start = form.FragmentStart();
    EXPECT_NEAR(start, 14 + form.Model().Graph().VisibleSpan() / 2, 0.02);
    EXPECT_EQ(buttons.startCaption, ToQt(MString::FormatDuration(start)));

    // "Маркер конца в текущую позицию" at 30 s, then scrolled on and fixed by undocking.
    form.RecScrollBar()->setValue(30);
    QMenu* menu = form.PopupMenu();
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_EQ(menu->actions()[0]->text(), QString::fromUtf8("Маркер начала в текущую позицию"));
    menu->actions()[1]->trigger();
    EXPECT_TRUE(buttons.end);
    form.RecScrollBar()->setValue(33);
    form.FixMarkers();
    EXPECT_FALSE(buttons.start || buttons.end);
    const FragmentMarkers& f = *GetFragmentMarkers();
    ASSERT_TRUE(f.IsValid());
    EXPECT_EQ(f.FragmentStart(), start);
    EXPECT_NEAR(f.FragmentEnd(), 33 + form.Model().Graph().VisibleSpan() / 2, 0.02);
    EXPECT_EQ(buttons.endCaption, ToQt(MString::FormatDuration(f.FragmentEnd())));
    EXPECT_TRUE(form.Model().StartMarker().visible && form.Model().EndMarker().visible);
}

TEST_F(ViewerUi, ImportsATextFileThroughThePrompt) {
    uitest::Host host(form.ContainerPanel());
    const std::string text = dir.File("wave.txt");
    WriteText(text, PulseNumbers(30));
    QString shown;
    AnswerPrompt("12a", &shown);
    // "12a" is left as "12" while typing; 12 Hz makes 30 s of numbers 250 s long.
    ASSERT_TRUE(OpenThroughDialog(text));
    EXPECT_EQ(shown, "12");
    EXPECT_EQ(Current().ToUtf8(), dir.File("wave.pwv"));
    ASSERT_TRUE(GetPGFiles()->IsOpen());
    EXPECT_NEAR(GetPGFiles()->EndTime(), 3000 / 12.0, 4);
    EXPECT_EQ(form.RecScrollBar()->minimum(), int(GetPGFiles()->StartTime()));

    // "5" is no rate: the field falls back to 100.
    uitest::OnModal<QMessageBox>([](QMessageBox* box) {
        EXPECT_TRUE(box->text().contains("wave.pwv"));
        box->button(QMessageBox::Yes)->click();
    });
    AnswerPrompt("5");
    ASSERT_TRUE(form.OpenFile(MString(text)));
    EXPECT_NEAR(GetPGFiles()->EndTime(), 30, 4);
}

TEST_F(ViewerUi, TwelveNumbersAtSixHertzFailWithTheMessage) {
    uitest::Host host(form.ContainerPanel());
    const std::string rec = Record("rec.pwv");
    ASSERT_TRUE(form.OpenFile(MString(rec)));
    form.RecScrollBar()->setValue(25);
    const std::string text = dir.File("few.csv");
    WriteText(text, "10; 12; 15; 20; 18; 11; 13; 17; 19; 14; 16; 12;\n");
    AnswerPrompt("6");
    QString message;
    // The message follows the prompt.
    QTimer::singleShot(0, [&] {
        uitest::OnModal<QMessageBox>([&](QMessageBox* box) {
            message = box->text();
            box->accept();
        });
    });
    EXPECT_FALSE(form.OpenFile(MString(text)));
    EXPECT_EQ(FromQt(message).ToUtf8(), MString(kImportFailedMessage).ToUtf8());
    // What was shown stays: the record, its window, its place in the settings.
    EXPECT_EQ(Current().ToUtf8(), rec);
    EXPECT_TRUE(GetPGFiles()->IsOpen());
    EXPECT_EQ(GetPGFiles()->Path().ToUtf8(), rec);
    EXPECT_EQ(form.RecScrollBar()->value(), 25);
    EXPECT_FALSE(FileExists(MString(dir.File("few.pwv"))));
}

TEST_F(ViewerUi, AnImportDoesNotReplaceARecordUnlessAskedTo) {
    uitest::Host host(form.ContainerPanel());
    const std::string rec = Record("wave.pwv");
    struct stat before {};
    ::stat(rec.c_str(), &before);
    ASSERT_TRUE(form.OpenFile(MString(rec)));
    const std::string text = dir.File("wave.txt");
    WriteText(text, PulseNumbers(20));
    QString question;
    uitest::OnModal<QMessageBox>([&](QMessageBox* box) {
        question = box->text();
        box->button(QMessageBox::No)->click();
    });
    EXPECT_FALSE(form.OpenFile(MString(text)));
    EXPECT_TRUE(question.contains("wave.pwv") && question.contains("wave.txt"));
    struct stat after {};
    ::stat(rec.c_str(), &after);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(Current().ToUtf8(), rec);
    EXPECT_TRUE(GetPGFiles()->IsOpen());
}

TEST_F(ViewerUi, AFileThatCannotBeOpenedKeepsWhatWasShown) {
    uitest::Host host(form.ContainerPanel());
    const std::string rec = Record("rec.pwv");
    ASSERT_TRUE(form.OpenFile(MString(rec)));
    form.RecScrollBar()->setValue(12);
    buttons.start = true;
    form.PlaceStartMarker();
    const double start = form.FragmentStart();

    // "Открыть" closes the record before the viewer asks for the file; a folder with a record's
    // name cannot be opened as a file.
    GetPGFiles()->Close();
    const std::string folder = dir.File("folder.PWV");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    QString message;
    uitest::OnModal<QMessageBox>([&](QMessageBox* box) {
        message = box->text();
        box->accept();
    });
    EXPECT_FALSE(form.OpenFile(MString(folder)));
    EXPECT_TRUE(message.startsWith(ToQt(kOpenFailedMessage)));
    EXPECT_EQ(Current().ToUtf8(), rec);
    EXPECT_EQ(GetPGFiles()->Path().ToUtf8(), rec);
    EXPECT_EQ(form.RecScrollBar()->value(), 12);
    EXPECT_EQ(form.FragmentStart(), start);
    EXPECT_TRUE(GetFragmentMarkers()->Start().placed);

    // Cancelling the dialog goes back to the record too.
    GetPGFiles()->Close();
    uitest::OnModal<QFileDialog>([](QFileDialog* d) { d->reject(); });
    EXPECT_FALSE(form.OpenRecord());
    EXPECT_EQ(GetPGFiles()->Path().ToUtf8(), rec);
    EXPECT_TRUE(GetPGFiles()->IsOpen());
}

TEST_F(ViewerUi, ShowCurrentOpensTheCurrentRecordWithHalfAViewToSpare) {
    uitest::Host host(form.ContainerPanel());
    const std::string rec = Record("rec.pwv");
    GetAppState(true)->CurrentRecordFile = MString(rec);
    form.ShowCurrent();
    ASSERT_TRUE(GetPGFiles()->IsOpen());
    EXPECT_EQ(form.RecScrollBar()->maximum(),
              int(int(GetPGFiles()->EndTime()) - form.Model().Graph().VisibleSpan() / 2));

    // The isoline switch redraws the window at the end 2 s earlier.
    form.RecScrollBar()->setValue(form.RecScrollBar()->maximum());
    GetPGFiles()->IsolineCorrection = true;
    form.IsolineCorrectionChanged();
    EXPECT_NEAR(form.Model().WindowStart(), GetPGFiles()->EndTime() - 2 - form.Model().Graph().VisibleSpan(),
                1e-9);
    GetPGFiles()->IsolineCorrection = false;

    // A recent file resets the fragment and the scroll bar.
    buttons.start = true;
    form.PlaceStartMarker();
    form.ResetFragment();
    EXPECT_FALSE(GetFragmentMarkers()->Start().placed || buttons.start);
    EXPECT_EQ(buttons.startCaption, "00:00:00");
    form.RecordOpened();
    EXPECT_EQ(form.RecScrollBar()->value(), 3);
}

} // namespace
