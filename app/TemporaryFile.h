#pragma once
// Whole-file replacement for the EDF interchange: the new file is written under a temporary name
// beside the target and renamed over it only once it is complete and on disk, so a failure
// leaves the target as it was and nothing half-written under its name.

#include <string>

// A new empty file in the target's folder with a name of its own; empty (errno set) on failure.
std::string NewTemporaryBeside(const std::string& target);

// Flushes the temporary file to disk, renames it over target and flushes the folder. On failure
// the temporary file is removed and reason says why.
bool ReplaceWithTemporary(const std::string& temporary, const std::string& target, std::string& reason);
