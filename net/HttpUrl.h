#pragma once
// Addresses the HTTP client accepts: "http://host[:port][/path]" or the same without the scheme.
// The path goes into the request line as it is (bytes outside printable ASCII are percent-encoded),
// so a control character anywhere refuses the address rather than letting it add header lines.

#include "core/MString.h"

#include <string>

struct sHttpUrl {
    std::string host; // name or dotted IPv4 address
    int port = 80;
    std::string target; // path and query for the request line, at least "/"
};

enum class UrlStatus {
    Ok,
    Https,       // https:// (no TLS here)
    Unsupported, // another scheme, credentials, an IPv6 literal
    Invalid,     // no host, bad port, control characters
};

UrlStatus ParseHttpUrl(const MString& url, sHttpUrl& out);
