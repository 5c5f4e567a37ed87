#pragma once
// corvina-tool: the research-grade results (precise beats, correction, standard HRV table) as
// text, JSON and CSV pieces, shared by the beats and analyze commands.

#include "analysis/PreciseAnalysis.h"

#include <string>
#include <vector>

namespace tool {

// "[{"step": ..., "algorithm": ..., "version": ..., "parameters": {...}}, ...]"
std::string ProvenanceJson(const std::vector<sProvenance>& list);
// {"beats": ..., "correction": {...}, "table": {...}, "provenance": [...]}
std::string PreciseJson(const sPreciseResult& r);
// Indented text lines of the correction summary and the table.
std::string PreciseText(const sPreciseResult& r);
// CSV column names and the values of one record (empty values for a failed one).
std::vector<std::string> PreciseCsvColumns();
std::vector<std::string> PreciseCsvValues(const sPreciseResult* r);

} // namespace tool
