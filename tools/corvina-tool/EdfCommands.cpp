// corvina-tool: the EDF+ side of import and export.

#include "app/EdfExport.h"
#include "app/EdfImport.h"
#include "app/TextImport.h"
#include "storage/PGFiles.h"
#include "tools/corvina-tool/Tool.h"

#include <cstdio>

namespace tool {

int RunEdfExport(const Args& args) {
    constexpr const char* kCommand = "export";
    for (const char* name : {"rate", "delimiter", "pulse", "no-pulse", "rr", "no-rr", "timestamps",
                             "no-timestamps", "isoline", "no-isoline"})
        if (args.Has(name))
            return UsageError(kCommand, std::string("--") + name + " does not apply to --format edf");
    const std::string& path = args.positional[0];
    const std::string* output = args.Value("output");
    const std::string target = output ? *output : WithExtension(path, ".edf");
    if (PathArg(target).IsEmpty()) return UsageError(kCommand, "empty file name");

    PGFiles record;
    std::string error;
    if (!OpenRecord(path, record, true, error)) {
        Error(kCommand, error);
        return kExitFailure;
    }
    if (SameFile(path, target)) {
        Error(kCommand, "the output would replace the record " + path);
        return kExitFailure;
    }
    double from = 0, to = 0;
    if (!ResolveFragment(args, record, from, to, error)) return UsageError(kCommand, error);
    const EdfExportResult r = WriteEdfExport(PathArg(target), from, to, record);
    record.Close();
    if (!r.ok) {
        Error(kCommand, r.reason);
        return kExitFailure;
    }
    std::printf("wrote %s: %lld samples at %s Hz from %s s (%lld data records of %s s), %lld heart-rate "
                "annotations\n",
                target.c_str(), (long long)r.samples, MString::FromDouble(r.rate).ToUtf8().c_str(),
                MString::FromDouble(r.firstTime).ToUtf8().c_str(), (long long)r.records,
                MString::FromDouble(r.recordMs / 1000.0).ToUtf8().c_str(), (long long)r.annotations);
    for (const std::string& note : r.notes) std::printf("  not in the EDF header: %s\n", note.c_str());
    return kExitOk;
}

int RunEdfImport(const Args& args) {
    constexpr const char* kCommand = "import";
    if (args.Has("rate"))
        return UsageError(kCommand,
                          "--rate does not apply to EDF and BDF files (their header gives the rate)");
    const std::string& source = args.positional[0];
    const std::string* output = args.Value("output");
    const std::string target = output ? *output : WithExtension(source, ".pwv");
    if (PathArg(source).IsEmpty() || PathArg(target).IsEmpty())
        return UsageError(kCommand, "empty file name");
    if (SameFile(source, target)) {
        Error(kCommand, output ? "the output would replace the input " + source
                               : source + " already has the extension .pwv; name the output with -o");
        return kExitFailure;
    }
    const std::string* label = args.Value("signal");
    PGFiles record;
    const EdfImportResult r =
        ImportEdfFile(PathArg(source), label ? *label : std::string(), PathArg(target), record);
    if (!r.ok) {
        Error(kCommand, MString(kImportFailedMessage).ToUtf8());
        Error(kCommand, r.reason);
        return kExitFailure;
    }
    std::printf("%s: %s, signal '%s' at %s Hz, %lld samples, %s s%s\n", source.c_str(), r.type.c_str(),
                r.label.c_str(), MString::FromDouble(r.rate).ToUtf8().c_str(), (long long)r.sourceSamples,
                MString::FromDouble(r.duration).ToUtf8().c_str(), r.rescaled ? ", rescaled to 0 ... 1" : "");
    std::printf("wrote %s: %lld samples at 100 Hz, %lld heart beats (%s)\n", target.c_str(),
                (long long)r.samples, (long long)r.beats,
                r.beatsFromAnnotations ? "from the annotations" : "found in the signal");
    if (r.otherAnnotations > 0)
        std::printf("  %lld other annotations not carried over\n", (long long)r.otherAnnotations);
    return kExitOk;
}

} // namespace tool
