// The command-line parser: option scanning, the unattended file names, the settings it writes,
// numbers read leniently, flags and the bare record path.

#include "app/CmdLineParser.h"
#include "app/Settings.h"
#include "app/TextExport.h"
#include "core/MVarArray.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace {

std::string U8(const MString& s) {
    return s.ToUtf8();
}

struct ParsedLine {
    cCmdLineParser parser;
    MVarArray settings;
    explicit ParsedLine(const char* line) { parser.Parse(MString(line), &settings); }

    bool HasSetting(const char16_t* key) const { return settings.IndexOf(MVariant(key)) >= 0; }
    MString Setting(const char16_t* key) const {
        const MVarArray* node = settings.Find(MVariant(key));
        return node ? node->Value().AsString() : MString(u"<absent>");
    }
};

struct OutFileCase {
    const char* line;
    const char* record;
    const char* exportFile;
};

TEST(CmdLineParser, OutFileNamesTheRecordAndTheExportBesideIt) {
    const OutFileCase cases[] = {
        {"--out_file=C:\\m\\a", "C:\\m\\a.pwv", "C:\\m\\a.txt"},
        // The extension test is case-sensitive.
        {"--out_file=C:\\m\\a.PWV", "C:\\m\\a.PWV.pwv", "C:\\m\\a.PWV.txt"},
        {"--out_file=/data/rec.pwv", "/data/rec.pwv", "/data/rec.txt"},
        {"--out_file=/data/rec.txt", "/data/rec.txt.pwv", "/data/rec.txt.txt"},
        {"--out_file= /data/spaced name ", "/data/spaced name.pwv", "/data/spaced name.txt"},
        // The extension is the text after the last dot, even in a folder name.
        {"--out_file=/data/v1.2/rec", "/data/v1.2/rec.pwv", "/data/v1.2/rec.txt"},
        {"--out_file=.pwv", ".pwv", ".txt"},
        // A folder whose name holds ".pwv": the export stays beside the record.
        {"--out_file=/data/old.pwv.d/rec", "/data/old.pwv.d/rec.pwv", "/data/old.pwv.d/rec.txt"},
        {"--out_file=/data/a.pwv.pwv", "/data/a.pwv.pwv", "/data/a.pwv.txt"},
        // A name that reads as a number keeps its digits.
        {"--out_file=007", "007.pwv", "007.txt"},
        {"--out_file=1,50", "1,50.pwv", "1,50.txt"},
    };
    for (const auto& c : cases) {
        ParsedLine p(c.line);
        SCOPED_TRACE(c.line);
        EXPECT_TRUE(p.parser.Unattended);
        EXPECT_EQ(U8(p.parser.RecordFileName), c.record);
        EXPECT_EQ(U8(p.parser.ExportFileName), c.exportFile);
        // An unattended run exports the pulse wave and the RR intervals whatever was stored.
        EXPECT_EQ(U8(p.Setting(kExportPulseKey)), "1");
        EXPECT_EQ(U8(p.Setting(kExportRRKey)), "1");
    }
}

TEST(CmdLineParser, WithoutOutFileNothingIsUnattendedAndNoExportSwitchIsWritten) {
    ParsedLine p("--duration=10 --led=red");
    EXPECT_FALSE(p.parser.Unattended);
    EXPECT_TRUE(p.parser.RecordFileName.IsEmpty());
    EXPECT_TRUE(p.parser.ExportFileName.IsEmpty());
    EXPECT_FALSE(p.HasSetting(kExportPulseKey));
    EXPECT_FALSE(p.HasSetting(kExportRRKey));
}

TEST(CmdLineParser, ExportDelimiterReplacesTheFirstNThenSThenT) {
    const struct {
        const char* value;
        const char16_t* stored;
    } cases[] = {
        {"tn", u"\t\r\n"},   // the first n, then the first t
        {"nn", u"\r\nn"},    // only the first n
        {"s", u" "},         //
        {"snt", u" \r\n\t"}, //
        {"ss", u" s"},       // only the first s
        {";", u";"},         //
        {"n;", u"\r\n;"},    //
        {"", u" "},          // nothing between the values would make the export unreadable
        {" ", u" "},         // values are trimmed: a space is written as s
        {"tab", u"\tab"},    // letters other than the first n, s, t stay
    };
    for (const auto& c : cases) {
        const std::string line = std::string("--export_delimiter=") + c.value;
        SCOPED_TRACE(line);
        ParsedLine p(line.c_str());
        const MVarArray* node = p.settings.Find(MVariant(kExportDelimiterKey));
        ASSERT_NE(node, nullptr);
        EXPECT_TRUE(node->Value().AsString().Equals(c.stored)) << U8(node->Value().AsString());
    }
}

TEST(CmdLineParser, ExportSampleRateIsClampedAndStoredAsInteger) {
    const struct {
        const char* value;
        int stored;
    } cases[] = {
        {"20000", 5000}, {"5000", 5000}, {"4999", 4999}, {"100", 100},  {"10", 10},
        {"9", 10},       {"-3", 10},     {"abc", 10},    {"250x", 250}, {"99999999999", 5000},
    };
    for (const auto& c : cases) {
        const std::string line = std::string("--export_samplerate=") + c.value;
        SCOPED_TRACE(line);
        ParsedLine p(line.c_str());
        const MVarArray* node = p.settings.Find(MVariant(kExportSampleFKey));
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->Value().GetType(), MVariant::kInt);
        EXPECT_EQ(node->Value().AsInt(), c.stored);
    }
}

TEST(CmdLineParser, UpdateListAddressIsStoredAsGivenAndAnEmptyOneTurnsTheCheckOff) {
    const struct {
        const char* line;
        const char* stored;
    } cases[] = {
        {"--update_list= http://updates.example.org:8080/corvina/appupdates.txt ",
         "http://updates.example.org:8080/corvina/appupdates.txt"},
        {"--update_list=http://10.0.0.5/", "http://10.0.0.5/"},
        {"--update_list=", ""},
        {"--update_list", ""},
        {"--duration=3", "<absent>"}, // not given: whatever the settings file holds stays
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ParsedLine p(c.line);
        EXPECT_EQ(U8(p.Setting(kUpdateListAddressKey)), c.stored);
    }
}

TEST(CmdLineParser, DurationAddsFourSecondsToAValueReadLeniently) {
    const struct {
        const char* line;
        int duration;
    } cases[] = {
        {"--help", 60},
        {"--duration=10", 14},
        {"--duration= 10 ", 14},
        {"--duration=abc", 4},
        {"--duration", 4},
        {"--duration=12s", 16},
        {"--duration=-10", -6},
        {"--duration=2147483646", INT_MAX}, // saturates instead of overflowing
        {"--duration=99999999999", INT_MAX},
        {"--duration=5 --duration=7", 11}, // the last one wins
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ParsedLine p(c.line);
        EXPECT_EQ(p.parser.Duration, c.duration);
    }
}

TEST(CmdLineParser, FlagsArePresentWhateverTheirValue) {
    ParsedLine p("--help=0 --keep_power_on=no --minimize= --headless --simulate=false");
    EXPECT_TRUE(p.parser.Help);
    EXPECT_TRUE(p.parser.KeepPower);
    EXPECT_TRUE(p.parser.Minimize);
    EXPECT_TRUE(p.parser.Headless);
    EXPECT_TRUE(p.parser.Simulate);
    EXPECT_FALSE(p.parser.Unattended);

    ParsedLine none("--out_file=/a");
    EXPECT_FALSE(none.parser.Help);
    EXPECT_FALSE(none.parser.KeepPower);
    EXPECT_FALSE(none.parser.Minimize);
    EXPECT_FALSE(none.parser.Headless);
    EXPECT_FALSE(none.parser.Simulate);
}

TEST(CmdLineParser, OptionNamesAreCaseSensitiveAndUnknownOnesAreKeptWithoutEffect) {
    ParsedLine p("--HELP --Out_File=/a --colour=blue");
    EXPECT_FALSE(p.parser.Help);
    EXPECT_FALSE(p.parser.Unattended);
    EXPECT_EQ(p.parser.Count(), 3);
    EXPECT_TRUE(p.parser.Has(u"colour"));
    EXPECT_EQ(U8(p.parser.Text(u"colour")), "blue");
    EXPECT_TRUE(p.parser.Text(u"missing").IsEmpty());
}

TEST(CmdLineParser, ScanningTakesTheTextBetweenDashPairs) {
    // Text before the first "--" is ignored; names and values are trimmed; the value is what
    // follows the first "=".
    ParsedLine p("ignored words --led = red_clip   --export_delimiter==; --duration=3");
    EXPECT_EQ(U8(p.parser.Text(cCmdLineParser::kLed)), "red_clip");
    EXPECT_EQ(U8(p.Setting(kExportDelimiterKey)), "=;");
    EXPECT_EQ(p.parser.Duration, 7);
    EXPECT_EQ(p.parser.Count(), 3);

    // Values are stored with narrowing: "30" becomes the integer 30.
    ParsedLine n("--duration=30");
    EXPECT_EQ(n.parser.Find(MVariant(u"duration"))->Value().GetType(), MVariant::kInt);

    // An empty option ends the scan.
    ParsedLine e("--led=red ---- --minimize");
    EXPECT_EQ(U8(e.parser.Text(cCmdLineParser::kLed)), "red");
    EXPECT_FALSE(e.parser.Minimize);

    // Three dashes: the third belongs to the name.
    ParsedLine t("---help");
    EXPECT_FALSE(t.parser.Help);
    EXPECT_TRUE(t.parser.Has(u"-help"));
}

TEST(CmdLineParser, TheScanMovesOnFromWhereItStartedNotFromWhereItFoundTheOption) {
    // The scan from 0 finds "-c" at 3 and moves on to 0 + 2 + 2 = 4, where "--c" starts.
    ParsedLine p("abc---c");
    EXPECT_TRUE(p.parser.Has(u"-c"));
    EXPECT_TRUE(p.parser.Has(u"c"));
    EXPECT_EQ(p.parser.Count(), 2);
    // Without text before the first option the scan simply follows the options.
    ParsedLine q("---c");
    EXPECT_TRUE(q.parser.Has(u"-c"));
    EXPECT_EQ(q.parser.Count(), 1);

    // A long text before the options: every option is still found once, in order.
    std::string line(1 << 20, 'x');
    for (int i = 0; i < 20000; ++i) line += " --duration=" + std::to_string(i);
    line += " --led=red";
    ParsedLine big(line.c_str());
    EXPECT_EQ(big.parser.Count(), 2);
    EXPECT_EQ(big.parser.Duration, 19999 + 4);
    EXPECT_EQ(U8(big.parser.Text(cCmdLineParser::kLed)), "red");
}

TEST(CmdLineParser, ABareRecordPathOpensWhenItsExtensionStartsAfterIndexTwo) {
    const struct {
        const char* line;
        const char* record; // empty: nothing to open
    } cases[] = {
        {"C:\\x.pwv", "C:\\x.pwv"},
        {"/home/u/rec.pwv", "/home/u/rec.pwv"},
        {"abc.pwv", "abc.pwv"}, // ".pwv" at index 3
        {"ab.pwv", ""},         // at index 2
        {"a.pwv", ""},
        {"/home/u/rec.PWV", ""},                          // case-sensitive
        {" /home/u/my rec.pwv ", " /home/u/my rec.pwv "}, // not trimmed
        {"/home/u/rec.pwv --minimize", ""},               // any option: the path is ignored
        {"/home/u/rec.txt", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        ParsedLine p(c.line);
        EXPECT_EQ(U8(p.parser.RecordFileName), c.record);
        EXPECT_FALSE(p.parser.Unattended);
        EXPECT_TRUE(p.parser.ExportFileName.IsEmpty());
    }
}

TEST(CmdLineParser, ParsingAgainStartsFromScratch) {
    cCmdLineParser parser;
    MVarArray settings;
    parser.Parse(MString("--out_file=/a --help --duration=1 --simulate"), &settings);
    ASSERT_TRUE(parser.Unattended);
    parser.Parse(MString("--minimize"), &settings);
    EXPECT_FALSE(parser.Unattended);
    EXPECT_FALSE(parser.Help);
    EXPECT_FALSE(parser.Simulate);
    EXPECT_TRUE(parser.Minimize);
    EXPECT_EQ(parser.Duration, cCmdLineParser::kDefaultDuration);
    EXPECT_TRUE(parser.RecordFileName.IsEmpty());
    EXPECT_EQ(parser.Count(), 1);
}

TEST(CmdLineParser, WithoutASettingsTreeNothingIsWritten) {
    cCmdLineParser parser;
    parser.Parse(MString("--out_file=/a --export_samplerate=20 --export_delimiter=t"), nullptr);
    EXPECT_TRUE(parser.Unattended);
    EXPECT_EQ(parser.Count(), 3);
}

} // namespace
