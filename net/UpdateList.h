#pragma once
// The update list: a text that holds, for each product, an entry
//     identifier ";" version ";" download address ";"
// with any other text around the entries. The version is an integer that grows with every release.
// Pure functions; any thread.

#include "core/MString.h"

#include <cstdint>
#include <optional>

struct sUpdateEntry {
    MString versionText;     // as written between the separators
    int64_t version = 0;     // versionText read leniently; 0 when it holds no number
    MString downloadAddress; // as written, blanks around it removed
};

// Longest download address that is ever offered, in characters.
inline constexpr int kMaxDownloadAddressLength = 2048;

// The first entry of the product: the identifier followed by ";" at the start of the text or after
// a ";" or a blank (space, tab, line break), so that it never matches inside another identifier or
// an address. An occurrence whose version and address are not both closed by ";" on the same line
// is no entry (the search goes on after it).
// Nothing when the text contains "Error" anywhere (an error page instead of the list) or holds no
// entry of the product.
std::optional<sUpdateEntry> FindUpdateEntry(const MString& list, const MString& productId);

// An address that may be offered and opened: http:// or https:// (any case), a host, only
// printable ASCII (no blanks, no control characters), at most kMaxDownloadAddressLength.
bool IsOfferableAddress(const MString& address);
