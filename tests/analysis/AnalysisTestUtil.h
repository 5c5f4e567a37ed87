#pragma once
// Helpers of the analysis tests: beat series, table access, temporary folders.

#include "analysis/ParamTable.h"
#include "analysis/VariabilityCore.h"
#include "core/MVarArray.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace atest {

// Beats one RR apart, starting at time 0, one per heart rate given.
inline void FillSeries(VariabilityCore& core, const std::vector<double>& hrs) {
    core.Clear();
    double t = 0;
    for (double hr : hrs) {
        core.AddBeat(static_cast<float>(t), static_cast<float>(hr));
        t += 60.0 / hr;
    }
}

// The row's "Val", or an empty variant (and a test failure) when the row is missing.
inline MVariant Val(const MVarArray& table, const char16_t* name) {
    const MVariant* v = ParamValue(table, MString(name));
    EXPECT_NE(v, nullptr) << MString(name).ToUtf8();
    return v ? MVariant(*v) : MVariant();
}

inline bool HasRow(const MVarArray& table, const char16_t* name) {
    return ParamValue(table, MString(name)) != nullptr;
}

inline std::vector<std::u16string> RowNames(const MVarArray& table) {
    std::vector<std::u16string> names;
    ForEachParamRow(table, [&names](const ParamRowView& r) { names.push_back(r.Name().Str()); });
    return names;
}

// A temporary folder that also names its files as the analyses take them.
class TempDir : public testutil::TempDir {
public:
    MString Folder() const { return MString(testutil::TempDir::Path() + "/"); }
    MString Path(const std::string& name) const { return MString(File(name)); }
};

} // namespace atest
