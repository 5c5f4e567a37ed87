// The program's entry: the command line, then the program without windows (there is no display,
// --headless was given, or this build has no windows).

#include "app/AppState.h"
#include "app/CmdLineParser.h"
#include "app/Headless.h"
#include "app/ServiceRegistration.h"
#include "core/MVarArray.h"
#include "core/Settings.h"
#include "device/hidapi/HidapiController.h"
#include "sim/SimKestrel.h"
#include "sim/SimScenario.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kUsage =
    "Usage: corvina [options] | corvina RECORD.pwv\n"
    "\n"
    "Live pulse wave from the Kestrel-9 photoplethysmograph with automatic LED and gain\n"
    "regulation, recording to .pwv record files and their text export.\n"
    "\n"
    "  --out_file=PATH          unattended run: wait for a settled regulator and a stable\n"
    "                           pulse, record into PATH (\".pwv\" is added unless the name\n"
    "                           ends so), export it as text into the same name with \".txt\"\n"
    "                           (Windows-1251, CR LF) and exit\n"
    "  --duration=SECONDS       recording length of the unattended run (records SECONDS + 5 s;\n"
    "                           default 60 + 5)\n"
    "  --led=red|red_clip|ir_clip  LED to use in the unattended run\n"
    "  --export_samplerate=HZ   sample rate of the text export, 10 ... 5000 (kept in the settings)\n"
    "  --export_delimiter=TEXT  text between exported values; its first n becomes a line break,\n"
    "                           its first s a space, its first t a tab (kept in the settings)\n"
    "  --update_list=ADDRESS    http:// address of the update list asked at shutdown (kept in\n"
    "                           the settings; an empty value turns the check off)\n"
    "  --keep_power_on          leave the device's LEDs and power on when disconnecting\n"
    "  --minimize               start with the main window minimised\n"
    "  --headless               run without windows even when a display is available\n"
    "  --simulate               use the simulated Kestrel-9 instead of the USB device\n"
    "  --scenario=NAMES         with --simulate: rest, ectopic, artefact, lowperfusion,\n"
    "                           irregular, stress, comma-separated (default rest)\n"
    "  --seed=N                 with --simulate: seed of the simulation (default 1)\n"
    "  --help                   show this text\n"
    "  --regserverperuser       register the automation service (org.onyx.Corvina) with the\n"
    "                           session bus for this user, in $XDG_DATA_HOME/dbus-1/services\n"
    "                           (default ~/.local/share), and exit; --simulate and\n"
    "                           --keep_power_on given with it are kept for the bus's start\n"
    "  --unregserverperuser     remove that registration and exit\n"
    "  --regserver, --unregserver  the same for everyone, in <prefix>/share/dbus-1/services\n"
    "\n"
    "Settings are kept in $XDG_CONFIG_HOME/Onyx.Corvina/Ini.bin (default ~/.config). A new start\n"
    "replaces a running instance that uses the same settings folder.\n"
    "Exit codes: 0 done, 2 bad command line, 3 record file not writable, 4 export file not\n"
    "writable, 5 start-up failed, 6 registration failed, 225 replaced by a newer instance,\n"
    "128 + signal number when SIGINT, SIGTERM or SIGHUP cuts an unattended run short.\n";

constexpr const char16_t* kKnownOptions[] = {
    cCmdLineParser::kHelp,
    cCmdLineParser::kKeepPowerOn,
    cCmdLineParser::kMinimize,
    cCmdLineParser::kOutFile,
    cCmdLineParser::kDuration,
    cCmdLineParser::kExportSampleRate,
    cCmdLineParser::kExportDelimiter,
    cCmdLineParser::kUpdateList,
    cCmdLineParser::kLed,
    cCmdLineParser::kHeadless,
    cCmdLineParser::kSimulate,
    cCmdLineParser::kRegServer,
    cCmdLineParser::kUnregServer,
    cCmdLineParser::kRegServerPerUser,
    cCmdLineParser::kUnregServerPerUser,
    cCmdLineParser::kScenario,
    cCmdLineParser::kSeed,
};

// The arguments as one line, the way a shell hands over a command line, without double quotes.
MString CommandLine(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) line += ' ';
        line += argv[i];
    }
    std::erase(line, '"');
    return MString(line);
}

bool IsKnownOption(const MString& name) {
    for (const char16_t* known : kKnownOptions)
        if (name.Equals(known)) return true;
    return false;
}

// A file the run will create: its folder must exist and be writable, and it must not be a folder.
bool CheckWritable(const MString& path, const char* what) {
    const std::string native = path.ToUtf8();
    const size_t slash = native.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : native.substr(0, slash);
    struct stat st;
    const char* problem = nullptr;
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        problem = "its folder does not exist";
    else if (::access(folder.c_str(), W_OK | X_OK) != 0)
        problem = "its folder is not writable";
    else if (::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        problem = "it is a folder";
    else if (::access(native.c_str(), F_OK) == 0 && ::access(native.c_str(), W_OK) != 0)
        problem = "it is not writable";
    if (!problem) return true;
    std::fprintf(stderr, "corvina: the %s %s cannot be written: %s\n", what, native.c_str(), problem);
    return false;
}

} // namespace

int main(int argc, char** argv) {
    cAppState* app = GetAppState(true);
    if (!app) return kExitStartFailed;
    cCmdLineParser& cmd = app->CmdLine;
    cmd.Parse(CommandLine(argc, argv), GetSettings(true));

    for (int i = 0; i < cmd.Count(); ++i) {
        const MString name = cmd.Child(i).Key().AsString();
        if (!IsKnownOption(name))
            std::fprintf(stderr, "corvina: unknown option \"--%s\" ignored\n", name.ToUtf8().c_str());
    }
    // Registration with the session bus comes before everything else of the start-up.
    sRegistrationRequest registration;
    std::string registrationError;
    if (!RegistrationFromCommandLine(cmd, registration, registrationError)) {
        std::fprintf(stderr, "corvina: %s\n", registrationError.c_str());
        return kExitBadCommandLine;
    }
    if (registration.action != RegistrationAction::kNone) {
        const sRegistrationResult r = RunRegistration(registration, cmd);
        std::fprintf(r.ok ? stdout : stderr, "corvina: %s\n", r.message.c_str());
        return r.ok ? kExitOk : kExitRegistrationFailed;
    }
    if (cmd.Help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (cmd.Unattended) {
        if (cmd.Text(cCmdLineParser::kOutFile).IsEmpty()) {
            std::fputs("corvina: --out_file needs the name of the record file\n", stderr);
            return kExitBadCommandLine;
        }
        if (!CheckWritable(cmd.RecordFileName, "record file")) return kExitRecordFailed;
        if (!CheckWritable(cmd.ExportFileName, "export file")) return kExitExportFailed;
    }

    if (cmd.Simulate) {
        SimKestrelConfig sim;
        std::string scenario;
        if (!SimConfigFromCmdLine(cmd, sim, scenario)) {
            std::fprintf(stderr, "corvina: bad --scenario or --seed (scenarios: %s)\n", SimScenarioNames());
            return kExitBadCommandLine;
        }
    }

    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool haveDisplay = (display && *display) || (wayland && *wayland);
    if (haveDisplay && !cmd.Headless)
        std::fputs("corvina: this build has no windows; running without them\n", stderr);

    InstallStopSignals();
    sHeadlessConfig config;
    config.makeController = [] { return std::make_unique<HidapiController>(); };
    const int code = RunHeadless(config);
    ShutdownAppState();
    return code;
}
