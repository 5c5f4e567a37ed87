// The settings file at start-up (command-line values merged over it, damaged files) and the
// recent-file list.

#include "app/Settings.h"
#include "core/MVarArray.h"
#include "tests/app/ShellTestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using shelltest::TempDir;

MVariant Key(const char16_t* k) {
    return MVariant(k);
}

void Set(MVarArray& tree, const char16_t* key, const MVariant& value) {
    tree.Item(Key(key)).Value() = value;
}

std::string Get(const MVarArray& tree, const MString& key) {
    const MVarArray* node = tree.Find(MVariant(key));
    return node ? node->Value().AsString().ToUtf8() : "<absent>";
}

std::string Get(const MVarArray& tree, const char16_t* key) {
    return Get(tree, MString(key));
}

// A stored settings file: export options, the LED map of the internal LED and one recent file.
void WriteStoredSettings(const std::string& path, const std::string& recent) {
    MVarArray stored;
    Set(stored, u"ExportSampleF", MVariant(int32_t{50}));
    Set(stored, u"ExportDelimiter", MVariant(u";"));
    Set(stored, u"TimeStampsCBChecked", MVariant(int32_t{1}));
    MVarArray& map = stored.Item(Key(u"LedIntApproxMap"));
    map.Item(MVariant(int32_t{7})).Value() = MVariant(3400.0);
    map.Item(MVariant(u"ResLf")).Value() = MVariant(int32_t{90});
    Set(stored, kRecentCountKey, MVariant(int32_t{1}));
    Set(stored, u"RecentFile0", MVariant(MString(recent)));
    ASSERT_TRUE(SaveSettingsFile(stored, MString(path)));
}

TEST(SettingsFile, CommandLineValuesWinOverTheLoadedFile) {
    TempDir dir;
    const std::string ini = dir.File("Ini.bin");
    WriteStoredSettings(ini, dir.File("rec.pwv"));

    MVarArray settings; // what the command line put in before the file is loaded
    Set(settings, u"ExportSampleF", MVariant(int32_t{200}));
    Set(settings, u"PulseCBChecked", MVariant(int32_t{1}));
    ASSERT_TRUE(LoadSettingsFile(settings, MString(ini)));

    EXPECT_EQ(Get(settings, u"ExportSampleF"), "200"); // command line
    EXPECT_EQ(Get(settings, u"PulseCBChecked"), "1");  // command line only
    EXPECT_EQ(Get(settings, u"ExportDelimiter"), ";"); // file only
    EXPECT_EQ(Get(settings, u"TimeStampsCBChecked"), "1");
    const MVarArray* map = settings.Find(Key(u"LedIntApproxMap"));
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->Count(), 2);
    EXPECT_EQ(Get(*map, u"ResLf"), "90");
    EXPECT_FALSE(shelltest::Exists(ini + ".bad"));
}

TEST(SettingsFile, AMissingFileLeavesTheCommandLineValues) {
    TempDir dir;
    MVarArray settings;
    Set(settings, u"ExportDelimiter", MVariant(u"\t"));
    EXPECT_FALSE(LoadSettingsFile(settings, MString(dir.File("Ini.bin"))));
    EXPECT_FALSE(LoadSettingsFile(settings, MString()));
    EXPECT_EQ(settings.Count(), 1);
    EXPECT_EQ(Get(settings, u"ExportDelimiter"), "\t");
    EXPECT_FALSE(shelltest::Exists(dir.File("Ini.bin.bad")));
}

TEST(SettingsFile, ADamagedFileLoadsAsFarAsItIsSoundAndACopyIsKept) {
    TempDir dir;
    const std::string ini = dir.File("Ini.bin");
    WriteStoredSettings(ini, dir.File("rec.pwv"));
    const std::string whole = shelltest::ReadText(ini);
    ASSERT_GT(whole[3] & 0x80, 0) << "expected a packed file";

    // A packed file that fails its checks loads nothing.
    std::string broken = whole;
    broken[10] = char(broken[10] ^ 0x5A);
    shelltest::WriteText(ini, broken);
    MVarArray settings;
    Set(settings, u"ExportSampleF", MVariant(int32_t{300}));
    EXPECT_FALSE(LoadSettingsFile(settings, MString(ini)));
    EXPECT_EQ(settings.Count(), 1);
    EXPECT_EQ(Get(settings, u"ExportSampleF"), "300");
    EXPECT_EQ(shelltest::ReadText(ini + ".bad"), broken)
        << "the unreadable file is kept before it is overwritten";

    // A plain image cut short: what it holds before the cut is loaded, the command line on top.
    MVarArray plain;
    Set(plain, u"AutoCorrectIsoline", MVariant(int32_t{1}));
    Set(plain, u"Z", MVariant(u"cut off"));
    ASSERT_TRUE(SaveSettingsFile(plain, MString(ini)));
    std::string bytes = shelltest::ReadText(ini);
    ASSERT_EQ(bytes[3] & 0x80, 0) << "a small image is written plain";
    bytes.resize(bytes.size() - 12);
    shelltest::WriteText(ini, bytes);
    MVarArray partial;
    Set(partial, u"ExportSampleF", MVariant(int32_t{300}));
    EXPECT_TRUE(LoadSettingsFile(partial, MString(ini)));
    EXPECT_EQ(Get(partial, u"AutoCorrectIsoline"), "1");
    EXPECT_EQ(Get(partial, u"ExportSampleF"), "300");
    EXPECT_EQ(shelltest::ReadText(ini + ".bad"), bytes);
}

TEST(SettingsFile, SavingReplacesTheFileOnlyWhenItCanBeWritten) {
    TempDir dir;
    MVarArray settings;
    Set(settings, kRecentCountKey, MVariant(int32_t{0}));
    EXPECT_FALSE(SaveSettingsFile(settings, MString()));
    EXPECT_FALSE(SaveSettingsFile(settings, MString(dir.File("missing/Ini.bin"))));
    const std::string ini = dir.File("Ini.bin");
    ASSERT_TRUE(SaveSettingsFile(settings, MString(ini)));
    MVarArray back = shelltest::LoadTree(ini);
    EXPECT_EQ(Get(back, kRecentCountKey), "0");
}

TEST(SettingsFile, TheDefaultPathIsInThePerUserFolderOfXdgConfigHome) {
    TempDir dir;
    shelltest::ScopedEnv xdg("XDG_CONFIG_HOME", dir.Path());
    EXPECT_EQ(DefaultSettingsFilePath().ToUtf8(), dir.Path() + "/Onyx.Corvina/Ini.bin");
    EXPECT_TRUE(shelltest::Exists(dir.Path() + "/Onyx.Corvina"));
}

// ---- the recent-file list

class RecentFiles : public ::testing::Test {
protected:
    std::string Make(const std::string& name) {
        const std::string path = dir.File(name);
        shelltest::WriteText(path, "x");
        return path;
    }
    std::vector<std::string> Add(const std::string& path) {
        std::vector<std::string> out;
        for (const MString& p : UpdateRecentFiles(settings, MString(path))) out.push_back(p.ToUtf8());
        return out;
    }
    std::vector<std::string> Stored() {
        std::vector<std::string> out;
        for (const MString& p : ::RecentFiles(settings)) out.push_back(p.ToUtf8());
        return out;
    }

    TempDir dir;
    MVarArray settings;
};

TEST_F(RecentFiles, NewPathsGoToTheHeadAndListedOnesStayWhereTheyAre) {
    const std::string a = Make("a.pwv"), b = Make("b.pwv"), c = Make("c.pwv");
    Add(a);
    Add(b);
    EXPECT_EQ(Add(c), (std::vector<std::string>{c, b, a}));
    EXPECT_EQ(Add(a), (std::vector<std::string>{c, b, a}));
    EXPECT_EQ(Stored(), (std::vector<std::string>{c, b, a}));
    EXPECT_EQ(Get(settings, kRecentCountKey), "3");
    EXPECT_EQ(Get(settings, u"RecentFile0"), c);
}

TEST_F(RecentFiles, TheListKeepsThirteenAndTheOldestDropsOff) {
    std::vector<std::string> files;
    for (int i = 0; i < 14; ++i) files.push_back(Make("r" + std::to_string(i) + ".pwv"));
    for (const auto& f : files) Add(f);
    const std::vector<std::string> list = Stored();
    ASSERT_EQ(list.size(), size_t(kMaxRecentFiles));
    EXPECT_EQ(list.front(), files[13]);
    EXPECT_EQ(list.back(), files[1]);
    EXPECT_EQ(Get(settings, kRecentCountKey), "13");
    EXPECT_EQ(settings.IndexOf(MVariant(RecentFileKey(13))), -1) << "no key beyond the list";
}

TEST_F(RecentFiles, VanishedFilesAreDroppedAndLaterEntriesMoveUp) {
    const std::string a = Make("a.pwv"), b = Make("b.pwv"), c = Make("c.pwv");
    Add(a);
    Add(b);
    Add(c);
    ::unlink(b.c_str());
    EXPECT_EQ(Add(""), (std::vector<std::string>{c, a}));
    EXPECT_EQ(Get(settings, kRecentCountKey), "2");
    EXPECT_EQ(Get(settings, u"RecentFile1"), a);
    EXPECT_EQ(settings.IndexOf(MVariant(u"RecentFile2")), -1) << "the stale copy is removed";
    // A path that does not exist is not listed at all.
    EXPECT_EQ(Add(dir.File("never.pwv")), (std::vector<std::string>{c, a}));
}

TEST_F(RecentFiles, PathsKeepTheirCase) {
    // File names are case-sensitive here: a lower-cased path would name another file.
    const std::string mixed = Make("Mixed Case.pwv");
    EXPECT_EQ(Add(mixed), (std::vector<std::string>{mixed}));
    EXPECT_EQ(Get(settings, u"RecentFile0"), mixed);
}

TEST_F(RecentFiles, ADamagedCountIsBoundedAndMissingKeysAreDropped) {
    const std::string a = Make("a.pwv");
    Set(settings, kRecentCountKey, MVariant(int32_t{1'000'000'000}));
    Set(settings, u"RecentFile2", MVariant(MString(a)));
    Set(settings, u"RecentFile20", MVariant(u"beyond"));
    EXPECT_EQ(Add(""), (std::vector<std::string>{a}));
    EXPECT_EQ(Get(settings, kRecentCountKey), "1");
    EXPECT_EQ(Get(settings, u"RecentFile0"), a);
    // Another setting that happens to hold the path does not count as listing it.
    const std::string b = Make("b.pwv");
    Set(settings, u"ExportDelimiter", MVariant(MString(b)));
    EXPECT_EQ(Add(b), (std::vector<std::string>{b, a}));
    Set(settings, kRecentCountKey, MVariant(int32_t{-4}));
    EXPECT_TRUE(Stored().empty());
}

} // namespace
