#include "analysis/ParamTable.h"

#include <cmath>
#include <limits>

int32_t TruncToInt32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

void SetParamRow(MVarArray& table, const MString& name, const MVariant& value, const MString& limit,
                 const MString& description) {
    MVarArray& row = table.Item(MVariant(name));
    row.Item(MVariant(kValKey)).Value().Assign(value);
    row.Item(MVariant(kLimKey)).Value().Assign(MVariant(limit));
    row.Item(MVariant(kDesKey)).Value().Assign(MVariant(description));
}

const MVariant& ParamRowView::Value() const {
    static const MVariant empty;
    const MVarArray* val = m_row->Find(MVariant(kValKey));
    return val ? val->Value() : empty;
}

MString ParamRowView::ChildText(const char16_t* key) const {
    const MVarArray* child = m_row->Find(MVariant(key));
    return child ? child->Value().AsString() : MString();
}

MString ParamRowView::Limit() const {
    return ChildText(kLimKey);
}

MString ParamRowView::Description() const {
    return ChildText(kDesKey);
}

std::vector<ParamRow> ParamRows(const MVarArray& table) {
    std::vector<ParamRow> rows;
    rows.reserve(static_cast<size_t>(table.Count()));
    ForEachParamRow(table, [&rows](const ParamRowView& r) {
        ParamRow row;
        row.name = r.Name();
        row.value.CopyFrom(r.Value());
        row.valueText = r.ValueText();
        row.limit = r.Limit();
        row.description = r.Description();
        rows.push_back(std::move(row));
    });
    return rows;
}

const MVariant* ParamValue(const MVarArray& table, const MString& name) {
    const MVarArray* row = table.Find(MVariant(name));
    if (!row) return nullptr;
    const MVarArray* val = row->Find(MVariant(kValKey));
    static const MVariant empty;
    return val ? &val->Value() : &empty;
}
