#include "viewing/SampleRateField.h"

namespace {

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

// [blanks] [sign] digits [blanks], at least one digit.
bool IsSignedDigits(const std::u16string& s) {
    size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) ++i;
    const size_t digits = i;
    while (i < s.size() && s[i] >= u'0' && s[i] <= u'9') ++i;
    if (i == digits) return false;
    while (i < s.size() && IsBlank(s[i])) ++i;
    return i == s.size();
}

} // namespace

MString SampleRateWhileTyping(const MString& text) {
    if (text.IsEmpty() || IsSignedDigits(text.Str())) return text;
    return MString::FromInt(text.ToInt64());
}

int SampleRateValue(const MString& text) {
    const int64_t v = text.ToInt64();
    return v < kSampleRateMin || v > kSampleRateMax ? kSampleRateFallback : static_cast<int>(v);
}

MString SampleRateValidated(const MString& text) {
    return MString::FromInt(SampleRateValue(text));
}
