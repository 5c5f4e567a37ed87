// The help pages: where the program looks for them, which page a tab shows, and what the help
// window gets when a page is missing or broken.

#include "app/HelpFiles.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>

namespace {

using testutil::TempDir;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

TEST(HelpFiles, TopicsAndTabsNameTheirFiles) {
    struct Case {
        HelpTopic topic;
        const char* file;
    };
    const Case cases[] = {
        {HelpTopic::Record, "Record.html"},
        {HelpTopic::Analyze, "Analyze.html"},
        {HelpTopic::Diagnose, "Diagnose.html"},
        {HelpTopic::CommandLine, "CommandLine.html"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        EXPECT_EQ(HelpFilePath(c.topic, MString(u"/opt/x/Help/")).ToUtf8(),
                  std::string("/opt/x/Help/") + c.file);
        // A folder given without its separator gets one.
        EXPECT_EQ(HelpFilePath(c.topic, MString(u"/opt/x/Help")).ToUtf8(),
                  std::string("/opt/x/Help/") + c.file);
    }

    struct TabCase {
        int tab;
        HelpTopic topic;
    };
    const TabCase tabs[] = {
        {0, HelpTopic::Record},  {1, HelpTopic::Analyze}, {2, HelpTopic::Diagnose},
        {-1, HelpTopic::Record}, {3, HelpTopic::Record},
    };
    for (const TabCase& t : tabs) {
        SCOPED_TRACE(t.tab);
        EXPECT_EQ(HelpTopicOfTab(t.tab), t.topic);
    }
}

// Run from the build tree, the program reads the pages the build copied beside Diagnose.ddb.
TEST(HelpFiles, BuildTreeFolderHoldsEveryPage) {
#ifndef CORVINA_BUILD_DATA_DIR
    GTEST_SKIP() << "this build copies no help pages";
#else
    char* real = ::realpath(CORVINA_BUILD_DATA_DIR, nullptr);
    ASSERT_NE(real, nullptr) << CORVINA_BUILD_DATA_DIR << " is missing: build corvina_help";
    const std::string expected = std::string(real) + "/Help/";
    std::free(real);
    EXPECT_EQ(HelpFolder().ToUtf8(), expected);

    for (HelpTopic topic :
         {HelpTopic::Record, HelpTopic::Analyze, HelpTopic::Diagnose, HelpTopic::CommandLine}) {
        const sHelpPage page = LoadHelpPage(topic);
        SCOPED_TRACE(page.path.ToUtf8());
        EXPECT_EQ(page.path.ToUtf8(), expected + MString(HelpTopicName(topic)).ToUtf8() + ".html");
        ASSERT_TRUE(page.found);
        EXPECT_NE(page.html.find("<html lang=\"ru\">"), std::string::npos);
        EXPECT_NE(page.html.find("</html>"), std::string::npos) << "page cut short";
    }
#endif
}

TEST(HelpFiles, PageIsReadWhole) {
    TempDir dir;
    // Cyrillic text and a page larger than one read of the loader.
    std::string html = "<!DOCTYPE html>\n<html lang=\"ru\"><body><p>Справка</p>";
    while (html.size() < 40000) html += "<p>Пульсовая волна, ЧСС и ВСР.</p>\n";
    html += "</body></html>\n";
    WriteFile(dir.File("Analyze.html"), html);

    const sHelpPage page = LoadHelpPage(HelpTopic::Analyze, MString(dir.Path()));
    EXPECT_TRUE(page.found);
    EXPECT_EQ(page.html, html);
    EXPECT_EQ(page.path.ToUtf8(), dir.File("Analyze.html"));
}

// The window then shows kHelpFileMissing: a broken installation is what reinstalling mends.
TEST(HelpFiles, MissingOrBrokenPageIsNotFound) {
    TempDir dir;
    const std::string help = dir.File("Help");
    ASSERT_EQ(::mkdir(help.c_str(), 0700), 0);
    WriteFile(help + "/Record.html", "");                                    // empty
    ASSERT_EQ(::mkdir((help + "/Analyze.html").c_str(), 0700), 0);           // a folder
    WriteFile(help + "/CommandLine.html", std::string((4u << 20) + 1, 'x')); // not a page
    WriteFile(help + "/Diagnose.htm", "<html lang=\"ru\"></html>");          // other name

    struct Case {
        const char* what;
        std::string folder;
        HelpTopic topic;
    };
    const Case cases[] = {
        {"no Help folder", dir.File("nowhere"), HelpTopic::Record},
        {"empty file", help, HelpTopic::Record},
        {"folder in the file's place", help, HelpTopic::Analyze},
        {"file of another extension", help, HelpTopic::Diagnose},
        {"file far too large", help, HelpTopic::CommandLine},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const sHelpPage page = LoadHelpPage(c.topic, MString(c.folder));
        EXPECT_FALSE(page.found);
        EXPECT_TRUE(page.html.empty());
        EXPECT_EQ(page.path.ToUtf8(), c.folder + "/" + MString(HelpTopicName(c.topic)).ToUtf8() + ".html");
    }
    EXPECT_EQ(
        MString(kHelpFileMissing).ToUtf8(),
        "Произошла непредвиденная ошибка: файл справки не найден. Пожалуйста,переустановите программу.");
}

} // namespace
