#pragma once
// Display texts built at run time pass through one process-wide translator. No translation file
// is read: the table starts empty, every new text is recorded and comes back unchanged, and an
// entry whose translation is set replaces its text.
// Main thread only, no lock (the analysis tables that call it run there).

#include "core/MString.h"

#include <cstdint>
#include <memory>
#include <vector>

// One text of the interface, keyed by its source text.
struct InterfaceObject {
    MString source;
    MString description;
    MString context;
    // Empty: no translation; InterfaceTranslator::kIgnore: keep the source text.
    MString translation;
    MString owner;
    MString property;
    int32_t flags = 0;
    int32_t kind = 0; // kRecordedText for entries recorded from a plain text
};

// A language file that could be offered; none are in this system.
struct LangFile {
    MString name;
    MString path;
    MString description;
};

class InterfaceTranslator {
public:
    static constexpr char16_t kIgnore[] = u"-=IGNORE=-";
    static constexpr int32_t kRecordedText = 2;

    // The process-wide instance; created on first use unless `create` is false (then null until
    // then), destroyed at program end.
    static InterfaceTranslator* Instance(bool create = true);

    // The translation of `text`, or `text` itself; a text not seen before is recorded.
    MString Translate(const MString& text);
    // Sets the translation of `source`, recording the entry when missing. False for an empty source.
    bool SetTranslation(const MString& source, const MString& translation);

    const MString& LanguageName() const { return m_languageName; }
    const MString& LanguageFile() const { return m_languageFile; }
    const std::vector<LangFile>& Languages() const { return m_languages; }
    // Entries in ascending order of their source text.
    int EntryCount() const { return static_cast<int>(m_entries.size()); }
    const InterfaceObject& Entry(int i) const { return m_entries[static_cast<size_t>(i)]; }

private:
    // Index of the entry for `text`, or -1 with `insertAt` set to its sorted place.
    int Lookup(const MString& text, int& insertAt) const;
    int Record(const MString& text, int insertAt);

    MString m_languageName = MString(u"Untranslated");
    MString m_languageFile;
    std::vector<InterfaceObject> m_entries;
    std::vector<LangFile> m_languages;
};
