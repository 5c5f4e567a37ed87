#include "net/HttpUrl.h"

namespace {

bool IsHostChar(char c) {
    return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || c == '-' || c == '.' ||
           c == '_';
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

} // namespace

UrlStatus ParseHttpUrl(const MString& url, sHttpUrl& out) {
    MString trimmed = url;
    trimmed.Trim();
    const std::string text = trimmed.ToUtf8();
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return UrlStatus::Invalid;

    std::string_view rest(text);
    const size_t scheme = rest.find("://");
    if (scheme != std::string_view::npos) {
        std::string name(rest.substr(0, scheme));
        for (char& c : name) c = LowerAscii(c);
        if (name == "https") return UrlStatus::Https;
        if (name != "http") return UrlStatus::Unsupported;
        rest.remove_prefix(scheme + 3);
    }

    const size_t authorityEnd = rest.find_first_of("/?#");
    const std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view target =
        authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
    if (authority.find('@') != std::string_view::npos || authority.find('[') != std::string_view::npos)
        return UrlStatus::Unsupported;

    const size_t colon = authority.find(':');
    const std::string_view host = authority.substr(0, colon);
    if (host.empty()) return UrlStatus::Invalid;
    for (char c : host)
        if (!IsHostChar(c)) return UrlStatus::Invalid;
    int port = 80;
    if (colon != std::string_view::npos) {
        const std::string_view digits = authority.substr(colon + 1);
        if (!digits.empty()) {
            if (digits.size() > 5) return UrlStatus::Invalid;
            port = 0;
            for (char c : digits) {
                if (c < '0' || c > '9') return UrlStatus::Invalid;
                port = port * 10 + (c - '0');
            }
            if (port < 1 || port > 65535) return UrlStatus::Invalid;
        }
    }

    const size_t fragment = target.find('#');
    if (fragment != std::string_view::npos) target = target.substr(0, fragment);
    std::string request;
    if (target.empty() || target.front() != '/') request = "/";
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : target) {
        if (c > 0x20 && c < 0x7F) {
            request += static_cast<char>(c);
        } else { // a space or a byte of a non-ASCII character
            request += '%';
            request += kHex[c >> 4];
            request += kHex[c & 15];
        }
    }

    out.host = std::string(host);
    out.port = port;
    out.target = std::move(request);
    return UrlStatus::Ok;
}
