#pragma once
// Small tagged value: empty, int32, double, string, blob or compact integer.
//
// Assignment narrows: the stored type is the source's effective type, so the text "12" is kept
// as the int32 12, "1,5" as the double 1.5 and the double 100.0 as the int32 100. Readers use
// AsInt, AsDouble or AsString rather than testing the tag. Construction (and copy or move
// construction) keeps the value exactly as given. Not locked; one thread at a time.

#include "core/MBlob.h"
#include "core/MCompactInt.h"
#include "core/MString.h"

#include <cstdint>
#include <variant>

class MBaseStream;

class MVariant {
public:
    enum Type : int32_t { kEmpty = 0, kInt = 1, kDouble = 2, kString = 3, kBlob = 4, kCompact = 5 };

    MVariant() = default;
    MVariant(int32_t v) : m_value(v) {}
    MVariant(double v) : m_value(v) {}
    MVariant(const MString& v) : m_value(v) {}
    MVariant(MString&& v) : m_value(std::move(v)) {}
    MVariant(const char16_t* v) : m_value(MString(v)) {}
    MVariant(const char* utf8) : m_value(MString(utf8)) {}
    MVariant(const MBlob& v) : m_value(v) {}
    MVariant(const MCompactInt& v) : m_value(v) {}
    MVariant(const MVariant&) = default;
    MVariant(MVariant&&) noexcept = default;

    // Both assignments narrow like Assign.
    MVariant& operator=(const MVariant& source) {
        Assign(source);
        return *this;
    }
    MVariant& operator=(MVariant&& source);

    // Stores the source converted to its effective type (types 2, 3, 5) or as it is (0, 1, 4).
    void Assign(const MVariant& source);
    // Exact copy, no narrowing.
    void CopyFrom(const MVariant& source) { m_value = source.m_value; }
    void Swap(MVariant& other) noexcept { m_value.swap(other.m_value); }
    void Clear() { m_value = std::monostate{}; }

    Type GetType() const { return static_cast<Type>(m_value.index()); }
    bool IsEmpty() const { return m_value.index() == kEmpty; }
    // The type the value narrows to: int32 for whole doubles, integer texts and short compact
    // integers, double for decimal texts and mid-sized compact integers.
    Type EffectiveType() const;

    int32_t AsInt() const;
    double AsDouble() const;
    MString AsString() const;
    MCompactInt AsCompact() const;

    const MString* StringPtr() const { return std::get_if<MString>(&m_value); }
    const MBlob* BlobPtr() const { return std::get_if<MBlob>(&m_value); }
    MBlob* BlobPtr() { return std::get_if<MBlob>(&m_value); }
    const MCompactInt* CompactPtr() const { return std::get_if<MCompactInt>(&m_value); }

    // Same tag: compared directly (strings by Compare, blobs by content). Different tags: both
    // converted to the larger of their effective types.
    bool Equal(const MVariant& o) const { return Order(*this, o) == 0; }
    bool Less(const MVariant& o) const { return Order(*this, o) < 0; }
    bool Greater(const MVariant& o) const { return Order(*this, o) == 1; }
    bool LessOrEqual(const MVariant& o) const { return Order(*this, o) <= 0; }
    bool GreaterOrEqual(const MVariant& o) const {
        int r = Order(*this, o);
        return r == 0 || r == 1;
    }
    // -1 less, 0 equal, 1 greater, 2 unordered (a NaN against anything).
    static int Order(const MVariant& a, const MVariant& b);

    // Serial form: int32 tag, then the payload of that type.
    bool WriteTo(MBaseStream& stream) const;
    // False on a short read, an unknown tag or a count out of range; the value is then empty.
    bool ReadFrom(MBaseStream& stream);

private:
    std::variant<std::monostate, int32_t, double, MString, MBlob, MCompactInt> m_value;
};
