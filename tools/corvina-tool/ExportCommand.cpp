// corvina-tool export: the text export of the application, for a record file.

#include "app/TextExport.h"
#include "core/FileUtils.h"
#include "core/MVarArray.h"
#include "storage/PGFiles.h"
#include "tools/corvina-tool/Tool.h"

#include <cstdio>

namespace tool {
namespace {

constexpr const char* kCommand = "export";

constexpr const char* kHelp =
    "Usage: corvina-tool export REC.pwv [-o OUT.txt] [OPTIONS]\n"
    "       corvina-tool export REC.pwv --format edf [-o OUT.edf] [--from S] [--to E]\n"
    "\n"
    "Writes a fragment of a record as text, as the application's export does: the pulse wave\n"
    "resampled to a chosen rate, then the RR intervals and the heart rate variability table.\n"
    "The text is Windows-1251 with CR LF line ends. The record is only read.\n"
    "\n"
    "Options (their defaults are the application's saved export settings, else the values shown):\n"
    "  -o, --output OUT.txt  the text file (default: REC with the extension .txt)\n"
    "  --from S              fragment start, seconds of record time (default: the record's start)\n"
    "  --to E                fragment end, seconds of record time (default: the record's end)\n"
    "  --rate F              pulse wave sample rate, 10 ... 5000 Hz (100)\n"
    "  --delimiter D         text after every value, 1 ... 4 characters; each \"n\" stands for a\n"
    "                        line break (\" \"; a tab can be given as $'\\t' in the shell)\n"
    "  --no-pulse, --pulse   leave out / include the pulse wave\n"
    "  --no-rr, --rr         leave out / include the RR intervals and the statistics\n"
    "  --timestamps, --no-timestamps\n"
    "                        a time stamp (microseconds) per pulse wave sample (off)\n"
    "  --isoline, --no-isoline\n"
    "                        isoline-corrected pulse wave (the application's setting, else off)\n"
    "  --no-settings         ignore the application's saved settings\n"
    "  --format text|edf     text (the default), or EDF+: the pulse wave at the record's own rate\n"
    "                        (one step 0.0001 of the record's unit), the patient data, the start\n"
    "                        time and the heart-rate entries as annotations (default output\n"
    "                        REC.edf; only -o, --from and --to apply)\n"
    "  -h, --help            this text\n";

} // namespace

int RunExport(const std::vector<std::string>& argv) {
    Args args;
    std::string error;
    const std::vector<OptionDef> defs = {
        {"output", 'o', true},
        {"from", 0, true},
        {"to", 0, true},
        {"rate", 0, true},
        {"delimiter", 0, true},
        {"pulse", 0, false},
        {"no-pulse", 0, false},
        {"rr", 0, false},
        {"no-rr", 0, false},
        {"timestamps", 0, false},
        {"no-timestamps", 0, false},
        {"isoline", 0, false},
        {"no-isoline", 0, false},
        {"no-settings", 0, false},
        {"format", 0, true},
    };
    if (!ParseArgs(argv, defs, args, error)) return UsageError(kCommand, error);
    if (args.help) {
        Print(kHelp);
        return kExitOk;
    }
    if (args.positional.size() != 1)
        return UsageError(kCommand,
                          args.positional.empty() ? "no record file given" : "give one record file");
    if (const std::string* format = args.Value("format"); format && *format != "text") {
        if (*format == "edf") return RunEdfExport(args);
        return UsageError(kCommand, "--format wants text or edf, not '" + *format + "'");
    }
    const std::string& path = args.positional[0];
    const std::string* output = args.Value("output");
    const std::string target = output ? *output : WithExtension(path, ".txt");
    if (PathArg(path).IsEmpty() || PathArg(target).IsEmpty()) return UsageError(kCommand, "empty file name");

    // Option values first: a bad one is reported before any file is touched.
    ExportOptions options;
    bool isoline = false;
    if (!args.Has("no-settings")) {
        const std::string settingsPath = SettingsFilePath();
        MVarArray settings;
        if (!settingsPath.empty() && FileExists(PathArg(settingsPath)) &&
            settings.LoadFromFile(PathArg(settingsPath))) {
            LoadExportOptions(settings, options);
            if (const MVarArray* iso = settings.Find(MVariant(u"AutoCorrectIsoline")))
                isoline = iso->Value().AsInt() != 0;
        }
    }
    if (const std::string* v = args.Value("rate")) {
        int64_t rate = 0;
        if (!ParseInt(*v, rate) || rate < kExportMinRate || rate > kExportMaxRate)
            return UsageError(kCommand, "--rate wants a whole number of Hz from " +
                                            std::to_string(kExportMinRate) + " to " +
                                            std::to_string(kExportMaxRate) + ", not '" + *v + "'");
        options.sampleF = double(rate);
    }
    if (const std::string* v = args.Value("delimiter")) {
        const MString text = PathArg(*v);
        if (text.IsEmpty() || text.Length() > kExportMaxDelimiterText || v->find('\0') != std::string::npos)
            return UsageError(kCommand, "--delimiter wants 1 to " + std::to_string(kExportMaxDelimiterText) +
                                            " characters");
        ApplyExportDelimiterText(options, text, nullptr);
    }
    options.pulse = args.Switch("pulse", "no-pulse", options.pulse);
    options.rr = args.Switch("rr", "no-rr", options.rr);
    options.timeStamps = args.Switch("timestamps", "no-timestamps", options.timeStamps);
    isoline = args.Switch("isoline", "no-isoline", isoline);

    PGFiles record;
    if (!OpenRecord(path, record, true, error)) {
        Error(kCommand, error);
        return kExitFailure;
    }
    if (SameFile(path, target)) {
        Error(kCommand, "the output would replace the record " + path);
        return kExitFailure;
    }
    if (!ResolveFragment(args, record, options.start, options.end, error)) return UsageError(kCommand, error);
    record.IsolineCorrection = isoline;

    const ExportResult r = WriteExport(PathArg(target), options, record);
    record.Close();
    if (!r.ok) {
        Error(kCommand, r.message.ToUtf8());
        Error(kCommand, r.reason);
        return kExitFailure;
    }
    std::printf("wrote %s: fragment %s ... %s s", target.c_str(),
                MString::FromDouble(options.start).ToUtf8().c_str(),
                MString::FromDouble(options.end).ToUtf8().c_str());
    if (options.pulse)
        std::printf(", %lld samples at %lld Hz", (long long)r.samples, (long long)options.sampleF);
    if (options.rr) std::printf(", %lld RR intervals, %d parameters", (long long)r.rrIntervals, r.parameters);
    std::printf("\n");
    return kExitOk;
}

} // namespace tool
