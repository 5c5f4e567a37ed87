// The patient form's model on real record files: what it loads, what it stores, the record time
// in the local zone of that date, and the line ends of the notes.

#include "storage/PGFiles.h"
#include "tests/viewing/ViewerTestUtil.h"
#include "viewing/PatientInfoModel.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

namespace {

// Sets TZ for the test and puts the previous value back.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        const char* old = std::getenv("TZ");
        m_had = old != nullptr;
        if (old) m_old = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ScopedTimeZone() {
        if (m_had)
            ::setenv("TZ", m_old.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

private:
    bool m_had = false;
    std::string m_old;
};

class PatientInfo : public ::testing::Test {
protected:
    // A short record whose metadata holds the given entries.
    void Make(std::initializer_list<std::pair<const char16_t*, const char16_t*>> entries) {
        path = dir.File("rec.pwv");
        viewtest::RecordPlan plan;
        plan.seconds = 8;
        viewtest::WriteRecord(path, plan);
        PGFiles f;
        ASSERT_TRUE(f.Open(MString(path)));
        f.Metadata.Clear();
        for (const auto& e : entries) f.Metadata.Value(MString(e.first)) = MString(e.second);
        f.Close();
    }
    MAssocStrings Stored() {
        PGFiles f;
        EXPECT_TRUE(f.Open(MString(path), PGFiles::OpenMode::ReadOnly));
        return f.Metadata;
    }

    testutil::TempDir dir;
    std::string path;
    PGFiles record;
};

TEST(PatientTime, LocalTimeByTheRulesOfThatDate) {
    ScopedTimeZone zone("Europe/Kiev");
    // Midnight UTC at the start of 2020 is 2 o'clock in winter (UTC+2) ...
    EXPECT_EQ(LocalRecordTime(1577836800).ToUtf8(), "01.01.2020 2:00:00");
    // ... and in summer (UTC+3), whatever the date of showing.
    EXPECT_EQ(LocalRecordTime(1593561600).ToUtf8(), "01.07.2020 3:00:00");
    // The change itself: 2020-03-29 00:59:59 UTC is 02:59:59, a second later it is 04:00:00.
    EXPECT_EQ(LocalRecordTime(1585443599).ToUtf8(), "29.03.2020 2:59:59");
    EXPECT_EQ(LocalRecordTime(1585443600).ToUtf8(), "29.03.2020 4:00:00");
}

TEST(PatientTime, EpochAndUnrepresentableTimes) {
    ScopedTimeZone zone("UTC");
    EXPECT_EQ(LocalRecordTime(0).ToUtf8(), "01.01.1970 0:00:00");
    EXPECT_EQ(LocalRecordTime(INT64_MAX).ToUtf8(), "");
}

TEST(PatientNotes, LineEndsAreCrLfInTheFileAndLfInTheEditor) {
    const struct {
        const char16_t* stored;
        const char16_t* editor;
    } toEditor[] = {
        {u"a\r\nb", u"a\nb"}, {u"a\rb", u"a\nb"}, {u"a\nb", u"a\nb"}, {u"\r\n\r\n", u"\n\n"}, {u"", u""},
    };
    for (const auto& c : toEditor) EXPECT_TRUE(NoticeForEditor(MString(c.stored)).Equals(c.editor));
    const struct {
        const char16_t* editor;
        const char16_t* stored;
    } toFile[] = {
        {u"a\nb", u"a\r\nb"},
        {u"a\r\nb", u"a\r\nb"},
        {u"\n", u"\r\n"},
        {u"one line", u"one line"},
    };
    for (const auto& c : toFile) EXPECT_TRUE(NoticeForFile(MString(c.editor)).Equals(c.stored));
}

TEST_F(PatientInfo, LoadAddsTheSixKeysAfterTheStartMark) {
    ScopedTimeZone zone("Europe/Kiev");
    Make({{u"RecordStartT", u"1577836800"}});
    ASSERT_TRUE(record.Open(MString(path)));
    sPatientInfo info;
    ASSERT_TRUE(LoadPatientInfo(record, MString(path), info));
    EXPECT_EQ(info.timeText.ToUtf8(), "Время записи: 01.01.2020 2:00:00");
    for (const MString& f : info.fields) EXPECT_TRUE(f.IsEmpty());
    ASSERT_EQ(record.Metadata.Count(), 7);
    EXPECT_TRUE(record.Metadata.At(0).key.Equals(u"RecordStartT"));
    for (int i = 0; i < kPatientFieldCount; ++i) {
        EXPECT_TRUE(record.Metadata.At(i + 1).key.Equals(kPatientFields[i].key));
        EXPECT_TRUE(record.Metadata.At(i + 1).value.IsEmpty());
    }
    // They are stored at the next close.
    record.Close();
    EXPECT_EQ(Stored().Count(), 7);
}

TEST_F(PatientInfo, LoadOpensTheCurrentRecordWhenNothingIsOpen) {
    Make({{u"PatName", u"Иванов И. И."}, {u"PatNotice", u"строка 1\r\nстрока 2"}, {u"RecordStartT", u"0"}});
    sPatientInfo info;
    ASSERT_TRUE(LoadPatientInfo(record, MString(path), info));
    EXPECT_TRUE(record.IsOpen());
    EXPECT_TRUE(info.fields[0].Equals(u"Иванов И. И."));
    EXPECT_TRUE(info.fields[kPatientNoticeField].Equals(u"строка 1\nстрока 2"));

    // Nothing to open: empty fields and no time, and a failure.
    record.Close();
    EXPECT_FALSE(LoadPatientInfo(record, MString(dir.File("absent.pwv")), info));
    EXPECT_TRUE(info.fields[0].IsEmpty() && info.timeText.IsEmpty());
    EXPECT_FALSE(LoadPatientInfo(record, MString(), info));
}

TEST_F(PatientInfo, SaveStoresTheTextsUnchangedAndAtOnce) {
    Make({{u"RecordStartT", u"1577836800"}, {u"PatName", u"Петров"}});
    ASSERT_TRUE(record.Open(MString(path)));
    sPatientInfo info;
    ASSERT_TRUE(LoadPatientInfo(record, MString(path), info));
    info.fields[1] = MString(u" 42 ");
    info.fields[kPatientNoticeField] = MString(u"первая\nвторая");
    EXPECT_EQ(SavePatientInfo(record, MString(path), info), PatientSaveResult::kSaved);
    EXPECT_TRUE(record.IsOpen() && !record.IsWriting()) << "the record stays open for the viewer";

    MAssocStrings stored = Stored();
    EXPECT_TRUE(stored.Value(u"PatName").Equals(u"Петров"));
    EXPECT_TRUE(stored.Value(u"PatAge").Equals(u" 42 ")) << "blanks kept";
    EXPECT_TRUE(stored.Value(u"PatNotice").Equals(u"первая\r\nвторая"));
    EXPECT_TRUE(stored.Value(u"RecordStartT").Equals(u"1577836800"));
}

TEST_F(PatientInfo, SavingWithTheRecordClosedKeepsTheStoredData) {
    Make({{u"RecordStartT", u"1577836800"}, {u"PatName", u"Петров"}, {u"PatHeight", u"180"}});
    // The form was loaded while the record was open, then the record was closed (a recording
    // stopped, say): saving opens it again and stores what the form shows.
    ASSERT_TRUE(record.Open(MString(path)));
    sPatientInfo info;
    ASSERT_TRUE(LoadPatientInfo(record, MString(path), info));
    record.Close();
    info.fields[3] = MString(u"75");
    EXPECT_EQ(SavePatientInfo(record, MString(path), info), PatientSaveResult::kSaved);
    MAssocStrings stored = Stored();
    EXPECT_TRUE(stored.Value(u"PatName").Equals(u"Петров"));
    EXPECT_TRUE(stored.Value(u"PatHeight").Equals(u"180"));
    EXPECT_TRUE(stored.Value(u"PatWeight").Equals(u"75"));
}

TEST_F(PatientInfo, AFailedSaveSaysSo) {
    Make({{u"RecordStartT", u"1577836800"}});
    sPatientInfo info;
    info.fields[0] = MString(u"Сидоров");
    record.Close();
    EXPECT_EQ(SavePatientInfo(record, MString(dir.File("absent.pwv")), info), PatientSaveResult::kNoRecord);

    // The file vanished while it was open: the values cannot reach it.
    ASSERT_TRUE(record.Open(MString(path)));
    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_EQ(SavePatientInfo(record, MString(path), info), PatientSaveResult::kNotStored);
}

TEST_F(PatientInfo, ARecordBeingWrittenKeepsTheValuesUntilItCloses) {
    path = dir.File("new.pwv");
    ASSERT_TRUE(record.Create(MString(path)));
    sPatientInfo info;
    info.fields[0] = MString(u"Кузнецов");
    EXPECT_EQ(SavePatientInfo(record, MString(path), info), PatientSaveResult::kSaved);
    EXPECT_TRUE(record.IsWriting());
    EXPECT_TRUE(record.Metadata.Value(u"PatName").Equals(u"Кузнецов"));
}

} // namespace
