// One instance per settings folder: the rules that identify an instance, and a second start
// replacing a recording first one with nothing lost, while an instance with another settings
// folder runs on. The scan itself is only ever run by the program: run here, it would end the
// other test processes of this executable.

#include "app/SingleInstance.h"
#include "core/MVarArray.h"
#include "storage/PGFiles.h"
#include "tests/app/ShellTestUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using shelltest::Child;
using shelltest::TempDir;

TEST(SingleInstance, TheExecutableNameIsTheLowerCaseFileName) {
    const struct {
        const char* path;
        const char* name;
    } cases[] = {
        {"/usr/bin/corvina", "corvina"},
        {"/opt/Corvina/bin/CORVINA", "corvina"},
        {"/work/build/bin/corvina (deleted)", "corvina"}, // rebuilt while running
        {"corvina", "corvina"},
        {"/usr/bin/", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(InstanceExecutableName(c.path), c.name) << c.path;
}

TEST(SingleInstance, ThePerUserFolderFollowsTheInstancesEnvironment) {
    const struct {
        const char *xdg, *home, *fallback, *folder;
    } cases[] = {
        {"/cfg", "/home/u", "/pw", "/cfg/Onyx.Corvina"},
        {"/cfg//", "/home/u", "/pw", "/cfg/Onyx.Corvina"},
        {"relative", "/home/u", "/pw", "/home/u/.config/Onyx.Corvina"}, // only an absolute one counts
        {"", "/home/u", "/pw", "/home/u/.config/Onyx.Corvina"},
        {"", "", "/pw", "/pw/.config/Onyx.Corvina"},
        {"", "home", "/pw", "/pw/.config/Onyx.Corvina"},
        {"", "", "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(InstancePerUserFolder(c.xdg, c.home, c.fallback), c.folder) << c.xdg;
}

TEST(SingleInstance, OnlyTheReplacingSignalCountsAsAReplacement) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    info.si_signo = SIGTERM;
    info.si_code = SI_QUEUE;
    info.si_value.sival_int = kReplaceSignalValue;
    EXPECT_TRUE(IsReplaceSignal(&info));
    info.si_value.sival_int = 1;
    EXPECT_FALSE(IsReplaceSignal(&info));
    info.si_value.sival_int = kReplaceSignalValue;
    info.si_code = SI_USER; // kill(1), a service manager
    EXPECT_FALSE(IsReplaceSignal(&info));
    info.si_code = SI_QUEUE;
    info.si_signo = SIGINT;
    EXPECT_FALSE(IsReplaceSignal(&info));
    EXPECT_FALSE(IsReplaceSignal(nullptr));
}

TEST(SingleInstanceE2E, ASecondStartReplacesARecordingInstanceWithNothingLost) {
    TempDir dir;
    const std::string shared = dir.File("cfg"), other = dir.File("other");
    const std::string record = dir.File("first.pwv");

    Child first({"--headless", "--simulate", "--out_file=" + record, "--duration=60"},
                {{"XDG_CONFIG_HOME", shared}}, dir.File("first"));
    Child elsewhere({"--headless", "--simulate"}, {{"XDG_CONFIG_HOME", other}}, dir.File("elsewhere"));
    ASSERT_TRUE(first.WaitForOutput("Recording into", 60s)) << first.Stderr();
    const auto recordingSeen = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);

    Child second({"--headless", "--simulate"}, {{"XDG_CONFIG_HOME", shared}}, dir.File("second"));
    const auto code = first.Wait(10s);
    const double recorded =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - recordingSeen).count();
    ASSERT_TRUE(code) << "the first instance is still running\n" << second.Stderr();
    EXPECT_EQ(*code, kReplaceSignalValue) << first.Stderr();
    EXPECT_NE(second.Stderr().find("Asking the running instance " + std::to_string(first.Pid())),
              std::string::npos)
        << second.Stderr();

    // The first instance closed its record: metadata stored, every sample up to the end there.
    {
        PGFiles file;
        ASSERT_TRUE(file.Open(MString(record), PGFiles::OpenMode::ReadOnly));
        EXPECT_TRUE(file.Metadata.Contains(u"RecordStartT"));
        std::vector<double> values(1024), times(1024);
        int64_t samples = 0;
        for (int32_t n; (n = file.ReadRawSamples(values.data(), times.data(), 1024)) > 0;) samples += n;
        EXPECT_GE(samples, int64_t((recorded - 1.5) * 500)) << "recorded for about " << recorded << " s";
        EXPECT_LE(samples, int64_t((recorded + 0.5) * 500));
    }

    // The replacing instance runs on; the one with its own settings folder was left alone.
    EXPECT_FALSE(second.Wait(500ms));
    EXPECT_FALSE(elsewhere.Wait(0ms)) << elsewhere.Stderr();
    second.Signal(SIGTERM);
    elsewhere.Signal(SIGTERM);
    const auto secondCode = second.Wait(10s), elsewhereCode = elsewhere.Wait(10s);
    ASSERT_TRUE(secondCode && elsewhereCode);
    EXPECT_EQ(*secondCode, 0);
    EXPECT_EQ(*elsewhereCode, 0);

    // The first instance saved its settings before the second loaded them: the export switches
    // only its command line set are still there after the second saved.
    MVarArray saved = shelltest::LoadTree(shared + "/Onyx.Corvina/Ini.bin");
    const MVarArray* pulse = saved.Find(MVariant(u"PulseCBChecked"));
    ASSERT_NE(pulse, nullptr);
    EXPECT_EQ(pulse->Value().AsInt(), 1);
    EXPECT_NE(saved.Find(MVariant(u"LedIntApproxMap")), nullptr);
}

} // namespace
