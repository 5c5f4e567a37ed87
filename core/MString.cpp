#include "core/MString.h"

#include "core/MBaseStream.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstring>
#include <iconv.h>
#include <limits>
#include <locale.h>
#include <new>
#include <vector>
#include <wctype.h>

namespace {

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}
bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}
bool IsSeparator(char16_t c) {
    return c == u'.' || c == u',';
}
int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}
bool IsHexStart(std::u16string_view s, size_t i) {
    return i + 2 < s.size() && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X') &&
           HexValue(s[i + 2]) >= 0;
}

// Where a lenient number starts: a digit, or a sign followed (after blanks) by a digit. With
// `decimal`, a separator followed by a digit also starts one, so ".5" reads as 0.5 and not 5.
struct NumberStart {
    size_t pos = 0;
    bool negative = false;
    bool found = false;
};
NumberStart FindNumber(std::u16string_view s, bool decimal) {
    auto startsDigits = [&](size_t j) {
        if (j >= s.size()) return false;
        if (IsDigit(s[j])) return true;
        return decimal && IsSeparator(s[j]) && j + 1 < s.size() && IsDigit(s[j + 1]);
    };
    for (size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (startsDigits(i)) return {i, false, true};
        if (c == u'+' || c == u'-') {
            size_t j = i + 1;
            while (j < s.size() && IsBlank(s[j])) ++j;
            if (startsDigits(j)) return {j, c == u'-', true};
        }
    }
    return {};
}

// Hex digits after "0x", modulo 2^64 (a bit pattern).
uint64_t ReadHex(std::u16string_view s, size_t& i) {
    uint64_t v = 0;
    for (int d; i < s.size() && (d = HexValue(s[i])) >= 0; ++i) v = (v << 4) | static_cast<uint64_t>(d);
    return v;
}
// Decimal digits, saturating at UINT64_MAX.
uint64_t ReadDecimal(std::u16string_view s, size_t& i) {
    uint64_t v = 0;
    for (; i < s.size() && IsDigit(s[i]); ++i) {
        uint64_t d = static_cast<uint64_t>(s[i] - u'0');
        v = v > (UINT64_MAX - d) / 10 ? UINT64_MAX : v * 10 + d;
    }
    return v;
}
int64_t ApplySign(uint64_t magnitude, bool negative) {
    if (negative) return magnitude >= (uint64_t{1} << 63) ? INT64_MIN : -static_cast<int64_t>(magnitude);
    return magnitude > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(magnitude);
}

// Integer value of the number at `at`: hex (a bit pattern, sign applied) or saturated decimal.
int64_t IntegerAt(std::u16string_view s, size_t i, bool negative) {
    if (IsHexStart(s, i)) {
        i += 2;
        uint64_t v = ReadHex(s, i);
        return negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    }
    return ApplySign(ReadDecimal(s, i), negative);
}

// Decimal number at `i`: digits with one separator, optional exponent. Parsed without the
// process locale (a Qt program may switch LC_NUMERIC to one with a decimal comma).
double DecimalAt(std::u16string_view s, size_t i, bool negative) {
    std::string buf;
    buf.reserve(32);
    if (negative) buf += '-';
    int intDigits = 0;
    bool leading = true;
    for (; i < s.size() && IsDigit(s[i]); ++i) {
        if (leading && s[i] == u'0') continue;
        leading = false;
        buf += static_cast<char>(s[i]);
        ++intDigits;
    }
    if (intDigits == 0) buf += '0';
    if (i + 1 < s.size() && IsSeparator(s[i]) && IsDigit(s[i + 1])) {
        buf += '.';
        for (++i; i < s.size() && IsDigit(s[i]); ++i) buf += static_cast<char>(s[i]);
    } else if (i < s.size() && IsSeparator(s[i])) {
        ++i; // "5." is 5
    }
    int64_t exponent = 0;
    if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
        size_t j = i + 1;
        bool expNegative = false;
        if (j < s.size() && (s[j] == u'+' || s[j] == u'-')) expNegative = s[j++] == u'-';
        if (j < s.size() && IsDigit(s[j])) {
            buf += expNegative ? "e-" : "e";
            for (; j < s.size() && IsDigit(s[j]); ++j) {
                buf += static_cast<char>(s[j]);
                if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[j] - u'0');
            }
            if (expNegative) exponent = -exponent;
        }
    }
    double v = 0;
    auto r = std::from_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        // Overflow when the magnitude's decimal exponent is positive, otherwise underflow.
        bool overflow = intDigits + exponent > 0;
        v = overflow ? std::numeric_limits<double>::infinity() : 0.0;
        if (negative) v = -v;
    }
    return v;
}

// Lower-case mapping that does not depend on the process locale: C.UTF-8's tables when the
// system has them, otherwise ASCII, Latin-1 and Cyrillic.
locale_t LowerLocale() {
    static locale_t loc = [] {
        for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
            locale_t l = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr));
            if (l) return l;
        }
        return static_cast<locale_t>(nullptr);
    }();
    return loc;
}
char16_t LowerUnit(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if (locale_t loc = LowerLocale()) {
        wint_t l = towlower_l(static_cast<wint_t>(c), loc);
        return l <= 0xFFFF ? static_cast<char16_t>(l) : c;
    }
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x410 && c <= 0x42F))
        return static_cast<char16_t>(c + 32);
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
    return c;
}

void AppendDigits(std::u16string& out, int64_t v, int minDigits) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    for (int n = static_cast<int>(r.ptr - buf); n < minDigits; ++n) out += u'0';
    for (const char* p = buf; p != r.ptr; ++p) out += static_cast<char16_t>(*p);
}

// One cached iconv descriptor per direction and thread; opening one costs more than most texts.
class Converter {
public:
    ~Converter() { Close(); }
    iconv_t Get(const char* to, const char* from) {
        std::string key = std::string(to) + '\n' + from;
        if (m_cd != reinterpret_cast<iconv_t>(-1) && key == m_key) {
            iconv(m_cd, nullptr, nullptr, nullptr, nullptr); // reset the shift state
            return m_cd;
        }
        Close();
        m_cd = iconv_open(to, from);
        if (m_cd != reinterpret_cast<iconv_t>(-1)) m_key = std::move(key);
        return m_cd;
    }

private:
    void Close() {
        if (m_cd != reinterpret_cast<iconv_t>(-1)) iconv_close(m_cd);
        m_cd = reinterpret_cast<iconv_t>(-1);
        m_key.clear();
    }
    iconv_t m_cd = reinterpret_cast<iconv_t>(-1);
    std::string m_key;
};

constexpr const char* kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

bool IsUtf8Name(const char* cp) {
    std::string n;
    for (const char* p = cp; *p; ++p)
        if (*p != '-' && *p != '_') n += static_cast<char>(*p >= 'a' && *p <= 'z' ? *p - 32 : *p);
    return n == "UTF8";
}

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace

MString::MString(const char* utf8) : MString(utf8 ? std::string_view(utf8) : std::string_view()) {}

MString::MString(std::string_view utf8) {
    m_text.reserve(utf8.size());
    const auto* p = reinterpret_cast<const uint8_t*>(utf8.data());
    size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        uint8_t b = p[i];
        if (b < 0x80) {
            m_text += static_cast<char16_t>(b);
            ++i;
            continue;
        }
        int extra = 0;
        uint32_t cp = 0;
        if (b >= 0xC2 && b <= 0xDF) {
            extra = 1;
            cp = b & 0x1Fu;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2;
            cp = b & 0x0Fu;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3;
            cp = b & 0x07u;
        }
        bool ok = extra > 0 && i + static_cast<size_t>(extra) < n;
        for (int k = 1; ok && k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if (ok && ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
                   (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            m_text += u'\uFFFD';
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            m_text += static_cast<char16_t>(0xD800 + (cp >> 10));
            m_text += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            m_text += static_cast<char16_t>(cp);
        }
        i += static_cast<size_t>(extra) + 1;
    }
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string MString::ToUtf8() const {
    std::string out;
    out.reserve(m_text.size());
    for (size_t i = 0; i < m_text.size(); ++i) {
        uint32_t cp = m_text[i];
        if (IsHighSurrogate(m_text[i]) && i + 1 < m_text.size() && IsLowSurrogate(m_text[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (m_text[i + 1] - 0xDC00u);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD; // a lone surrogate has no UTF-8 form
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::string MString::ToCodePage(const char* codePage) const {
    if (!codePage || IsUtf8Name(codePage)) return ToUtf8();
    thread_local Converter conv;
    iconv_t cd = conv.Get(codePage, kUtf16);
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::string out(m_text.size() + 16, '\0');
    char* in = reinterpret_cast<char*>(const_cast<char16_t*>(m_text.data()));
    size_t inLeft = m_text.size() * 2;
    size_t used = 0;
    while (inLeft > 0) {
        char* dst = out.data() + used;
        size_t outLeft = out.size() - used;
        size_t r = iconv(cd, &in, &inLeft, &dst, &outLeft);
        used = out.size() - outLeft;
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2 + 16);
            continue;
        }
        // A character the code page lacks (or a broken surrogate): write "?" and step over it.
        if (used == out.size()) out.resize(out.size() * 2 + 16);
        out[used++] = '?';
        const auto* unit = reinterpret_cast<const char16_t*>(in);
        size_t step = inLeft >= 4 && IsHighSurrogate(unit[0]) && IsLowSurrogate(unit[1]) ? 4 : 2;
        step = std::min(step, inLeft);
        in += step;
        inLeft -= step;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // Flush any shift state of stateful encodings.
    for (;;) {
        char* dst = out.data() + used;
        size_t outLeft = out.size() - used;
        size_t r = iconv(cd, nullptr, nullptr, &dst, &outLeft);
        used = out.size() - outLeft;
        if (r == static_cast<size_t>(-1) && errno == E2BIG) {
            out.resize(out.size() * 2 + 16);
            continue;
        }
        break;
    }
    out.resize(used);
    return out;
}

MString MString::FromCodePage(std::string_view bytes, const char* codePage) {
    if (!codePage || IsUtf8Name(codePage)) return MString(bytes);
    thread_local Converter conv;
    iconv_t cd = conv.Get(kUtf16, codePage);
    if (cd == reinterpret_cast<iconv_t>(-1)) return {};
    std::u16string out(bytes.size() + 8, u'\0');
    char* in = const_cast<char*>(bytes.data());
    size_t inLeft = bytes.size();
    size_t used = 0; // in units
    while (inLeft > 0) {
        char* dst = reinterpret_cast<char*>(out.data() + used);
        size_t outLeft = (out.size() - used) * 2;
        size_t r = iconv(cd, &in, &inLeft, &dst, &outLeft);
        used = out.size() - outLeft / 2;
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2 + 8);
            continue;
        }
        if (used == out.size()) out.resize(out.size() * 2 + 8);
        out[used++] = u'\uFFFD';
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(used);
    return MString(std::move(out));
}

int MString::Find(const MString& pattern, int from) const {
    if (m_text.empty() || pattern.m_text.empty()) return -1;
    if (from < 0) from = 0;
    if (static_cast<size_t>(from) >= m_text.size()) return -1;
    size_t at = m_text.find(pattern.m_text, static_cast<size_t>(from));
    return at == std::u16string::npos ? -1 : static_cast<int>(at);
}

MString MString::Substr(int start, int count) const {
    if (start < 0) start = 0;
    if (count <= 0 || static_cast<size_t>(start) >= m_text.size()) return {};
    return MString(m_text.substr(static_cast<size_t>(start), static_cast<size_t>(count)));
}

MString MString::Between(int from, bool caseSensitive, const MString& open, const MString& close) const {
    if (from < 0) from = 0;
    if (static_cast<size_t>(from) > m_text.size()) return {};
    MString text = *this, o = open, c = close;
    if (!caseSensitive) {
        text.ToLower();
        o.ToLower();
        c.ToLower();
    }
    int start = from;
    if (!o.IsEmpty()) {
        int at = text.Find(o, from);
        if (at < 0) return {};
        start = at + o.Length();
    }
    int end = Length();
    if (!c.IsEmpty()) {
        int at = text.Find(c, start);
        if (at >= 0) end = at;
    }
    return Substr(start, end - start);
}

int MString::Replace(const MString& what, const MString& with, bool all) {
    if (what.IsEmpty() || m_text.empty()) return 0;
    int count = 0;
    size_t at = m_text.find(what.m_text);
    if (at == std::u16string::npos) return 0;
    if (!all) {
        m_text.replace(at, what.m_text.size(), with.m_text);
        return 1;
    }
    std::u16string out;
    out.reserve(m_text.size());
    size_t from = 0;
    while (at != std::u16string::npos) {
        out.append(m_text, from, at - from);
        out += with.m_text;
        from = at + what.m_text.size();
        ++count;
        at = m_text.find(what.m_text, from);
    }
    out.append(m_text, from, std::u16string::npos);
    m_text = std::move(out);
    return count;
}

MString& MString::Trim() {
    auto trimmed = [](char16_t c) { return c == 0 || c == u'\t' || c == u'\n' || c == u'\r' || c == u' '; };
    size_t b = 0, e = m_text.size();
    while (b < e && trimmed(m_text[b])) ++b;
    while (e > b && trimmed(m_text[e - 1])) --e;
    if (b > 0 || e < m_text.size()) m_text = m_text.substr(b, e - b);
    return *this;
}

MString& MString::ToLower() {
    for (char16_t& c : m_text) c = LowerUnit(c);
    return *this;
}

MString MString::Extension() const {
    size_t at = m_text.rfind(u'.');
    if (at == std::u16string::npos || at == 0) return {};
    return MString(m_text.substr(at + 1));
}

int64_t MString::ToInt64() const {
    NumberStart n = FindNumber(m_text, false);
    return n.found ? IntegerAt(m_text, n.pos, n.negative) : 0;
}

double MString::ToDouble() const {
    NumberStart n = FindNumber(m_text, true);
    if (!n.found) return 0.0;
    if (IsHexStart(m_text, n.pos)) return static_cast<double>(IntegerAt(m_text, n.pos, n.negative));
    return DecimalAt(m_text, n.pos, n.negative);
}

bool MString::IsIntegerText() const {
    std::u16string_view s = m_text;
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
    size_t start = i;
    bool hex = IsHexStart(s, i);
    if (hex) {
        i += 2;
        while (i < s.size() && HexValue(s[i]) >= 0) ++i;
    } else {
        while (i < s.size() && IsDigit(s[i])) ++i;
        if (i == start) return false;
    }
    size_t end = i;
    while (i < s.size() && IsBlank(s[i])) ++i;
    if (i != s.size()) return false;
    // Only values that survive the 32-bit store count as integers; longer ones stay decimal or text.
    if (hex) {
        size_t firstNonZero = start + 2;
        while (firstNonZero < end && s[firstNonZero] == u'0') ++firstNonZero;
        if (end - firstNonZero > 8) return false;
        int64_t v = IntegerAt(s, start, negative);
        return v >= INT32_MIN && v <= static_cast<int64_t>(UINT32_MAX);
    }
    int64_t v = IntegerAt(s, start, negative);
    return v >= INT32_MIN && v <= INT32_MAX;
}

bool MString::IsDecimalText() const {
    std::u16string_view s = m_text;
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) ++i;
    int digits = 0;
    bool separator = false;
    for (; i < s.size(); ++i) {
        if (IsDigit(s[i]))
            ++digits;
        else if (IsSeparator(s[i]) && !separator)
            separator = true;
        else
            break;
    }
    if (digits == 0) return false;
    if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
        ++i;
        if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) ++i;
        size_t expStart = i;
        while (i < s.size() && IsDigit(s[i])) ++i;
        if (i == expStart) return false;
    }
    while (i < s.size() && IsBlank(s[i])) ++i;
    return i == s.size();
}

MString MString::FromInt(int64_t v) {
    std::u16string out;
    AppendDigits(out, v, 1);
    return MString(std::move(out));
}

MString MString::FromDouble(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 10);
    std::string_view text(buf, static_cast<size_t>(r.ptr - buf));
    size_t dot = text.find('.');
    if (dot != std::string_view::npos && text.find_first_of("eE") == std::string_view::npos)
        text = text.substr(0, std::min(text.size(), dot + 6));
    std::u16string out(text.begin(), text.end());
    return MString(std::move(out));
}

MString MString::FormatDuration(double x) {
    if (!(x >= 0) || !std::isfinite(x)) return {};
    double hours = std::floor(x / 3600.0);
    double rest = std::clamp(x - hours * 3600.0, 0.0, 3599.999999);
    int m = static_cast<int>(rest / 60.0);
    rest -= m * 60.0;
    int s = static_cast<int>(rest);
    int ms = static_cast<int>((rest - s) * 1000.0 + 0.5);
    if (ms >= 1000) {
        ++s;
        ms = 0;
    }
    std::u16string out;
    if (hours != 0) {
        if (hours < 9e18) {
            AppendDigits(out, static_cast<int64_t>(hours), 2);
        } else {
            char buf[400];
            auto r = std::to_chars(buf, buf + sizeof buf, hours, std::chars_format::fixed, 0);
            out.append(buf, r.ptr);
        }
        out += u':';
    }
    if (m != 0 || !out.empty()) {
        AppendDigits(out, m, 2);
        out += u':';
    }
    AppendDigits(out, s, 2);
    if (ms != 0) {
        out += u',';
        AppendDigits(out, ms, 3);
    }
    if (hours == 0 && m == 0) out += u's';
    return MString(std::move(out));
}

bool MString::WriteTo(MBaseStream& stream) const {
    if (m_text.empty()) {
        int32_t zero = 0;
        return stream.Write(&zero, 4);
    }
    int64_t bytes = 2 * (static_cast<int64_t>(m_text.size()) + 1);
    if (bytes > kMaxSerialBytes) return false; // no reader would accept it
    int32_t count = static_cast<int32_t>(bytes);
    if (!stream.Write(&count, 4)) return false;
    if constexpr (std::endian::native == std::endian::little) {
        return stream.Write(m_text.c_str(), count);
    } else {
        std::u16string swapped(m_text.c_str(), m_text.size() + 1);
        for (char16_t& c : swapped) c = static_cast<char16_t>((c >> 8) | (c << 8));
        return stream.Write(swapped.data(), count);
    }
}

bool MString::ReadFrom(MBaseStream& stream) {
    int32_t count = 0;
    if (stream.Read(&count, 4) != 4) return false;
    if (count < 0 || count > kMaxSerialBytes) return false;
    if (count == 0) {
        m_text.clear();
        return true;
    }
    if (count > stream.GetSize() - stream.GetPosition()) return false;
    try {
        std::u16string text(static_cast<size_t>(count / 2), u'\0');
        int32_t whole = count & ~1;
        if (stream.Read(text.data(), whole) != whole) return false;
        if (count & 1) { // half a unit at the end carries no character
            uint8_t spare;
            if (stream.Read(&spare, 1) != 1) return false;
        }
        if constexpr (std::endian::native != std::endian::little)
            for (char16_t& c : text) c = static_cast<char16_t>((c >> 8) | (c << 8));
        size_t zero = text.find(u'\0');
        if (zero != std::u16string::npos) text.resize(zero);
        m_text = std::move(text);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}
