#pragma once
// corvina-tool: shared pieces of the subcommands (argument parsing, messages, output helpers).

#include "core/MString.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class PGFiles;

namespace tool {

// Exit codes.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1; // an input could not be read or an output not written
inline constexpr int kExitUsage = 2;   // bad options or option values

struct OptionDef {
    const char* name; // long name without "--"
    char shortName;   // 0 for none
    bool takesValue;
};

struct Args {
    std::vector<std::string> positional;
    std::vector<std::pair<std::string, std::string>> options; // in order; flags have an empty value
    bool help = false;

    bool Has(std::string_view name) const;
    // The last value given for name, or null.
    const std::string* Value(std::string_view name) const;
    // The later of two opposite flags wins; def when neither is given.
    bool Switch(std::string_view on, std::string_view off, bool def) const;
};

// Parses args (after the subcommand). "--name=value", "--name value", "-x value"; "--" ends the
// options; "-h"/"--help" set help. False with a message for an unknown option or a missing value.
bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs, Args& out,
               std::string& error);

// Strict numbers: the whole text must be the number.
bool ParseInt(const std::string& text, int64_t& value);
// Decimal seconds ("." or "," separator); finite.
bool ParseSeconds(const std::string& text, double& value);

// "corvina-tool <command>: <message>" on stderr.
void Error(const char* command, const std::string& message);
// "corvina-tool <command>: <message>" on stderr for a usage problem, then the hint to --help.
int UsageError(const char* command, const std::string& message);
void Print(std::string_view text);

// Path from an argument; empty when it cannot name a file.
MString PathArg(const std::string& arg);
// The path with its file name's extension replaced (added when it has none).
std::string WithExtension(const std::string& path, const char* extension);
// Same file on disk (or the same text).
bool SameFile(const std::string& a, const std::string& b);

// Opens a record file for reading without ever writing to it. False with a message when the file
// cannot be opened or is not a record. With needTimeRange, a record without time stamps fails too.
bool OpenRecord(const std::string& path, PGFiles& record, bool needTimeRange, std::string& error);

// The fragment of a record: from/to options (record seconds) clamped into the record, defaults
// the record's whole seconds. False with a message for bad values or an empty fragment.
bool ResolveFragment(const Args& args, const PGFiles& record, double& from, double& to, std::string& error);

// The application's settings file (<config>/Onyx.Corvina/Ini.bin), found without creating
// anything; empty when there is no configuration folder.
std::string SettingsFilePath();

// JSON text helpers.
std::string JsonString(std::string_view utf8);
std::string JsonNumber(double v);

// The subcommands; args follow the subcommand name.
int RunImport(const std::vector<std::string>& args);
int RunExport(const std::vector<std::string>& args);
int RunAnalyze(const std::vector<std::string>& args);
int RunInfo(const std::vector<std::string>& args);
// The EDF branches of export (--format edf) and import (an EDF or BDF file), after the arguments
// are parsed and one file is given.
int RunEdfExport(const Args& args);
int RunEdfImport(const Args& args);
int RunSimulate(const std::vector<std::string>& args);
int RunBeats(const std::vector<std::string>& args);

} // namespace tool
