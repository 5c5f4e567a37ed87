// corvina-tool beats: every beat found in a record's pulse wave, with its fiducial times,
// amplitude, quality and flags.

#include "analysis/PreciseAnalysis.h"
#include "storage/PGFiles.h"
#include "tools/corvina-tool/PreciseOutput.h"
#include "tools/corvina-tool/Tool.h"

#include <cstdio>
#include <string>

namespace tool {
namespace {

constexpr const char* kCommand = "beats";

constexpr const char* kHelp =
    "Usage: corvina-tool beats REC.pwv [--from S] [--to E] [--csv | --json]\n"
    "\n"
    "Finds every beat in the record's pulse wave, at the record's own sample rate, and lists\n"
    "per beat: onset (the foot), max_slope (the steepest point of the upstroke) and peak (the\n"
    "systolic maximum) in seconds of record time, to a fraction of a sample; amplitude (peak\n"
    "minus foot, signal units); quality (correlation with the running beat template, -1 ... 1)\n"
    "and flags: artefact (not to be trusted), clipped (flat at the converter's limit), unlike\n"
    "(quality below 0.5), amplitude (far from the recent beats'), ectopic (premature, found by\n"
    "the interval correction). The heart-rate entries stored in the record are not used.\n"
    "The record is only read.\n"
    "\n"
    "Options:\n"
    "  --from S      fragment start, seconds of record time (default: the record's start)\n"
    "  --to E        fragment end (default: the record's end)\n"
    "  --csv         CSV with a header line, one row per beat\n"
    "  --json        one JSON object with the beats and the provenance\n"
    "  -h, --help    this text\n";

std::string Fixed(double v, int decimals) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

} // namespace

int RunBeats(const std::vector<std::string>& argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argv, {{"from", 0, true}, {"to", 0, true}, {"json", 0, false}, {"csv", 0, false}}, args,
                   error))
        return UsageError(kCommand, error);
    if (args.help) {
        Print(kHelp);
        return kExitOk;
    }
    if (args.positional.size() != 1)
        return UsageError(kCommand,
                          args.positional.empty() ? "no record file given" : "give one record file");
    if (args.Has("json") && args.Has("csv"))
        return UsageError(kCommand, "--json and --csv exclude each other");
    for (const char* name : {"from", "to"}) {
        double v = 0;
        const std::string* text = args.Value(name);
        if (text && (!ParseSeconds(*text, v) || v < 0))
            return UsageError(kCommand, "--" + std::string(name) + " wants seconds of record time, not '" +
                                            *text + "'");
    }
    const std::string& path = args.positional[0];
    PGFiles record;
    if (!OpenRecord(path, record, true, error)) {
        Error(kCommand, error);
        return kExitFailure;
    }
    double from = 0, to = 0;
    if (!ResolveFragment(args, record, from, to, error)) {
        Error(kCommand, error);
        return kExitFailure;
    }
    sPreciseOptions o;
    o.from = from;
    o.to = to;
    o.table = true; // the correction marks the ectopic beats
    const sPreciseResult r = AnalyzeRecordPrecise(record, o);
    record.Close();
    if (!r.ok) {
        Error(kCommand, path + ": " + r.reason);
        return kExitFailure;
    }

    std::string out;
    out.reserve(r.beats.size() * 80 + 1024);
    if (args.Has("csv")) {
        out += "index,onset_s,max_slope_s,peak_s,amplitude,quality,flags\n";
        for (size_t i = 0; i < r.beats.size(); ++i) {
            const sPulseBeat& b = r.beats[i];
            out += std::to_string(i) + "," + Fixed(b.onset, 4) + "," + Fixed(b.maxSlope, 4) + "," +
                   Fixed(b.peak, 4) + "," + Fixed(b.amplitude, 5) + "," + Fixed(b.quality, 3) + "," +
                   PulseBeatFlagText(b.flags) + "\n";
        }
    } else if (args.Has("json")) {
        out += "{\"file\": " + JsonString(path) + ", \"from_s\": " + JsonNumber(r.from) +
               ", \"to_s\": " + JsonNumber(r.to) + ", \"rate_hz\": " + JsonNumber(r.rate) + ", \"beats\": [";
        for (size_t i = 0; i < r.beats.size(); ++i) {
            const sPulseBeat& b = r.beats[i];
            out += i ? ",\n  " : "\n  ";
            out += "{\"onset_s\": " + Fixed(b.onset, 4) + ", \"max_slope_s\": " + Fixed(b.maxSlope, 4) +
                   ", \"peak_s\": " + Fixed(b.peak, 4) + ", \"amplitude\": " + Fixed(b.amplitude, 5) +
                   ", \"quality\": " + Fixed(b.quality, 3) +
                   ", \"flags\": " + JsonString(PulseBeatFlagText(b.flags)) + "}";
        }
        out += "],\n \"provenance\": " + ProvenanceJson(r.provenance) + "}\n";
    } else {
        out += path + ": " + std::to_string(r.beats.size()) + " beats in " + Fixed(r.from, 3) + " ... " +
               Fixed(r.to, 3) + " s at " + Fixed(r.rate, 0) + " Hz\n";
        out += "   index    onset_s  max_slope_s     peak_s  amplitude  quality  flags\n";
        char line[160];
        for (size_t i = 0; i < r.beats.size(); ++i) {
            const sPulseBeat& b = r.beats[i];
            std::snprintf(line, sizeof line, "%8zu %10.4f %12.4f %10.4f %10.5f %8.3f  %s\n", i, b.onset,
                          b.maxSlope, b.peak, b.amplitude, b.quality, PulseBeatFlagText(b.flags).c_str());
            out += line;
        }
    }
    Print(out);
    return kExitOk;
}

} // namespace tool
