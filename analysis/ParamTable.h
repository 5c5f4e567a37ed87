#pragma once
// Parameter tables of the analyses (heart rate variability, pulse wave indexes): a variant tree
// with one child per parameter, keyed by the parameter's name, each holding the children "Val"
// (the value), "Lim" (the norm as text, "-" for none) and "Des" (a description). The tree keeps
// its children sorted by key, so every list of a table shows the parameters sorted by name.
//
// "Val" is stored with the variant's narrowing assignment: a whole double becomes an int32 and a
// numeric text becomes a number. Readers convert with AsInt / AsDouble / AsString.
// Not locked; main thread.

#include "core/MVarArray.h"

#include <cstdint>
#include <vector>

// Child keys of a table row.
inline constexpr char16_t kValKey[] = u"Val";
inline constexpr char16_t kLimKey[] = u"Lim";
inline constexpr char16_t kDesKey[] = u"Des";

// Truncates toward zero like a C cast, but total: NaN gives 0 and values beyond the int32 range
// saturate, so a degenerate series cannot make the conversion undefined.
int32_t TruncToInt32(double v);

// Sets (or replaces) the row `name`: "Val" = value (narrowing assignment), "Lim", "Des".
void SetParamRow(MVarArray& table, const MString& name, const MVariant& value, const MString& limit,
                 const MString& description);

// Read-only view of one row of a table.
class ParamRowView {
public:
    explicit ParamRowView(const MVarArray& row) : m_row(&row) {}

    // The parameter name (the row's key as text).
    MString Name() const { return m_row->Key().AsString(); }
    // "Val"; an empty variant when the row has none.
    const MVariant& Value() const;
    // "Val" as text (the variant's text form: "." as decimal separator).
    MString ValueText() const { return Value().AsString(); }
    MString Limit() const;
    MString Description() const;
    const MVarArray& Node() const { return *m_row; }

private:
    MString ChildText(const char16_t* key) const;
    const MVarArray* m_row;
};

// Calls f(ParamRowView) for every row in table order.
template <class F>
void ForEachParamRow(const MVarArray& table, F&& f) {
    for (int i = 0; i < table.Count(); ++i) f(ParamRowView(table.Child(i)));
}

// A row copied out of a table, for consumers that keep it (export, report, batch output).
struct ParamRow {
    MString name;
    MVariant value; // as stored: int32, double or text
    MString valueText;
    MString limit;
    MString description;
};

// Every row in table order.
std::vector<ParamRow> ParamRows(const MVarArray& table);

// The "Val" of row `name`, or null when the table has no such row. Never inserts.
const MVariant* ParamValue(const MVarArray& table, const MString& name);
