#pragma once
// MString <-> QString for the windows (both UTF-16).

#include "core/MString.h"

#include <QString>

inline QString ToQt(const MString& s) {
    return QString::fromUtf16(s.c_str(), s.Length());
}

inline MString FromQt(const QString& s) {
    return MString(reinterpret_cast<const char16_t*>(s.utf16()), size_t(s.size()));
}
