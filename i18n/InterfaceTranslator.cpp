#include "i18n/InterfaceTranslator.h"

InterfaceTranslator* InterfaceTranslator::Instance(bool create) {
    static std::unique_ptr<InterfaceTranslator> instance;
    if (!instance && create) instance = std::make_unique<InterfaceTranslator>();
    return instance.get();
}

int InterfaceTranslator::Lookup(const MString& text, int& insertAt) const {
    int n = EntryCount();
    insertAt = 0;
    if (n == 0) return -1;
    int c = text.Compare(m_entries.front().source);
    if (c == 0) return 0;
    if (c < 0) return -1;
    insertAt = n;
    c = text.Compare(m_entries.back().source);
    if (c == 0) return n - 1;
    if (c > 0 || n == 1) return -1;
    // first < text < last: halve while more than two entries remain
    int lo = 0, hi = n - 1;
    while (hi - lo + 1 > 2) {
        int mid = (lo + hi) / 2;
        c = text.Compare(m_entries[static_cast<size_t>(mid)].source);
        if (c == 0) return mid;
        if (c < 0)
            hi = mid;
        else
            lo = mid;
    }
    insertAt = hi;
    return -1;
}

int InterfaceTranslator::Record(const MString& text, int insertAt) {
    InterfaceObject entry;
    entry.source = text;
    entry.kind = kRecordedText;
    m_entries.insert(m_entries.begin() + insertAt, std::move(entry));
    return insertAt;
}

MString InterfaceTranslator::Translate(const MString& text) {
    if (text.IsEmpty()) return text;
    int insertAt = 0;
    int i = Lookup(text, insertAt);
    if (i < 0) {
        Record(text, insertAt);
        return text;
    }
    const MString& translation = m_entries[static_cast<size_t>(i)].translation;
    if (!translation.IsEmpty() && !translation.Equals(kIgnore)) return translation;
    return text;
}

bool InterfaceTranslator::SetTranslation(const MString& source, const MString& translation) {
    if (source.IsEmpty()) return false;
    int insertAt = 0;
    int i = Lookup(source, insertAt);
    if (i < 0) i = Record(source, insertAt);
    m_entries[static_cast<size_t>(i)].translation = translation;
    return true;
}
