// corvina-tool info: what a record file holds.

#include "core/FileUtils.h"
#include "core/MFileStream.h"
#include "storage/MMuxer.h"
#include "storage/PGFiles.h"
#include "tools/corvina-tool/Tool.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <sys/stat.h>

namespace tool {
namespace {

constexpr const char* kCommand = "info";

constexpr const char* kHelp =
    "Usage: corvina-tool info REC.pwv [--json]\n"
    "\n"
    "Shows a record's length, start time, metadata, its chunks counted by kind and the bytes\n"
    "that belong to no chunk (damaged or left over). The record is only read.\n"
    "\n"
    "Options:\n"
    "  --json        the same as one JSON object\n"
    "  -h, --help    this text\n";

struct Kind {
    uint8_t id;
    const char* name; // text output
    const char* key;  // JSON
};
constexpr std::array<Kind, 5> kKinds = {{
    {PGFiles::kTimeStampId, "time stamps", "time_stamps"},
    {PGFiles::kSamplesId, "sample blocks", "sample_blocks"},
    {PGFiles::kHeartRateId, "heart rates", "heart_rates"},
    {PGFiles::kMetadataId, "metadata", "metadata"},
    {PGFiles::kRegulatorId, "regulator states", "regulator_states"},
}};

struct Scan {
    int64_t size = 0;
    std::array<int64_t, 256> chunks{}; // by stream id
    int64_t samples = 0;               // int16 values in sample chunks
    int64_t skipped = 0;               // bytes outside every chunk
    bool haveStamp = false;
    PGFiles::TimeStamp firstStamp;
};

// Walks every chunk from the start, as a reader resynchronising past damage would.
bool ScanChunks(const std::string& path, Scan& scan, std::string& error) {
    MFileHandle file(OpenForRead(PathArg(path)));
    MFileStream stream;
    if (!file.IsOpen() || !stream.Attach(file.Get(), true)) {
        error = "cannot read " + path;
        return false;
    }
    scan.size = stream.GetSize();
    MMuxer mux;
    mux.SetStream(&stream);
    int64_t covered = 0;
    for (bool more = mux.Next(); more; more = mux.Next()) {
        const uint8_t id = mux.StreamId();
        ++scan.chunks[id];
        covered += mux.End() - mux.Position();
        const int32_t length = mux.PayloadLength();
        if (id == PGFiles::kSamplesId) scan.samples += length / 2;
        if (id == PGFiles::kTimeStampId && !scan.haveStamp && length == PGFiles::kTimeStampSize) {
            uint8_t p[PGFiles::kTimeStampSize];
            if (mux.ReadPayload(p, 0, PGFiles::kTimeStampSize) == PGFiles::kTimeStampSize) {
                scan.haveStamp = true;
                scan.firstStamp.wallClock = int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 |
                                                    uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
                scan.firstStamp.timeMs =
                    uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
                scan.firstStamp.periodMs = uint16_t(p[8] | p[9] << 8);
                scan.firstStamp.divisor = uint16_t(p[10] | p[11] << 8);
            }
        }
    }
    stream.Detach();
    scan.skipped = scan.size - covered;
    return true;
}

std::string LocalTime(int64_t unixSeconds) {
    const time_t t = time_t(unixSeconds);
    struct tm local {};
    if (!::localtime_r(&t, &local)) return "?";
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local);
    return text;
}

std::string Num(double v) {
    return MString::FromDouble(v).ToUtf8();
}

// A metadata value on one line.
std::string OneLine(const MString& s) {
    std::string out;
    for (char c : s.ToUtf8()) {
        if (c == '\r') continue;
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

} // namespace

int RunInfo(const std::vector<std::string>& argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argv, {{"json", 0, false}}, args, error)) return UsageError(kCommand, error);
    if (args.help) {
        Print(kHelp);
        return kExitOk;
    }
    if (args.positional.size() != 1)
        return UsageError(kCommand,
                          args.positional.empty() ? "no record file given" : "give one record file");
    const std::string& path = args.positional[0];

    PGFiles record;
    if (!OpenRecord(path, record, false, error)) {
        Error(kCommand, error);
        return kExitFailure;
    }
    const double start = record.StartTime(), end = record.EndTime();
    const bool hasRange = start >= 0 && end >= start;
    const MAssocStrings metadata = record.Metadata;
    record.Close();
    Scan scan;
    if (!ScanChunks(path, scan, error)) {
        Error(kCommand, error);
        return kExitFailure;
    }
    const MString startKey(u"RecordStartT");
    const bool hasStartMark = metadata.Contains(startKey);
    int64_t startMark = 0;
    for (int i = 0; i < metadata.Count(); ++i)
        if (metadata.At(i).key == startKey) {
            startMark = metadata.At(i).value.ToInt64();
            break;
        }
    int64_t other = 0;
    for (size_t id = 0; id < scan.chunks.size(); ++id)
        if (id < PGFiles::kTimeStampId || id > PGFiles::kRegulatorId) other += scan.chunks[id];

    if (args.Has("json")) {
        std::string o = "{\"file\": " + JsonString(path) + ", \"size_bytes\": " + std::to_string(scan.size);
        o += ", \"length_s\": " + (hasRange ? JsonNumber(end - start) : "null");
        o += ", \"start_s\": " + (hasRange ? JsonNumber(start) : "null");
        o += ", \"end_s\": " + (hasRange ? JsonNumber(end) : "null");
        o += ", \"record_start_unix\": " + (hasStartMark ? std::to_string(startMark) : "null");
        o += ", \"record_start_local\": " + (hasStartMark ? JsonString(LocalTime(startMark)) : "null");
        o += ", \"first_stamp_wall_clock_unix\": " +
             (scan.haveStamp ? std::to_string(scan.firstStamp.wallClock) : std::string("null"));
        o += ", \"sample_period_ms\": " +
             (scan.haveStamp ? std::to_string(scan.firstStamp.periodMs) : std::string("null"));
        o += ", \"samples\": " + std::to_string(scan.samples);
        o += ", \"metadata\": {";
        for (int i = 0; i < metadata.Count(); ++i) {
            if (i) o += ", ";
            o += JsonString(metadata.At(i).key.ToUtf8()) + ": " + JsonString(metadata.At(i).value.ToUtf8());
        }
        o += "}, \"chunks\": {";
        for (const Kind& k : kKinds)
            o += "\"" + std::string(k.key) + "\": " + std::to_string(scan.chunks[k.id]) + ", ";
        o += "\"other\": " + std::to_string(other) + "}";
        o += ", \"skipped_bytes\": " + std::to_string(scan.skipped) + "}\n";
        Print(o);
        return kExitOk;
    }

    std::printf("file: %s (%lld bytes)\n", path.c_str(), (long long)scan.size);
    if (hasRange)
        std::printf("length: %s s (time stamps %s ... %s s)\n", Num(end - start).c_str(), Num(start).c_str(),
                    Num(end).c_str());
    else
        std::printf("length: unknown (no time stamp: shorter than about 3 s, or damaged)\n");
    if (hasStartMark)
        std::printf("start: %s (RecordStartT %lld)\n", LocalTime(startMark).c_str(), (long long)startMark);
    else if (scan.haveStamp)
        std::printf("start: unknown; first time stamp written %s\n",
                    LocalTime(scan.firstStamp.wallClock).c_str());
    else
        std::printf("start: unknown\n");
    if (scan.haveStamp) std::printf("sample period: %u ms\n", unsigned(scan.firstStamp.periodMs));
    std::printf("samples: %lld\n", (long long)scan.samples);
    std::printf("metadata: %s\n", metadata.Count() ? "" : "none");
    for (int i = 0; i < metadata.Count(); ++i)
        std::printf("  %s = %s\n", OneLine(metadata.At(i).key).c_str(),
                    OneLine(metadata.At(i).value).c_str());
    std::printf("chunks:\n");
    for (const Kind& k : kKinds) std::printf("  %-17s %lld\n", k.name, (long long)scan.chunks[k.id]);
    std::printf("  %-17s %lld\n", "other", (long long)other);
    std::printf("skipped damaged bytes: %lld\n", (long long)scan.skipped);
    return kExitOk;
}

} // namespace tool
