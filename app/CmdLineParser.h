#pragma once
// The command line. Options are written "--name" or "--name=value"; the text between one "--" and
// the next (or the end) is one option, its name and value trimmed. Names are case-sensitive; an
// option with another name is kept and has no effect. A line without any option that holds a
// ".pwv" path (after its first three characters) names a record to open, which is how a record is
// opened from a file manager.
//
//   --help                  print the command-line help
//   --keep_power_on         leave the device's LEDs and power on when disconnecting
//   --minimize              start with the main window minimised
//   --out_file=PATH         unattended run: record into PATH (".pwv" added unless it ends so),
//                           export the recording as text beside it (".txt") and exit
//   --duration=SECONDS      length of an unattended recording (recorded for SECONDS + 5 s)
//   --export_samplerate=HZ  export rate, clamped to 10 ... 5000 (stored in the settings)
//   --export_delimiter=TEXT text between exported values: its first "n" becomes a line break,
//                           then its first "s" a space, its first "t" a tab (stored in the settings)
//   --led=red|red_clip|ir_clip  LED selected at the start of an unattended run
//   --update_list=ADDRESS   http:// address of the update list asked at shutdown (stored in the
//                           settings; an empty value turns the check off)
//   --headless              run without windows even when a display is available
//   --simulate              use the simulated Kestrel-9 instead of the USB device
//   --regserver, --unregserver, --regserverperuser, --unregserverperuser
//                           register the automation service with the session bus, or remove
//                           the registration, for everyone or for this user, and exit
//   --scenario=NAMES        with --simulate: its signal scenarios (sim/SimScenario.h)
//   --seed=N                with --simulate: its seed
//
// Flags count as present whatever value they carry. Values are read as numbers leniently: a
// "duration" that is not a number reads as 0.
//
// Thread: main thread (parsed once before the program starts its modules).

#include "core/MString.h"
#include "core/MVarArray.h"

#include <cstdint>

class cCmdLineParser : public MVarArray {
public:
    // Option names.
    static constexpr char16_t kHelp[] = u"help";
    static constexpr char16_t kKeepPowerOn[] = u"keep_power_on";
    static constexpr char16_t kMinimize[] = u"minimize";
    static constexpr char16_t kOutFile[] = u"out_file";
    static constexpr char16_t kDuration[] = u"duration";
    static constexpr char16_t kExportSampleRate[] = u"export_samplerate";
    static constexpr char16_t kExportDelimiter[] = u"export_delimiter";
    static constexpr char16_t kLed[] = u"led";
    static constexpr char16_t kUpdateList[] = u"update_list";
    static constexpr char16_t kHeadless[] = u"headless";
    static constexpr char16_t kSimulate[] = u"simulate";
    // Registration with the session bus (app/ServiceRegistration.h) and the start by the bus.
    static constexpr char16_t kRegServer[] = u"regserver";
    static constexpr char16_t kUnregServer[] = u"unregserver";
    static constexpr char16_t kRegServerPerUser[] = u"regserverperuser";
    static constexpr char16_t kUnregServerPerUser[] = u"unregserverperuser";
    static constexpr char16_t kEmbedding[] = u"embedding";
    static constexpr char16_t kScenario[] = u"scenario";
    static constexpr char16_t kSeed[] = u"seed";

    // Seconds added to "duration": the recording lasts duration + 1 controller periods.
    static constexpr int32_t kDurationExtra = 4;
    static constexpr int32_t kDefaultDuration = 60;
    // The record path of a bare line must have its ".pwv" after this index.
    static constexpr int kBarePathMinIndex = 2;

    cCmdLineParser() = default;

    // Parses a command line from which every double quote has been removed. Settings that the
    // line sets (export rate and delimiter, the export part switches of an unattended run) are
    // written into settings when it is given. Resets everything parsed before.
    void Parse(const MString& line, MVarArray* settings);

    // True when an option of this name was given (whatever its value).
    bool Has(const char16_t* name) const;
    // The option's value as text; empty when absent.
    MString Text(const char16_t* name) const;

    // Record to open at start (a bare .pwv line) or the record of an unattended run.
    MString RecordFileName;
    // Text export of an unattended run.
    MString ExportFileName;
    // Set by the start-up once the program has shown itself the first time.
    bool FirstShowingDone = false;
    bool Minimize = false;
    // Set by "out_file".
    bool Unattended = false;
    // Seconds the controller records for (duration + kDurationExtra).
    int32_t Duration = kDefaultDuration;
    bool Help = false;
    bool KeepPower = false;
    bool Headless = false;
    bool Simulate = false;
};

// The record path of "out_file": the value with ".pwv" appended unless the text after its last
// "." is exactly "pwv" (so "a.PWV" becomes "a.PWV.pwv").
MString CmdLineRecordPath(const MString& outFile);
// The export beside a record path: its final ".pwv" replaced by ".txt".
MString CmdLineExportPath(const MString& recordPath);
// The delimiter of "export_delimiter": its first "n" becomes CR LF, then its first "s" a space,
// then its first "t" a tab. An empty text gives one space (an export without separators could
// not be read back).
MString CmdLineDelimiter(const MString& text);
