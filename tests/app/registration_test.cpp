// Registration of the automation service with the session bus: the switches, where the
// activation file goes, what it says, writing and removing it safely, and the real program run
// with the switches (which must do nothing else of its start-up).

#include "app/AppState.h"
#include "app/CmdLineParser.h"
#include "app/ServiceRegistration.h"
#include "tests/app/ShellTestUtil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using shelltest::Child;
using shelltest::Exists;
using shelltest::ReadText;
using shelltest::ScopedEnv;
using shelltest::TempDir;
using shelltest::WriteText;

constexpr char kHeader[] = "[D-BUS Service]\nName=org.onyx.Corvina\n";

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(d))
            if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
        ::closedir(d);
    }
    return names;
}

std::string RealPath(const std::string& path) {
    char buffer[PATH_MAX];
    return ::realpath(path.c_str(), buffer) ? std::string(buffer) : path;
}

TEST(Registration, SwitchesOfTheCommandLine) {
    struct Case {
        const char* line;
        bool ok;
        RegistrationAction action;
        RegistrationScope scope;
    };
    using A = RegistrationAction;
    using S = RegistrationScope;
    const Case cases[] = {
        {"", true, A::kNone, S::kPerUser},
        {"--simulate --headless", true, A::kNone, S::kPerUser},
        {"--regserver", true, A::kRegister, S::kSystem},
        {"--unregserver", true, A::kUnregister, S::kSystem},
        {"--regserverperuser --simulate", true, A::kRegister, S::kPerUser},
        {"--unregserverperuser", true, A::kUnregister, S::kPerUser},
        {"--RegServer", true, A::kNone, S::kPerUser}, // names are case-sensitive
        {"--regserver --unregserver", false, A::kNone, S::kPerUser},
        {"--regserverperuser --unregserverperuser", false, A::kNone, S::kPerUser},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        cCmdLineParser cmd;
        cmd.Parse(MString(c.line), nullptr);
        sRegistrationRequest r;
        std::string error;
        EXPECT_EQ(RegistrationFromCommandLine(cmd, r, error), c.ok);
        EXPECT_EQ(r.action, c.action);
        if (c.action != A::kNone) {
            EXPECT_EQ(r.scope, c.scope);
        }
        EXPECT_EQ(error.empty(), c.ok);
    }
}

TEST(Registration, FolderForThisUserComesFromTheEnvironment) {
    struct Case {
        std::optional<std::string> dataHome, home;
        std::string folder;
    };
    const Case cases[] = {
        {"/x/data", "/h", "/x/data/dbus-1/services"},
        {"/x/data/", "/h", "/x/data/dbus-1/services"},
        {"relative/data", "/h", "/h/.local/share/dbus-1/services"}, // only absolute paths count
        {"", "/h/", "/h/.local/share/dbus-1/services"},
        {std::nullopt, "/home/u", "/home/u/.local/share/dbus-1/services"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        ScopedEnv data("XDG_DATA_HOME", c.dataHome);
        ScopedEnv home("HOME", c.home);
        std::string error;
        EXPECT_EQ(ServiceFolder(RegistrationScope::kPerUser, "/usr/bin/corvina", error), c.folder);
    }
}

TEST(Registration, FolderForEveryoneLiesBesideTheProgramsFolder) {
    struct Case {
        const char* executable;
        const char* folder; // empty: refused
    };
    const Case cases[] = {
        {"/usr/local/bin/corvina", "/usr/local/share/dbus-1/services"},
        {"/usr/bin/corvina", "/usr/share/dbus-1/services"},
        {"/opt/Corvina 2/bin/corvina", "/opt/Corvina 2/share/dbus-1/services"},
        {"/bin/corvina", "/share/dbus-1/services"},
        {"/corvina", ""},
        {"bin/corvina", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.executable);
        std::string error;
        EXPECT_EQ(ServiceFolder(RegistrationScope::kSystem, c.executable, error), c.folder);
        EXPECT_EQ(error.empty(), *c.folder != '\0');
    }
}

TEST(Registration, ActivationFileStartsTheProgramWithEmbedding) {
    struct Case {
        std::string executable;
        std::vector<std::string> options;
        std::string exec; // empty: refused
    };
    const Case cases[] = {
        {"/usr/bin/corvina", {}, "/usr/bin/corvina --embedding"},
        {"/usr/bin/corvina",
         {"--simulate", "--keep_power_on"},
         "/usr/bin/corvina --embedding --simulate --keep_power_on"},
        // Shell quoting, as the bus splits the line.
        {"/opt/my apps/corvina", {}, "'/opt/my apps/corvina' --embedding"},
        // The file's own escapes come on top: a backslash is written doubled.
        {"/opt/it's/corvina", {}, "'/opt/it'\\\\''s/corvina' --embedding"},
        {"/opt/back\\slash/corvina", {}, "'/opt/back\\\\slash/corvina' --embedding"},
        {"/opt/$HOME/corvina", {}, "'/opt/$HOME/corvina' --embedding"},
        {"/opt/line\nbreak/corvina", {}, ""},
        {"/opt/tab\t/corvina", {}, ""},
        {"corvina", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.executable);
        std::string error;
        const std::string text = ServiceFileText(c.executable, c.options, error);
        if (c.exec.empty()) {
            EXPECT_EQ(text, "");
            EXPECT_FALSE(error.empty());
        } else {
            EXPECT_EQ(text, kHeader + ("Exec=" + c.exec + "\n"));
        }
    }
}

TEST(Registration, WriteReplacesTheFileWholeAndRemoveTakesItAway) {
    TempDir dir;
    const std::string folder = dir.File("data/dbus-1/services"); // missing folders are made
    const std::string file = folder + "/org.onyx.Corvina.service";

    sRegistrationResult r = WriteServiceFile(folder, "first\n");
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_NE(r.message.find(file), std::string::npos);
    EXPECT_EQ(ReadText(file), "first\n");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "the bus runs as the user, other users may read it";

    ASSERT_TRUE(WriteServiceFile(folder, "second\n").ok);
    EXPECT_EQ(ReadText(file), "second\n");
    EXPECT_EQ(Entries(folder), std::vector<std::string>{"org.onyx.Corvina.service"})
        << "no temporary file left";

    r = RemoveServiceFile(folder);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_FALSE(Exists(file));
    r = RemoveServiceFile(folder);
    EXPECT_TRUE(r.ok) << "not registered is what was asked for";
    EXPECT_NE(r.message.find("not registered"), std::string::npos);
    EXPECT_TRUE(RemoveServiceFile(dir.File("nowhere/dbus-1/services")).ok);
}

TEST(Registration, FailuresAreReportedAndLeaveNothingBehind) {
    TempDir dir;
    WriteText(dir.File("plain"), "a file, not a folder");
    const std::string occupied = dir.File("occupied");
    ASSERT_EQ(::mkdir(occupied.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((occupied + "/org.onyx.Corvina.service").c_str(), 0700), 0);
    WriteText(occupied + "/org.onyx.Corvina.service/keep", "x");

    struct Case {
        const char* what;
        std::string folder;
    };
    const Case cases[] = {
        {"a part of the folder is a file", dir.File("plain/dbus-1/services")},
        {"a folder that cannot be made", "/proc/self/dbus-1/services"},
        {"the file's name is taken by a folder", occupied},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const sRegistrationResult r = WriteServiceFile(c.folder, "text\n");
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.message.empty());
    }
    EXPECT_EQ(ReadText(dir.File("plain")), "a file, not a folder");
    EXPECT_EQ(Entries(occupied), std::vector<std::string>{"org.onyx.Corvina.service"})
        << "no temporary file left";

    const sRegistrationResult removed = RemoveServiceFile(occupied);
    EXPECT_FALSE(removed.ok) << "a folder in the file's place is not removed";
    EXPECT_TRUE(Exists(occupied + "/org.onyx.Corvina.service/keep"));
}

// ---- the real program ---------------------------------------------------------------------------

class RegistrationRun : public ::testing::Test {
protected:
    std::map<std::string, std::string> Env() const {
        return {{"XDG_DATA_HOME", dir.File("data")},
                {"XDG_CONFIG_HOME", dir.File("config")},
                {"HOME", dir.Path()}};
    }
    std::optional<int> Run(const std::vector<std::string>& args, std::string* out = nullptr,
                           std::string* err = nullptr, const std::string& program = {}) {
        Child child(args, Env(), dir.File("run" + std::to_string(++runs)), std::string(), program);
        const std::optional<int> code = child.Wait(20s);
        if (out) *out = child.Stdout();
        if (err) *err = child.Stderr();
        return code;
    }
    std::string UserFile() const { return dir.File("data/dbus-1/services/org.onyx.Corvina.service"); }

    TempDir dir;
    int runs = 0;
};

TEST_F(RegistrationRun, PerUserSwitchesWriteAndRemoveTheFileAndStartNothingElse) {
    std::string out;
    ASSERT_EQ(Run({"--regserverperuser"}, &out), std::optional<int>(kExitOk));
    EXPECT_NE(out.find(UserFile()), std::string::npos) << out;
    EXPECT_EQ(ReadText(UserFile()),
              kHeader + ("Exec=" + RealPath(shelltest::ProgramPath()) + " --embedding\n"));
    EXPECT_FALSE(Exists(dir.File("config/Onyx.Corvina"))) << "no settings folder: the start-up did not run";

    ASSERT_EQ(Run({"--regserverperuser", "--simulate"}), std::optional<int>(kExitOk));
    EXPECT_NE(ReadText(UserFile()).find(" --embedding --simulate\n"), std::string::npos);

    ASSERT_EQ(Run({"--unregserverperuser"}, &out), std::optional<int>(kExitOk));
    EXPECT_FALSE(Exists(UserFile()));
    EXPECT_NE(out.find("removed"), std::string::npos) << out;
}

TEST_F(RegistrationRun, ARunningInstanceIsNotReplaced) {
    Child running({"--headless", "--simulate"}, Env(), dir.File("running"));
    ASSERT_TRUE(running.WaitForOutput("Using the simulated Kestrel-9", 20s)) << running.Stderr();
    ASSERT_EQ(Run({"--regserverperuser"}), std::optional<int>(kExitOk));
    EXPECT_FALSE(running.Wait(300ms)) << "still running";
    running.Signal(SIGTERM);
    EXPECT_EQ(running.Wait(20s), std::optional<int>(kExitOk));
}

TEST_F(RegistrationRun, FailuresExitNonZeroWithAMessage) {
    WriteText(dir.File("data"), "XDG_DATA_HOME is a file");
    std::string err;
    EXPECT_EQ(Run({"--regserverperuser"}, nullptr, &err), std::optional<int>(kExitRegistrationFailed));
    EXPECT_NE(err.find("cannot be created"), std::string::npos) << err;
    EXPECT_EQ(ReadText(dir.File("data")), "XDG_DATA_HOME is a file");

    EXPECT_EQ(Run({"--regserver", "--unregserverperuser"}, nullptr, &err),
              std::optional<int>(kExitBadCommandLine));
    EXPECT_NE(err.find("exclude each other"), std::string::npos) << err;
}

TEST_F(RegistrationRun, SystemSwitchesUseTheProgramsPrefix) {
    // A copy of the program installed under a prefix of its own.
    const std::string bin = dir.File("prefix/bin");
    ASSERT_EQ(::mkdir(dir.File("prefix").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(bin.c_str(), 0755), 0);
    const std::string program = bin + "/corvina";
    WriteText(program, ReadText(shelltest::ProgramPath()));
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);

    const std::string file = dir.File("prefix/share/dbus-1/services/org.onyx.Corvina.service");
    std::string out;
    ASSERT_EQ(Run({"--regserver"}, &out, nullptr, program), std::optional<int>(kExitOk));
    EXPECT_EQ(ReadText(file), kHeader + ("Exec=" + RealPath(program) + " --embedding\n"));
    EXPECT_NE(out.find("XDG_DATA_DIRS"), std::string::npos)
        << "the bus does not look there by default: " << out;
    EXPECT_FALSE(Exists(UserFile()));

    ASSERT_EQ(Run({"--unregserver"}, nullptr, nullptr, program), std::optional<int>(kExitOk));
    EXPECT_FALSE(Exists(file));
}

} // namespace
