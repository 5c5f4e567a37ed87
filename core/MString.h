#pragma once
// UTF-16 string of the core library: the text type of settings, variant trees, tables and file
// names. Narrow strings are UTF-8 (the system code page here); other code pages convert through
// iconv. Not locked: an instance belongs to one thread at a time.

#include <cstdint>
#include <string>
#include <string_view>

class MBaseStream;

// Appends the UTF-8 form of one code point; a surrogate or a value beyond U+10FFFF becomes U+FFFD.
void AppendUtf8(std::string& out, uint32_t cp);

class MString {
public:
    // Longest byte count the serial form accepts when reading.
    static constexpr int32_t kMaxSerialBytes = 9'999'999;

    MString() = default;
    MString(const char16_t* text) {
        if (text) m_text = text;
    }
    MString(const char16_t* text, size_t length) {
        if (text) m_text.assign(text, length);
    }
    MString(std::u16string text) : m_text(std::move(text)) {}
    MString(std::u16string_view text) : m_text(text) {}
    // Narrow text is UTF-8.
    MString(const char* utf8);
    MString(std::string_view utf8);
    MString(const std::string& utf8) : MString(std::string_view(utf8)) {}

    // Never null: an empty string yields a shared empty text.
    const char16_t* c_str() const { return m_text.c_str(); }
    const std::u16string& Str() const { return m_text; }
    std::u16string_view View() const { return m_text; }
    int Length() const { return static_cast<int>(m_text.size()); }
    bool IsEmpty() const { return m_text.empty(); }
    char16_t operator[](int i) const { return m_text[static_cast<size_t>(i)]; }
    void Clear() { m_text.clear(); }

    MString& Append(const MString& s) {
        m_text += s.m_text;
        return *this;
    }
    MString& Append(char16_t c) {
        m_text += c;
        return *this;
    }
    MString& operator+=(const MString& s) { return Append(s); }
    MString& operator+=(char16_t c) { return Append(c); }
    friend MString operator+(MString a, const MString& b) { return a.Append(b); }

    // Same length and code units; case-sensitive.
    bool Equals(const MString& s) const { return m_text == s.m_text; }
    bool Equals(const char16_t* s) const { return m_text == (s ? s : u""); }
    // Code unit by code unit; on a common prefix the shorter is less. <0, 0 or >0.
    int Compare(const MString& s) const { return m_text.compare(s.m_text); }
    bool StartsWith(const MString& s) const { return View().substr(0, s.m_text.size()) == s.View(); }
    bool EndsWith(const MString& s) const {
        return m_text.size() >= s.m_text.size() && View().substr(m_text.size() - s.m_text.size()) == s.View();
    }

    friend bool operator==(const MString& a, const MString& b) { return a.m_text == b.m_text; }
    friend bool operator<(const MString& a, const MString& b) { return a.m_text < b.m_text; }

    // Index of the first occurrence at or after `from`; -1 when absent or either string is empty.
    int Find(const MString& pattern, int from = 0) const;
    // Clipped to the string; empty when start is past the end or count <= 0.
    MString Substr(int start, int count) const;
    // From index `from` on: the text after the first `open` and before the next `close`.
    // Empty `open` = the start; empty or absent `close` = the end; empty when `open` is absent.
    MString Between(int from, bool caseSensitive, const MString& open, const MString& close) const;
    // Replaces the first (or every) occurrence, continuing after each replacement. Returns the count.
    int Replace(const MString& what, const MString& with, bool all);
    // Strips NUL, tab, LF, CR and space at both ends.
    MString& Trim();
    // Wide lower-case mapping of every code unit (independent of the process locale).
    MString& ToLower();
    // Text after the last "." that is not the first character; empty when there is none.
    MString Extension() const;

    // Lenient parsing: skips leading text up to a number, reads as far as it goes, 0 when none.
    int64_t ToInt64() const;
    double ToDouble() const;
    // Integer text: blanks, sign, decimal digits or 0x + hex digits, blanks; value fits 32 bits.
    bool IsIntegerText() const;
    // Decimal text: blanks, sign, digits with at most one "." or ",", optional exponent, blanks.
    bool IsDecimalText() const;

    static MString FromInt(int64_t v);
    // 10 significant digits; at most 5 after the separator (cut, not rounded) unless in exponent form.
    static MString FromDouble(double v);
    // Time label: "05,250s", "01:05", "01:02:05,500"; empty for a negative or non-finite value.
    static MString FormatDuration(double seconds);

    // Serial form: int32 byte count (0, or 2 x (length + 1)) and UTF-16LE text with its terminator.
    // Writing fails for strings a reader would refuse; reading checks the count against the bytes
    // the stream still holds and cuts the text at the first zero unit.
    bool WriteTo(MBaseStream& stream) const;
    bool ReadFrom(MBaseStream& stream);

    std::string ToUtf8() const;
    static MString FromUtf8(std::string_view utf8) { return MString(utf8); }
    // Conversions through iconv ("CP1251", "UTF-8", ...). Characters the target lacks become "?";
    // undecodable bytes become U+FFFD. An unknown code page gives an empty result.
    std::string ToCodePage(const char* codePage) const;
    static MString FromCodePage(std::string_view bytes, const char* codePage);

private:
    std::u16string m_text;
};
