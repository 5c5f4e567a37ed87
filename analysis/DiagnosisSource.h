#pragma once
// Reviewable text form of a diagnosis database, from which the build makes the shipped
// Diagnose.ddb. UTF-8, one statement per line; blank lines and lines starting with "#" are
// comments (the literature behind each conclusion is cited there):
//
//   diagnosis 1704067201            starts a diagnosis; the id (int32 > 0, unique) is its key
//   name: Ваготония                 short name (required)
//   des: Индекс напряжения ...      description; repeated lines are joined with a space
//   limit: ИН(SI), о.е. | max 49    a parameter of the schema with "min <v>" and/or "max <v>"
//
// Bounds are decimal texts ("." or ","), stored as int32 when whole and as double otherwise.
// Every diagnosis needs a name, a description and at least one limit; a lower bound may not
// exceed the upper one.

#include "core/MVarArray.h"

#include <string>
#include <string_view>

struct DiagnosisSourceError {
    int line = 0; // 1-based; 0 for errors that belong to no line
    std::string message;
};

// Parses `text` into a database tree (DiagnoseManager.h). Parameter names are checked against
// the schema's names. False with the first error; `database` then holds what was complete.
bool ParseDiagnosisSource(std::string_view text, MVarArray& database, DiagnosisSourceError& error);
