#include "net/UpdateList.h"

namespace {

bool IsEntryBoundary(char16_t c) {
    return c == u';' || c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

bool HasLineBreak(const MString& s) {
    return s.Find(u"\n") >= 0 || s.Find(u"\r") >= 0;
}

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char16_t c = s[i];
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        if (c != prefix[i]) return false;
    }
    return true;
}

} // namespace

std::optional<sUpdateEntry> FindUpdateEntry(const MString& list, const MString& productId) {
    if (productId.IsEmpty() || list.Find(u"Error") >= 0) return std::nullopt;
    const MString key = productId + MString(u";");
    for (int at = list.Find(key); at >= 0; at = list.Find(key, at + 1)) {
        if (at > 0 && !IsEntryBoundary(list[at - 1])) continue;
        const int versionAt = at + key.Length();
        const int versionEnd = list.Find(u";", versionAt);
        if (versionEnd < 0) return std::nullopt; // no ";" from here on: no later entry either
        const int addressAt = versionEnd + 1;
        const int addressEnd = list.Find(u";", addressAt);
        if (addressEnd < 0) return std::nullopt;
        sUpdateEntry entry;
        entry.versionText = list.Substr(versionAt, versionEnd - versionAt);
        entry.downloadAddress = list.Substr(addressAt, addressEnd - addressAt);
        // An entry lies on one line: a field that runs into the next line was never closed.
        if (HasLineBreak(entry.versionText) || HasLineBreak(entry.downloadAddress)) continue;
        entry.version = entry.versionText.ToInt64();
        entry.downloadAddress.Trim();
        return entry;
    }
    return std::nullopt;
}

bool IsOfferableAddress(const MString& address) {
    const std::u16string_view s = address.View();
    if (s.empty() || s.size() > static_cast<size_t>(kMaxDownloadAddressLength)) return false;
    for (char16_t c : s)
        if (c <= 0x20 || c >= 0x7F) return false;
    size_t hostAt = 0;
    if (StartsWithNoCase(s, u"http://"))
        hostAt = 7;
    else if (StartsWithNoCase(s, u"https://"))
        hostAt = 8;
    else
        return false;
    std::u16string_view authority = s.substr(hostAt);
    authority = authority.substr(0, authority.find_first_of(u"/?#"));
    const size_t at = authority.rfind(u'@');
    if (at != std::u16string_view::npos) authority.remove_prefix(at + 1);
    std::u16string_view host = authority;
    if (!host.empty() && host.front() == u'[') { // IPv6 literal
        const size_t close = host.find(u']');
        return close != std::u16string_view::npos && close > 1;
    }
    host = host.substr(0, host.find(u':'));
    return !host.empty();
}
