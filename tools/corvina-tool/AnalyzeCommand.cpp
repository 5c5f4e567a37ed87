// corvina-tool analyze: record length, beats and the heart rate variability table of records.

#include "analysis/BeatSeriesLoader.h"
#include "analysis/ParamTable.h"
#include "analysis/PreciseAnalysis.h"
#include "analysis/VariabilityCore.h"
#include "storage/PGFiles.h"
#include "tools/corvina-tool/PreciseOutput.h"
#include "tools/corvina-tool/Tool.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace tool {
namespace {

constexpr const char* kCommand = "analyze";

constexpr const char* kHelp =
    "Usage: corvina-tool analyze REC.pwv... [--from S] [--to E] [--precise] [--json | --csv]\n"
    "\n"
    "For each record: its length, the beats of the fragment and the whole heart rate\n"
    "variability table, computed as the application's variability window and text export do.\n"
    "The records are only read.\n"
    "\n"
    "Options:\n"
    "  --from S      fragment start, seconds of record time (default: the record's start)\n"
    "  --to E        fragment end, seconds of record time (default: the record's end);\n"
    "                both are clamped into each record\n"
    "  --precise     also find the beats in the pulse wave itself, correct the interval\n"
    "                series (Lipponen & Tarvainen 2019) and add the standard HRV table\n"
    "                (Task Force 1996; see 'corvina-tool beats --help' and the README)\n"
    "  --json        one JSON array, an object per record\n"
    "  --csv         CSV with a header line and one row per record (UTF-8, \".\" decimals)\n"
    "  -h, --help    this text\n"
    "\n"
    "A fragment with fewer than 11 beats has no table. A record that cannot be analysed is\n"
    "reported and the others are still processed; the exit status is then 1.\n";

struct FileResult {
    std::string path;
    std::string error; // empty when analysed
    double recordStart = 0, recordEnd = 0;
    double from = 0, to = 0;
    int beats = 0;       // in the analysed range
    int beatsTotal = 0;  // accepted beats of the whole record
    int rrIntervals = 0; // as the text export counts them
    std::vector<ParamRow> rows;
    bool precise = false;
    sPreciseResult standard; // with --precise
};

FileResult Analyze(const std::string& path, const Args& args, VariabilityCore& core) {
    FileResult r;
    r.path = path;
    PGFiles record;
    if (!OpenRecord(path, record, true, r.error)) return r;
    r.recordStart = record.StartTime();
    r.recordEnd = record.EndTime();
    if (!ResolveFragment(args, record, r.from, r.to, r.error)) return r;
    r.beatsTotal = LoadFragmentBeats(core, record);
    if (args.Has("precise")) {
        sPreciseOptions o;
        o.from = r.from;
        o.to = r.to;
        r.standard = AnalyzeRecordPrecise(record, o);
        r.precise = true;
        if (!r.standard.ok) r.error = path + ": " + r.standard.reason;
    }
    record.Close();
    const int i0 = core.IndexAtTime(float(r.from));
    const int i1 = core.IndexAtTime(float(r.to));
    core.Compute(i0, i1);
    if (core.BeatCount() > 0) {
        r.beats = std::max(0, std::min(i1, core.BeatCount() - 1) - std::max(i0, 0) + 1);
        r.rrIntervals = std::max(0, i1 - i0);
    }
    r.rows = ParamRows(core.Table());
    return r;
}

std::string Num(double v) {
    return MString::FromDouble(v).ToUtf8();
}

// A parameter value as a JSON or CSV number (text values as they are).
std::string ValueText(const MVariant& v, bool json) {
    switch (v.GetType()) {
        case MVariant::kInt:
            return std::to_string(v.AsInt());
        case MVariant::kDouble:
            return JsonNumber(v.AsDouble());
        case MVariant::kEmpty:
            return json ? "null" : "";
        default:
            return json ? JsonString(v.AsString().ToUtf8()) : v.AsString().ToUtf8();
    }
}

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// Characters (not bytes) of UTF-8 text, for aligning columns.
size_t Width(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

void PrintText(const std::vector<FileResult>& results) {
    bool first = true;
    for (const FileResult& r : results) {
        if (!r.error.empty()) continue;
        if (!first) Print("\n");
        first = false;
        std::printf("%s\n", r.path.c_str());
        std::printf("  record length: %s s (time stamps %s ... %s s)\n",
                    Num(r.recordEnd - r.recordStart).c_str(), Num(r.recordStart).c_str(),
                    Num(r.recordEnd).c_str());
        std::printf("  fragment: %s ... %s s\n", Num(r.from).c_str(), Num(r.to).c_str());
        std::printf("  beats: %d in the fragment, %d in the record; RR intervals: %d\n", r.beats,
                    r.beatsTotal, r.rrIntervals);
        if (r.rows.empty()) {
            std::printf("  no variability table: fewer than %d beats in the fragment\n",
                        VariabilityCore::kMinRangeBeats);
            if (r.precise) Print(PreciseText(r.standard));
            continue;
        }
        size_t width = 0;
        for (const ParamRow& row : r.rows) width = std::max(width, Width(row.name.ToUtf8()));
        for (const ParamRow& row : r.rows) {
            const std::string name = row.name.ToUtf8();
            std::string line =
                "  " + name + std::string(width - Width(name), ' ') + " = " + row.valueText.ToUtf8();
            const std::string limit = row.limit.ToUtf8();
            if (!limit.empty() && limit != "-") line += "  (norm " + limit + ")";
            std::printf("%s\n", line.c_str());
        }
        if (r.precise) Print(PreciseText(r.standard));
    }
}

void PrintJson(const std::vector<FileResult>& results) {
    Print("[");
    for (size_t i = 0; i < results.size(); ++i) {
        const FileResult& r = results[i];
        std::string o = i ? ",\n {" : "\n {";
        o += "\"file\": " + JsonString(r.path);
        if (!r.error.empty()) {
            o += ", \"error\": " + JsonString(r.error) + "}";
            Print(o);
            continue;
        }
        o += ", \"record_length_s\": " + JsonNumber(r.recordEnd - r.recordStart);
        o += ", \"record_start_s\": " + JsonNumber(r.recordStart);
        o += ", \"record_end_s\": " + JsonNumber(r.recordEnd);
        o += ", \"from_s\": " + JsonNumber(r.from) + ", \"to_s\": " + JsonNumber(r.to);
        o += ", \"beats\": " + std::to_string(r.beats) +
             ", \"beats_in_record\": " + std::to_string(r.beatsTotal);
        o += ", \"rr_intervals\": " + std::to_string(r.rrIntervals);
        o += ", \"parameters\": {";
        for (size_t k = 0; k < r.rows.size(); ++k) {
            if (k) o += ", ";
            o += JsonString(r.rows[k].name.ToUtf8()) + ": " + ValueText(r.rows[k].value, true);
        }
        o += "}";
        if (r.precise) o += ", \"precise\": " + PreciseJson(r.standard);
        o += "}";
        Print(o);
    }
    Print("\n]\n");
}

void PrintCsv(const std::vector<FileResult>& results) {
    // Columns: every parameter any record has, in table order.
    std::vector<MString> names;
    for (const FileResult& r : results)
        for (const ParamRow& row : r.rows)
            if (std::find(names.begin(), names.end(), row.name) == names.end()) names.push_back(row.name);
    std::sort(names.begin(), names.end());
    std::string line = "file,record_length_s,from_s,to_s,beats,beats_in_record,rr_intervals";
    for (const MString& n : names) line += "," + CsvField(n.ToUtf8());
    const bool precise =
        std::any_of(results.begin(), results.end(), [](const FileResult& r) { return r.precise; });
    if (precise)
        for (const std::string& c : PreciseCsvColumns()) line += "," + c;
    line += ",error\n";
    Print(line);
    for (const FileResult& r : results) {
        line = CsvField(r.path);
        if (r.error.empty()) {
            line += "," + JsonNumber(r.recordEnd - r.recordStart) + "," + JsonNumber(r.from) + "," +
                    JsonNumber(r.to);
            line += "," + std::to_string(r.beats) + "," + std::to_string(r.beatsTotal) + "," +
                    std::to_string(r.rrIntervals);
        } else {
            line += ",,,,,,";
        }
        for (const MString& n : names) {
            line += ",";
            for (const ParamRow& row : r.rows)
                if (row.name == n) line += CsvField(ValueText(row.value, false));
        }
        if (precise)
            for (const std::string& v : PreciseCsvValues(r.error.empty() ? &r.standard : nullptr))
                line += "," + v;
        line += "," + CsvField(r.error) + "\n";
        Print(line);
    }
}

} // namespace

int RunAnalyze(const std::vector<std::string>& argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argv,
                   {{"from", 0, true},
                    {"to", 0, true},
                    {"json", 0, false},
                    {"csv", 0, false},
                    {"precise", 0, false}},
                   args, error))
        return UsageError(kCommand, error);
    if (args.help) {
        Print(kHelp);
        return kExitOk;
    }
    if (args.positional.empty()) return UsageError(kCommand, "no record file given");
    if (args.Has("json") && args.Has("csv"))
        return UsageError(kCommand, "--json and --csv exclude each other");
    for (const char* name : {"from", "to"}) {
        double v = 0;
        const std::string* text = args.Value(name);
        if (text && (!ParseSeconds(*text, v) || v < 0))
            return UsageError(kCommand, "--" + std::string(name) + " wants seconds of record time, not '" +
                                            *text + "'");
    }

    auto core = std::make_unique<VariabilityCore>();
    std::vector<FileResult> results;
    bool failed = false;
    for (const std::string& path : args.positional) {
        results.push_back(Analyze(path, args, *core));
        if (!results.back().error.empty()) {
            Error(kCommand, results.back().error);
            failed = true;
        }
    }
    if (args.Has("json"))
        PrintJson(results);
    else if (args.Has("csv"))
        PrintCsv(results);
    else
        PrintText(results);
    return failed ? kExitFailure : kExitOk;
}

} // namespace tool
