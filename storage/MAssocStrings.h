#pragma once
// Record metadata: an ordered list of named text values (patient data, recording start marks).
// Entries keep the order in which their keys were first used. Serial form (the payload of a
// record's metadata chunk), little-endian:
//   int32 count, then per entry: int32 tag, key, value;
//   a string is an int32 byte count B (0 for an empty string, else 2 x (characters + 1)) and B
//   bytes of UTF-16LE text including a terminating zero character.
//
// Thread: main thread only; no lock.

#include "core/MBaseStream.h"
#include "core/MString.h"

#include <cstdint>
#include <memory>
#include <vector>

class MAssocStrings {
public:
    // A serial count must be below this.
    static constexpr int32_t kMaxCount = 100'000;

    struct StrStr {
        MString key;
        MString value;
        int32_t tag = 0; // created as 0; kept as read
    };

    MAssocStrings() = default;
    MAssocStrings(const MAssocStrings& other) { *this = other; }
    MAssocStrings& operator=(const MAssocStrings& other);

    // The value of the first entry with exactly this key. A missing key is appended with an
    // empty value first, so reading a key adds it. The reference stays valid until the entry
    // is dropped (SetCount, Clear, ReadFrom).
    MString& Value(const MString& key);
    // An entry with exactly this key and tag exists. Adds nothing.
    bool Contains(const MString& key, int32_t tag = 0) const;

    int Count() const { return int(m_entries.size()); }
    // Entry i, 0 <= i < Count().
    const StrStr& At(int i) const { return *m_entries[size_t(i)]; }
    StrStr& At(int i) { return *m_entries[size_t(i)]; }

    // n > 0 drops the entries from n on or appends empty ones up to n; n <= 0 clears. False when
    // memory runs out (the list is then empty).
    bool SetCount(int n);
    void Clear() { m_entries.clear(); }

    // Serial form; false as soon as a write fails.
    bool WriteTo(MBaseStream& stream) const;
    // Replaces the list by a serial form (count 0 ... 99,999; strings of 0 ... 9,999,999 bytes,
    // cut at their first zero character). Stops with false at the first field that cannot be
    // read; the list then holds the entries read in full before it.
    bool ReadFrom(MBaseStream& stream);

    bool operator==(const MAssocStrings& other) const;

private:
    std::vector<std::unique_ptr<StrStr>> m_entries;
};
