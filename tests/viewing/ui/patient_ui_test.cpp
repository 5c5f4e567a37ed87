// The patient form as a widget: loading the current record (also when the record object has it
// closed), saving typed texts, the record time in the local zone, and the message of a failed save.

#include "app/AppState.h"
#include "storage/PGFiles.h"
#include "tests/viewing/ViewerTestUtil.h"
#include "tests/viewing/ui/WidgetTestUtil.h"
#include "viewing/ui/PatientFormUnit.h"
#include "viewing/ui/QtText.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace {

class PatientUi : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "Europe/Kiev", 1);
        ::tzset();
        path = dir.File("rec.pwv");
        viewtest::RecordPlan plan;
        plan.seconds = 8;
        viewtest::WriteRecord(path, plan);
        PGFiles f;
        ASSERT_TRUE(f.Open(MString(path)));
        f.Metadata.Value(u"RecordStartT") = MString(u"1577836800");
        f.Metadata.Value(u"PatName") = MString(u"Иванов");
        f.Metadata.Value(u"PatNotice") = MString(u"давление\r\nповышено");
        f.Close();
        GetPGFiles(true)->Close();
        GetAppState(true)->CurrentRecordFile = MString(path);
    }
    void TearDown() override {
        GetPGFiles(true)->Close();
        ::unsetenv("TZ");
        ::tzset();
    }
    MAssocStrings Stored() {
        PGFiles f;
        EXPECT_TRUE(f.Open(MString(path), PGFiles::OpenMode::ReadOnly));
        return f.Metadata;
    }

    testutil::TempDir dir;
    std::string path;
    TPatientForm form;
};

TEST_F(PatientUi, LoadsTheClosedCurrentRecordAndSavesWhatWasTyped) {
    uitest::Host host(form.ContainerPanel(), 1200, 600);
    // The record object has nothing open (a recording was just stopped, say).
    ASSERT_TRUE(form.Load());
    EXPECT_EQ(form.Edit(0)->text(), QString::fromUtf8("Иванов"));
    EXPECT_EQ(form.PatNoticeMemo()->toPlainText(), QString::fromUtf8("давление\nповышено"));
    EXPECT_EQ(form.TimeStampLabel()->text(), QString::fromUtf8("Время записи: 01.01.2020 2:00:00"));
    EXPECT_TRUE(form.SaveButton()->isEnabled());

    QTest::keyClicks(form.Edit(1), " 42 ");
    QTest::keyClicks(form.Edit(2), "176");
    form.PatNoticeMemo()->setPlainText(QString::fromUtf8("строка 1\nстрока 2"));
    QTest::mouseClick(form.SaveButton(), Qt::LeftButton);
    EXPECT_EQ(form.StatusLabel()->text(), ToQt(kPatientSavedText));

    MAssocStrings stored = Stored();
    EXPECT_TRUE(stored.Value(u"PatName").Equals(u"Иванов"));
    EXPECT_TRUE(stored.Value(u"PatAge").Equals(u" 42 "));
    EXPECT_TRUE(stored.Value(u"PatHeight").Equals(u"176"));
    EXPECT_TRUE(stored.Value(u"PatNotice").Equals(u"строка 1\r\nстрока 2"));

    // The panel stays centred in a larger work area.
    host.Window().resize(1600, 900);
    QCoreApplication::processEvents();
    const QWidget* centring = form.ContainerPanel()->findChild<QWidget*>("CenteringPanel");
    ASSERT_NE(centring, nullptr);
    const QPoint mid = centring->geometry().center();
    EXPECT_NEAR(mid.x(), form.ContainerPanel()->width() / 2, 2);
    EXPECT_NEAR(mid.y(), form.ContainerPanel()->height() / 2, 2);
}

TEST_F(PatientUi, AFailedSaveSaysSoAndAMissingRecordCannotBeEdited) {
    uitest::Host host(form.ContainerPanel(), 1200, 600);
    ASSERT_TRUE(form.Load());
    ASSERT_EQ(::unlink(path.c_str()), 0);
    QString message;
    uitest::OnModal<QMessageBox>([&](QMessageBox* box) {
        message = box->text();
        box->accept();
    });
    form.SaveButtonClick();
    EXPECT_EQ(message, ToQt(kPatientNotStoredMessage));
    EXPECT_TRUE(form.StatusLabel()->text().isEmpty());

    // Shown again with the record gone: empty fields that cannot be saved over anything.
    GetPGFiles(true)->Close();
    EXPECT_FALSE(form.Load());
    EXPECT_TRUE(form.Edit(0)->text().isEmpty());
    EXPECT_FALSE(form.SaveButton()->isEnabled());
    EXPECT_FALSE(form.Edit(0)->isEnabled());
}

} // namespace
