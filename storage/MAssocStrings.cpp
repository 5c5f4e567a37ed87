#include "storage/MAssocStrings.h"

#include <new>

MAssocStrings& MAssocStrings::operator=(const MAssocStrings& other) {
    if (this == &other) return *this;
    m_entries.clear();
    m_entries.reserve(other.m_entries.size());
    for (const auto& e : other.m_entries) m_entries.push_back(std::make_unique<StrStr>(*e));
    return *this;
}

MString& MAssocStrings::Value(const MString& key) {
    for (auto& e : m_entries)
        if (e->key.Equals(key)) return e->value;
    m_entries.push_back(std::make_unique<StrStr>(StrStr{key, MString(), 0}));
    return m_entries.back()->value;
}

bool MAssocStrings::Contains(const MString& key, int32_t tag) const {
    for (const auto& e : m_entries)
        if (e->tag == tag && e->key.Equals(key)) return true;
    return false;
}

bool MAssocStrings::SetCount(int n) {
    if (n <= 0) {
        m_entries.clear();
        return true;
    }
    if (size_t(n) == m_entries.size()) return true;
    try {
        if (size_t(n) < m_entries.size()) {
            m_entries.resize(size_t(n));
        } else {
            m_entries.reserve(size_t(n));
            while (m_entries.size() < size_t(n)) m_entries.push_back(std::make_unique<StrStr>());
        }
        return true;
    } catch (const std::bad_alloc&) {
        m_entries.clear();
        return false;
    }
}

bool MAssocStrings::WriteTo(MBaseStream& stream) const {
    const int32_t count = int32_t(m_entries.size());
    if (!stream.Write(&count, 4)) return false;
    for (const auto& e : m_entries) {
        if (!stream.Write(&e->tag, 4) || !e->key.WriteTo(stream) || !e->value.WriteTo(stream)) return false;
    }
    return true;
}

bool MAssocStrings::ReadFrom(MBaseStream& stream) {
    int32_t count = 0;
    if (stream.Read(&count, 4) != 4) return false;
    if (count < 0 || count >= kMaxCount) return false;
    // The list becomes the entries read in full; nothing is allocated for entries the stream
    // does not hold.
    std::vector<std::unique_ptr<StrStr>> read;
    bool ok = true;
    try {
        for (int32_t i = 0; i < count && ok; ++i) {
            auto e = std::make_unique<StrStr>();
            ok = stream.Read(&e->tag, 4) == 4 && e->key.ReadFrom(stream) && e->value.ReadFrom(stream);
            if (ok) read.push_back(std::move(e));
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    m_entries = std::move(read);
    return ok;
}

bool MAssocStrings::operator==(const MAssocStrings& other) const {
    if (m_entries.size() != other.m_entries.size()) return false;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        const StrStr& a = *m_entries[i];
        const StrStr& b = *other.m_entries[i];
        if (a.tag != b.tag || !a.key.Equals(b.key) || !a.value.Equals(b.value)) return false;
    }
    return true;
}
