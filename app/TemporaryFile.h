#pragma once
// Whole-file replacement for the EDF interchange: a failure leaves the target as it was and
// nothing half-written under its name.

#include <functional>
#include <string>

// Writes a new file for target through write(path, reason) under a temporary name beside it,
// flushes it to disk, renames it over target and flushes the folder. On any failure the temporary
// file is removed, target is untouched and reason says why.
using WholeFileWriter = std::function<bool(const std::string& path, std::string& reason)>;
bool ReplaceFileWhole(const std::string& target, const WholeFileWriter& write, std::string& reason);
