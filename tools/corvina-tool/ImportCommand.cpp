// corvina-tool import: a text file of numbers becomes a record file.

#include "app/EdfImport.h"
#include "app/TextImport.h"
#include "storage/PGFiles.h"
#include "tools/corvina-tool/Tool.h"

#include <cstdio>

namespace tool {
namespace {

constexpr const char* kCommand = "import";

constexpr const char* kHelp =
    "Usage: corvina-tool import FILE --rate HZ [-o OUT.pwv]\n"
    "       corvina-tool import FILE.edf [--signal LABEL] [-o OUT.pwv]\n"
    "\n"
    "Turns a text file of numbers (one value per sample, any separators; \".\" or \",\" as\n"
    "decimal separator) into a record file: the values are rescaled to 0 ... 1, resampled to\n"
    "100 samples per second, and the heart beats found in them are stored with the samples.\n"
    "\n"
    "Options:\n"
    "  --rate HZ     the rate the values were sampled at, 6 ... 10000 Hz (required)\n"
    "  -o, --output OUT.pwv\n"
    "                the record to write (default: FILE with the extension .pwv);\n"
    "                an existing file is replaced only when the import succeeds\n"
    "  --signal LABEL\n"
    "                EDF, EDF+ and BDF files: the signal to import (default: the first one);\n"
    "                its values are kept when they fit a record, else rescaled to 0 ... 1,\n"
    "                and the annotations \"HR <beats per minute>\" become its heart beats\n"
    "  -h, --help    this text\n"
    "\n"
    "The file must hold at least 11 numbers that are not all equal and last more than 5 s\n"
    "at the given rate. EDF and BDF files (named *.edf, *.bdf, or recognised by their header)\n"
    "take no --rate; damaged or discontinuous ones are refused.\n";

} // namespace

int RunImport(const std::vector<std::string>& argv) {
    Args args;
    std::string error;
    if (!ParseArgs(argv, {{"rate", 0, true}, {"output", 'o', true}, {"signal", 0, true}}, args, error))
        return UsageError(kCommand, error);
    if (args.help) {
        Print(kHelp);
        return kExitOk;
    }
    if (args.positional.size() != 1)
        return UsageError(kCommand, args.positional.empty() ? "no input file given" : "give one input file");
    const std::string& source = args.positional[0];
    if (IsEdfFile(PathArg(source))) return RunEdfImport(args);
    if (args.Has("signal")) return UsageError(kCommand, "--signal applies to EDF and BDF files only");
    const std::string* rateText = args.Value("rate");
    if (!rateText) return UsageError(kCommand, "--rate HZ is required");
    int64_t rate = 0;
    if (!ParseInt(*rateText, rate) || rate < kImportMinRate || rate > kImportMaxRate)
        return UsageError(kCommand, "--rate wants a whole number of Hz from " +
                                        std::to_string(kImportMinRate) + " to " +
                                        std::to_string(kImportMaxRate) + ", not '" + *rateText + "'");
    const std::string* output = args.Value("output");
    const std::string target = output ? *output : WithExtension(source, ".pwv");
    if (PathArg(source).IsEmpty() || PathArg(target).IsEmpty())
        return UsageError(kCommand, "empty file name");
    if (SameFile(source, target)) {
        Error(kCommand, output ? "the output would replace the input " + source
                               : source + " already has the extension .pwv; name the output with -o");
        return kExitFailure;
    }

    PGFiles record;
    const TextImportResult r = ImportTextFile(PathArg(source), int(rate), PathArg(target), record);
    if (!r.ok) {
        Error(kCommand, MString(kImportFailedMessage).ToUtf8());
        Error(kCommand, r.reason);
        return kExitFailure;
    }
    std::printf("%s: %lld numbers (%s ... %s) at %lld Hz, %s s\n", source.c_str(), (long long)r.values,
                MString::FromDouble(r.smallest).ToUtf8().c_str(),
                MString::FromDouble(r.largest).ToUtf8().c_str(), (long long)rate,
                MString::FromDouble(r.duration).ToUtf8().c_str());
    if (r.skippedTokens > 0)
        std::printf("  skipped %lld pieces of text that are not numbers\n", (long long)r.skippedTokens);
    std::printf("wrote %s: %lld samples at 100 Hz, %lld heart beats\n", target.c_str(), (long long)r.samples,
                (long long)r.beats);
    return kExitOk;
}

} // namespace tool
