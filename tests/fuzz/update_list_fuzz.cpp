// Update lists and addresses from outside. Input: an optional product identifier, a NUL, then the
// list text (UTF-8); without a NUL the identifier is this program's. Whatever entry is found must
// really stand in the list, and an address that passes the check must be a plain web address. The
// same bytes also go through the client's address parser (the list address comes from the
// settings file).

#include "net/HttpUrl.h"
#include "net/UpdateList.h"

#include <cstdint>
#include <string_view>

namespace {

bool StartsWithNoCase(std::u16string_view s, std::u16string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        const char16_t c = s[i] >= u'A' && s[i] <= u'Z' ? static_cast<char16_t>(s[i] + 32) : s[i];
        if (c != prefix[i]) return false;
    }
    return true;
}

void CheckOfferable(const MString& address) {
    if (!IsOfferableAddress(address)) return;
    const std::u16string_view s = address.View();
    if (s.size() > static_cast<size_t>(kMaxDownloadAddressLength)) __builtin_trap();
    if (!StartsWithNoCase(s, u"http://") && !StartsWithNoCase(s, u"https://")) __builtin_trap();
    for (char16_t c : s)
        if (c <= 0x20 || c >= 0x7F) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    MString product(u"TavimeterNew");
    const size_t nul = bytes.find('\0');
    if (nul != std::string_view::npos) {
        product = MString::FromUtf8(bytes.substr(0, nul));
        bytes.remove_prefix(nul + 1);
    }
    const MString list = MString::FromUtf8(bytes);

    if (const auto entry = FindUpdateEntry(list, product)) {
        if (list.Find(u"Error") >= 0) __builtin_trap();
        const MString key = product + MString(u";") + entry->versionText + MString(u";");
        if (list.Find(key) < 0) __builtin_trap();
        for (const MString* field : {&entry->versionText, &entry->downloadAddress})
            if (field->Find(u";") >= 0 || field->Find(u"\n") >= 0 || field->Find(u"\r") >= 0)
                __builtin_trap();
        CheckOfferable(entry->downloadAddress);
    }
    CheckOfferable(list);

    sHttpUrl url;
    if (ParseHttpUrl(list, url) == UrlStatus::Ok) {
        if (url.host.empty() || url.port < 1 || url.port > 65535) __builtin_trap();
        if (url.target.empty() || url.target[0] != '/') __builtin_trap();
        for (unsigned char c : url.target)
            if (c <= 0x20 || c >= 0x7F) __builtin_trap();
    }
    return 0;
}
