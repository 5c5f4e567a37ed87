// corvina-tool: batch processing of record files for researchers.

#include "tools/corvina-tool/Tool.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "Usage: corvina-tool COMMAND [OPTIONS] FILE...\n"
    "\n"
    "Batch processing of Corvina record files (*.pwv).\n"
    "\n"
    "Commands:\n"
    "  import FILE --rate HZ [-o OUT.pwv]   turn a text file of numbers (or an EDF file) into a record\n"
    "  export REC.pwv [-o OUT.txt] ...      write a record fragment as text (or --format edf)\n"
    "  analyze REC.pwv... [--json|--csv]    heart rate variability table per record\n"
    "  info REC.pwv                         length, start, metadata and chunks of a record\n"
    "  beats REC.pwv [--csv|--json]         every beat found in the pulse wave, with quality\n"
    "  simulate --minutes M -o REC.pwv ...  a record of the simulated device, made at once\n"
    "\n"
    "'corvina-tool COMMAND --help' describes a command's options.\n"
    "Records given to export, analyze and info are only read, never changed.\n"
    "\n"
    "Exit status: 0 success, 1 an input could not be read or an output not written,\n"
    "2 bad command or options.\n";

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return tool::kExitUsage;
    }
    const std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return tool::kExitOk;
    }
    if (command == "--version") {
        std::printf("corvina-tool %s\n", CORVINA_VERSION);
        return tool::kExitOk;
    }
    if (command == "import") return tool::RunImport(args);
    if (command == "export") return tool::RunExport(args);
    if (command == "analyze") return tool::RunAnalyze(args);
    if (command == "info") return tool::RunInfo(args);
    if (command == "beats") return tool::RunBeats(args);
    if (command == "simulate") return tool::RunSimulate(args);
    std::fprintf(stderr, "corvina-tool: unknown command '%s'\n\n%s", command.c_str(), kUsage);
    return tool::kExitUsage;
}
