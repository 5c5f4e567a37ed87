#include "analysis/DiagnoseManager.h"
#include "analysis/ParamTable.h"
#include "core/FileUtils.h"
#include "core/MStream.h"
#include "storage/MAssocStrings.h"

#include "tests/analysis/AnalysisTestUtil.h"
#include "tests/common/Golden.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

int64_t g_now = 1'500'000'000;
int64_t FakeNow() {
    return g_now;
}

// A limits tree from (parameter, min text, max text); empty texts are no bound.
struct Bound {
    const char16_t* parameter;
    const char16_t* min;
    const char16_t* max;
};
MVarArray Limits(std::initializer_list<Bound> bounds) {
    MVarArray limits;
    for (const Bound& b : bounds) {
        DiagnoseManager::AddLimitBound(limits, MString(b.parameter), false, MString(b.min));
        DiagnoseManager::AddLimitBound(limits, MString(b.parameter), true, MString(b.max));
    }
    return limits;
}

// A manager whose clock is fixed and whose folders are temporary.
class DiagnoseTest : public ::testing::Test {
protected:
    DiagnoseTest() {
        m.SetWallClock(FakeNow);
        m.SetFolders({dir.Folder() + MString(u"program/"), dir.Folder() + MString(u"user/")});
        ForceFolders(m.Folders().program);
        ForceFolders(m.Folders().user);
    }

    int32_t Add(const char16_t* name, const char16_t* des, const MVarArray& limits) {
        const int32_t id = m.AddNew();
        ++g_now;
        EXPECT_TRUE(m.SetDiagnosis(id, MString(name), MString(des), limits));
        return id;
    }

    void SetCurrent(const char16_t* name, const MVariant& value) {
        m.CurrentValues().Item(MVariant(name)).Value().Assign(value);
    }

    MString NameOf(int32_t id) {
        const MVarArray* d = m.Database().Find(MVariant(id));
        return d && d->Find(MVariant(u"Name")) ? d->Find(MVariant(u"Name"))->Value().AsString() : MString();
    }

    atest::TempDir dir;
    DiagnoseManager m;
};

const std::u16string kNoResult = u"Автоматическая диагностика результатов не дала.";

} // namespace

TEST(DiagnoseSchema, HoldsTheMatchingParametersSortedWithEmptyValues) {
    DiagnoseManager m;
    const MVarArray& schema = m.Schema();
    ASSERT_EQ(schema.Count(), DiagnoseManager::kSchemaSize);
    for (int i = 0; i < schema.Count(); ++i) {
        EXPECT_EQ(schema.Child(i).Value().GetType(), MVariant::kString);
        EXPECT_TRUE(schema.Child(i).Value().AsString().IsEmpty());
        if (i > 0) {
            EXPECT_TRUE(schema.Child(i - 1).Key().Less(schema.Child(i).Key()));
        }
    }
    for (const char16_t* name : {u"Возраст, лет", u"ИО, (B4-B5)/(B2-B1)*100%", u"ДПВ=В5-В1, c", u"ULF, %"})
        EXPECT_NE(schema.Find(MVariant(name)), nullptr) << MString(name).ToUtf8();
    m.BuildSchema();
    EXPECT_EQ(m.Schema().Count(), DiagnoseManager::kSchemaSize);
}

TEST_F(DiagnoseTest, SavedFileHasTheTreeFileLayout) {
    g_now = 1'500'000'000;
    Add(u"X", u"Y", Limits({{u"Mo, мс", u"700", u""}}));
    const std::string path = dir.File("one.ddb");
    ASSERT_TRUE(m.Save(MString(path)));
    // Fewer than 200 image bytes: written plain, the int32 length first.
    const Bytes image = {
        0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
        0x01, 0x00, 0x00, 0x00, 0x00, 0x2F, 0x68, 0x59, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x44, 0x00, 0x65, 0x00, 0x73, 0x00, 0x00, 0x00,
        0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x59, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
        0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x4C, 0x00, 0x69, 0x00, 0x6D, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00,
        0x4D, 0x00, 0x6F, 0x00, 0x2C, 0x00, 0x20, 0x00, 0x3C, 0x04, 0x41, 0x04, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x4D, 0x00,
        0x69, 0x00, 0x6E, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0xBC, 0x02, 0x00, 0x00, 0x00, 0x00,
        0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x4E, 0x00, 0x61, 0x00, 0x6D, 0x00,
        0x65, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x58, 0x00, 0x00, 0x00,
    };
    Bytes expected = {0xB0, 0x00, 0x00, 0x00};
    expected.insert(expected.end(), image.begin(), image.end());
    EXPECT_TRUE(golden::Bytes("ddb_one_diagnosis", expected, ReadBytes(path)));

    // It loads back into a fresh manager.
    DiagnoseManager other;
    ASSERT_TRUE(other.Import(MString(path)));
    const MVarArray* lim = other.Database().Find(MVariant(int32_t(1'500'000'000)));
    ASSERT_NE(lim, nullptr);
    EXPECT_EQ(lim->Find(MVariant(u"Lim"))->Find(MVariant(u"Mo, мс"))->Find(MVariant(u"Min"))->Value().AsInt(),
              700);
}

TEST_F(DiagnoseTest, BoundsTypedIntoTheEditor) {
    MVarArray limits;
    struct Case {
        const char16_t* text;
        bool stored;
        MVariant::Type type;
        double value;
    };
    const Case cases[] = {
        {u"1,5", true, MVariant::kDouble, 1.5}, {u"700", true, MVariant::kInt, 700},
        {u" 2.0 ", true, MVariant::kInt, 2},    {u"-0,25", true, MVariant::kDouble, -0.25},
        {u"abc", false, MVariant::kEmpty, 0},   {u"", false, MVariant::kEmpty, 0},
        {u"1,5,2", false, MVariant::kEmpty, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(MString(c.text).ToUtf8());
        MVarArray l;
        EXPECT_EQ(DiagnoseManager::AddLimitBound(l, MString(u"MxRMn"), false, MString(c.text)), c.stored);
        EXPECT_EQ(l.Count(), c.stored ? 1 : 0);
        if (!c.stored) continue;
        const MVariant& v = l.Find(MVariant(u"MxRMn"))->Find(MVariant(u"Min"))->Value();
        EXPECT_EQ(v.GetType(), c.type);
        EXPECT_EQ(v.AsDouble(), c.value);
    }
    // "1,5" and "700" as bounds of a diagnosis: inclusive.
    Add(u"A", u"a", Limits({{u"MxRMn", u"1,5", u""}, {u"Mo, мс", u"", u"700"}}));
    SetCurrent(u"MxRMn", MVariant(1.5));
    SetCurrent(u"Mo, мс", MVariant(int32_t(700)));
    EXPECT_EQ(m.Diagnose().Str(), u"{A} a");
    SetCurrent(u"MxRMn", MVariant(1.49));
    EXPECT_EQ(m.Diagnose().Str(), kNoResult);
}

TEST_F(DiagnoseTest, MatchingRules) {
    struct Case {
        const char* what;
        Bound bound;
        MVariant value; // current value; empty variant = no current value at all
        bool match;
    };
    const Case cases[] = {
        {"max only: below", {u"RMSSD, мс", u"", u"100"}, MVariant(int32_t(-5)), true},
        {"max only: equal", {u"RMSSD, мс", u"", u"100"}, MVariant(int32_t(100)), true},
        {"max only: above", {u"RMSSD, мс", u"", u"100"}, MVariant(100.5), false},
        {"min only: equal", {u"Amo", u"0,5", u""}, MVariant(0.5), true},
        {"min only: below", {u"Amo", u"0,5", u""}, MVariant(0.49), false},
        {"both: inside", {u"Mo, мс", u"700", u"1100"}, MVariant(int32_t(900)), true},
        {"both: above", {u"Mo, мс", u"700", u"1100"}, MVariant(int32_t(1101)), false},
        {"no value", {u"Mo, мс", u"700", u""}, MVariant(), false},
        {"an empty text value", {u"Возраст, лет", u"18", u""}, MVariant(u""), false},
        {"an int against a double bound", {u"ИН(SI), о.е.", u"49,5", u""}, MVariant(int32_t(50)), true},
        // A text value against a number compares as text: "Р..." sorts after "5" and after "9".
        {"text against a lower bound", {u"ИЖ, м/с", u"5", u""}, MVariant(u"Рост пациента?"), true},
        {"text against an upper bound", {u"ИЖ, м/с", u"", u"9"}, MVariant(u"Рост пациента?"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m.Database().Clear();
        m.CurrentValues().Clear();
        Add(u"D", u"d", Limits({c.bound}));
        if (!c.value.IsEmpty()) SetCurrent(c.bound.parameter, c.value);
        EXPECT_EQ(m.Diagnose().Str() == u"{D} d", c.match) << m.Diagnose().ToUtf8();
    }
}

TEST_F(DiagnoseTest, BoundsThatAreEmptyOrMissingDoNotLimit) {
    MVarArray limits;
    MVarArray& p = limits.Item(MVariant(u"Mo, мс"));
    p.Item(MVariant(u"Min")); // present, empty value
    p.Item(MVariant(u"Max")).Value().Assign(MVariant(u""));
    Add(u"E", u"e", limits);
    SetCurrent(u"Mo, мс", MVariant(int32_t(5000)));
    EXPECT_EQ(m.Diagnose().Str(), u"{E} e");
}

TEST_F(DiagnoseTest, ProposalText) {
    EXPECT_EQ(m.Diagnose().Str(), kNoResult); // empty database
    Add(u"Без пределов", u"x", MVarArray());
    EXPECT_EQ(m.Diagnose().Str(), kNoResult); // a diagnosis without limits never matches

    Add(u"A", u"dA", Limits({{u"PNN50, %", u"10", u""}}));
    Add(u"C", u"dC", Limits({{u"PNN50, %", u"", u"5"}}));
    Add(u"B", u"dB", Limits({{u"PNN50, %", u"", u"40"}, {u"Amo", u"0,1", u""}}));
    SetCurrent(u"PNN50, %", MVariant(int32_t(20)));
    SetCurrent(u"Amo", MVariant(0.3));
    // Creation (id) order, CR LF between entries, none after the last.
    EXPECT_EQ(m.Diagnose().Str(), u"{A} dA\r\n{B} dB");
    SetCurrent(u"Amo", MVariant(0.05)); // B's second limit fails
    EXPECT_EQ(m.Diagnose().Str(), u"{A} dA");
}

TEST_F(DiagnoseTest, AddSetDelete) {
    g_now = 1'600'000'000;
    const int32_t a = m.AddNew();
    EXPECT_EQ(a, 1'600'000'000);
    EXPECT_EQ(NameOf(a).Str(), u"НОВЫЙ ДИАГНОЗ");
    ASSERT_TRUE(m.SetDiagnosis(a, MString(u"Имя"), MString(u"Описание"), Limits({{u"Amo", u"1", u""}})));
    // Within the same second: the same id; only the name is reset.
    EXPECT_EQ(m.AddNew(), a);
    EXPECT_EQ(m.Database().Count(), 1);
    EXPECT_EQ(NameOf(a).Str(), u"НОВЫЙ ДИАГНОЗ");
    EXPECT_NE(m.Database().Find(MVariant(a))->Find(MVariant(u"Lim"))->Find(MVariant(u"Amo")), nullptr);

    ++g_now;
    const int32_t b = m.AddNew();
    EXPECT_EQ(b, a + 1);
    EXPECT_FALSE(m.SetDiagnosis(12345, MString(u"n"), MString(u"d"), MVarArray()));
    EXPECT_EQ(m.Database().Count(), 2);
    // SetDiagnosis replaces the limits as a whole.
    ASSERT_TRUE(m.SetDiagnosis(a, MString(u"Имя"), MString(u"Описание"), Limits({{u"Mo, мс", u"1", u""}})));
    const MVarArray* lim = m.Database().Find(MVariant(a))->Find(MVariant(u"Lim"));
    EXPECT_EQ(lim->Count(), 1);
    EXPECT_NE(lim->Find(MVariant(u"Mo, мс")), nullptr);

    m.Delete(a);
    m.Delete(999); // absent: nothing happens
    EXPECT_EQ(m.Database().Count(), 1);
    EXPECT_EQ(m.Database().Child(0).Key().AsInt(), b);
}

TEST_F(DiagnoseTest, ImportReplacesEntriesWithTheSameIdCompletely) {
    g_now = 1'700'000'000;
    const int32_t a = Add(u"Старое", u"старое", Limits({{u"Amo", u"1", u""}, {u"Mo, мс", u"2", u""}}));
    const int32_t keep = Add(u"Другое", u"другое", Limits({{u"Amo", u"1", u""}}));

    DiagnoseManager other;
    other.SetWallClock(FakeNow);
    g_now = a;
    ASSERT_EQ(other.AddNew(), a);
    ASSERT_TRUE(other.SetDiagnosis(a, MString(u"Новое"), MString(u"новое"), Limits({{u"MxRMn", u"", u"3"}})));
    g_now = 1'800'000'000;
    const int32_t added = other.AddNew();
    const std::string path = dir.File("import.ddb");
    ASSERT_TRUE(other.Save(MString(path)));

    EXPECT_FALSE(m.Import(dir.Path("missing.ddb")));
    EXPECT_EQ(m.Database().Count(), 2);
    ASSERT_TRUE(m.Import(MString(path)));
    EXPECT_EQ(m.Database().Count(), 3);
    EXPECT_EQ(NameOf(a).Str(), u"Новое");
    const MVarArray* lim = m.Database().Find(MVariant(a))->Find(MVariant(u"Lim"));
    ASSERT_EQ(lim->Count(), 1); // the old limits are gone
    EXPECT_NE(lim->Find(MVariant(u"MxRMn")), nullptr);
    EXPECT_EQ(NameOf(keep).Str(), u"Другое");
    EXPECT_EQ(NameOf(added).Str(), u"НОВЫЙ ДИАГНОЗ");
}

TEST_F(DiagnoseTest, DamagedFilesMergeWhatIsSound) {
    g_now = 1'700'000'000;
    for (int i = 0; i < 6; ++i) Add(u"Диагноз", u"описание", Limits({{u"Amo", u"1", u""}}));
    MStream image;
    ASSERT_TRUE(m.Database().SaveImage(image));
    const int32_t length = int32_t(image.GetSize());
    const Bytes data(image.Data(), image.Data() + length);

    // A plain file cut in the fourth diagnosis: three whole ones and the start of the fourth.
    Bytes plain = {uint8_t(length), uint8_t(length >> 8), 0, 0};
    plain.insert(plain.end(), data.begin(), data.begin() + length * 3 / 5);
    WriteBytes(dir.File("cut.ddb"), plain);
    DiagnoseManager a;
    ASSERT_TRUE(a.Import(dir.Path("cut.ddb")));
    EXPECT_GE(a.Database().Count(), 3);
    EXPECT_LT(a.Database().Count(), 6);

    // A packed file with a damaged byte fails its checks: nothing is merged.
    const std::string packed = dir.File("packed.ddb");
    ASSERT_TRUE(m.Save(MString(packed)));
    Bytes bytes = ReadBytes(packed);
    ASSERT_LT(int32_t(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24), 0); // packed
    bytes[bytes.size() / 2] ^= 0x5A;
    WriteBytes(packed, bytes);
    DiagnoseManager b;
    EXPECT_TRUE(b.Import(MString(packed)));
    EXPECT_EQ(b.Database().Count(), 0);
}

TEST_F(DiagnoseTest, UserDatabaseOverridesTheShippedOne) {
    // Shipped: two diagnoses.
    g_now = 1'000;
    const int32_t s1 = Add(u"Поставка 1", u"s1", Limits({{u"Amo", u"1", u""}}));
    const int32_t s2 = Add(u"Поставка 2", u"s2", Limits({{u"Amo", u"1", u""}}));
    ASSERT_TRUE(m.Save(m.Folders().program + MString(kShippedDatabase)));

    // No user database yet: the shipped entries load.
    m.LoadDatabase();
    EXPECT_EQ(m.Database().Count(), 2);

    // Edit one, add one, save as the user's.
    ASSERT_TRUE(m.SetDiagnosis(s1, MString(u"Правка"), MString(u"u1"), Limits({{u"Mo, мс", u"1", u""}})));
    g_now = 5'000;
    m.AddNew();
    ASSERT_TRUE(m.SaveUserDatabase());
    m.LoadDatabase();
    EXPECT_EQ(m.Database().Count(), 3);
    EXPECT_EQ(NameOf(s1).Str(), u"Правка");

    // Deleting a shipped entry brings it back on reload; deleting the user's own is final.
    m.Delete(s2);
    m.Delete(5'000);
    ASSERT_TRUE(m.SaveUserDatabase());
    m.LoadDatabase();
    EXPECT_EQ(m.Database().Count(), 2);
    EXPECT_EQ(NameOf(s2).Str(), u"Поставка 2");
    EXPECT_EQ(m.Database().Find(MVariant(int32_t(5'000))), nullptr);

    // No folders at all: nothing loads, nothing is saved.
    DiagnoseManager none;
    none.SetFolders({MString(), MString()});
    none.LoadDatabase();
    EXPECT_EQ(none.Database().Count(), 0);
    EXPECT_FALSE(none.SaveUserDatabase());
}

TEST_F(DiagnoseTest, SaveToAnUnwritablePlaceFails) {
    Add(u"A", u"a", Limits({{u"Amo", u"1", u""}}));
    EXPECT_FALSE(m.Save(dir.Path("no/such/folder/x.ddb")));
    EXPECT_FALSE(m.Save(dir.Folder())); // a folder
}

TEST_F(DiagnoseTest, CurrentValuesComeFromTheAgeAndTheTables) {
    MVarArray pulse, variability;
    SetParamRow(pulse, MString(u"ИЖ, м/с"), MVariant(u"Рост пациента?"), MString(u"5–9"),
                MString(u"Индекс жесткости"));
    SetParamRow(pulse, MString(u"ВН=В2-В1, c"), MVariant(0.15), MString(u"-"),
                MString(u"-")); // not matched on
    SetParamRow(variability, MString(u"Mo, мс"), MVariant(int32_t(857)), MString(u"700–1100"),
                MString(u"Мода"));
    SetParamRow(variability, MString(u"Amo"), MVariant(0.25), MString(u"-"), MString(u"-"));

    struct Case {
        const char16_t* age; // null: no entry
        MVariant::Type type;
    };
    for (const Case c :
         {Case{u"42", MVariant::kInt}, Case{nullptr, MVariant::kString}, Case{u"", MVariant::kString}}) {
        MAssocStrings meta;
        if (c.age) meta.Value(MString(u"PatAge")) = MString(c.age);
        const int entries = meta.Count();
        m.FillCurrentValues(&meta, pulse, variability);
        EXPECT_EQ(meta.Count(), entries);
        const MVarArray& cur = m.CurrentValues();
        const MVarArray* age = cur.Find(MVariant(u"Возраст, лет"));
        ASSERT_NE(age, nullptr);
        EXPECT_EQ(age->Value().GetType(), c.type);
        if (c.type == MVariant::kInt) {
            EXPECT_EQ(age->Value().AsInt(), 42);
        }
        EXPECT_EQ(cur.Count(), 4); // age, ИЖ, Mo, Amo
        EXPECT_EQ(cur.Find(MVariant(u"ИЖ, м/с"))->Value().AsString().Str(), u"Рост пациента?");
        EXPECT_EQ(cur.Find(MVariant(u"Mo, мс"))->Value().AsInt(), 857);
        EXPECT_EQ(cur.Find(MVariant(u"ВН=В2-В1, c")), nullptr);
    }
    // A missing age fails every diagnosis that limits it.
    Add(u"Возрастной", u"в", Limits({{u"Возраст, лет", u"", u"200"}}));
    EXPECT_EQ(m.Diagnose().Str(), kNoResult);
    MAssocStrings meta;
    meta.Value(MString(u"PatAge")) = MString(u"42");
    m.FillCurrentValues(&meta, pulse, variability);
    EXPECT_EQ(m.Diagnose().Str(), u"{Возрастной} в");
    // The whole chain, from the files in the folders.
    ASSERT_TRUE(m.SaveUserDatabase());
    m.Database().Clear();
    EXPECT_EQ(m.DiagnosisText(&meta, pulse, variability).Str(), u"{Возрастной} в");
    EXPECT_EQ(m.DiagnosisText(nullptr, pulse, variability).Str(), kNoResult);
}

#ifdef CORVINA_TEST_DDB
TEST(ShippedDatabase, IsFoundBesideTheProgramAndDiagnosesAsIntended) {
    // The tests run from <build>/bin, so the program folder is the build tree's copy.
    const MString folder = ProgramDataFolder();
    EXPECT_TRUE(FileExists(folder + MString(kShippedDatabase))) << folder.ToUtf8();
    {
        std::ifstream built(CORVINA_TEST_DDB, std::ios::binary);
        EXPECT_EQ(ReadBytes(CORVINA_TEST_DDB), ReadBytes((folder + MString(kShippedDatabase)).ToUtf8()));
    }

    atest::TempDir user;
    DiagnoseManager m;
    m.SetFolders({folder, user.Folder()});
    m.LoadDatabase();
    ASSERT_GE(m.Database().Count(), 10);
    for (int i = 0; i < m.Database().Count(); ++i) {
        const MVarArray& d = m.Database().Child(i);
        EXPECT_FALSE(d.Find(MVariant(u"Name"))->Value().AsString().IsEmpty());
        EXPECT_FALSE(d.Find(MVariant(u"Des"))->Value().AsString().IsEmpty());
        const MVarArray* lim = d.Find(MVariant(u"Lim"));
        ASSERT_NE(lim, nullptr);
        ASSERT_GT(lim->Count(), 0);
        for (int j = 0; j < lim->Count(); ++j) EXPECT_NE(m.Schema().Find(lim->Child(j).Key()), nullptr);
    }

    struct Patient {
        const char* what;
        std::vector<std::pair<const char16_t*, MVariant>> values;
        std::vector<std::u16string> names; // proposed, in order
    };
    const Patient patients[] = {
        {"balanced resting record",
         {{u"<ЧСС(HR)>, уд/мин", MVariant(70.4)},
          {u"СКО(SDNN), мс", MVariant(int32_t(52))},
          {u"RMSSD, мс", MVariant(int32_t(38))},
          {u"PNN50, %", MVariant(int32_t(16))},
          {u"ИВВ=LF/HF", MVariant(1.7)},
          {u"ИН(SI), о.е.", MVariant(int32_t(96))},
          {u"ИЖ, м/с", MVariant(int32_t(7))},
          {u"ИО, (B4-B5)/(B2-B1)*100%", MVariant(int32_t(55))}},
         {u"Нормотония"}},
        {"strained record",
         {{u"<ЧСС(HR)>, уд/мин", MVariant(96.2)},
          {u"СКО(SDNN), мс", MVariant(int32_t(18))},
          {u"RMSSD, мс", MVariant(int32_t(11))},
          {u"PNN50, %", MVariant(int32_t(0))},
          {u"ИВВ=LF/HF", MVariant(4.3)},
          {u"ИН(SI), о.е.", MVariant(int32_t(820))}},
         {u"Тахикардия в покое", u"Выраженное снижение общей вариабельности ритма",
          u"Снижение парасимпатической активности",
          u"Смещение вегетативного баланса в сторону симпатического отдела",
          u"Перенапряжение регуляторных систем"}},
        {"vagotonic record",
         {{u"<ЧСС(HR)>, уд/мин", MVariant(48.9)},
          {u"ИВВ=LF/HF", MVariant(0.6)},
          {u"ИН(SI), о.е.", MVariant(int32_t(31))},
          {u"ИО, (B4-B5)/(B2-B1)*100%", MVariant(int32_t(35))}},
         {u"Брадикардия в покое", u"Смещение вегетативного баланса в сторону парасимпатического отдела",
          u"Ваготония", u"Сниженный тонус мелких артерий"}},
        {"stiff arteries, unknown age",
         {{u"ИЖ, м/с", MVariant(int32_t(11))}, {u"ИО, (B4-B5)/(B2-B1)*100%", MVariant(int32_t(78))}},
         {u"Повышенная жёсткость крупных артерий", u"Повышенный тонус мелких артерий"}},
        {"height unknown: no stiffness conclusion", {{u"ИЖ, м/с", MVariant(u"Рост пациента?")}}, {}},
        {"boundaries of the stress index", {{u"ИН(SI), о.е.", MVariant(int32_t(150))}}, {u"Нормотония"}},
    };
    for (const Patient& p : patients) {
        SCOPED_TRACE(p.what);
        m.CurrentValues().Clear();
        for (const auto& [name, value] : p.values)
            m.CurrentValues().Item(MVariant(name)).Value().Assign(value);
        std::u16string expected;
        for (const std::u16string& name : p.names) {
            if (!expected.empty()) expected += u"\r\n";
            const MVarArray* found = nullptr;
            for (int i = 0; i < m.Database().Count() && !found; ++i)
                if (m.Database().Child(i).Find(MVariant(u"Name"))->Value().AsString().Str() == name)
                    found = &m.Database().Child(i);
            ASSERT_NE(found, nullptr) << MString(name).ToUtf8();
            expected += u"{" + name + u"} " + found->Find(MVariant(u"Des"))->Value().AsString().Str();
        }
        if (expected.empty()) expected = kNoResult;
        EXPECT_EQ(m.Diagnose().Str(), expected) << m.Diagnose().ToUtf8();
    }
}
#endif
