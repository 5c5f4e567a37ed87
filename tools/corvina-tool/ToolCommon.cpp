#include "tools/corvina-tool/Tool.h"

#include "core/FileUtils.h"
#include "storage/ChunkHeader.h"
#include "storage/PGFiles.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tool {

bool Args::Has(std::string_view name) const {
    for (const auto& o : options)
        if (o.first == name) return true;
    return false;
}

const std::string* Args::Value(std::string_view name) const {
    const std::string* v = nullptr;
    for (const auto& o : options)
        if (o.first == name) v = &o.second;
    return v;
}

bool Args::Switch(std::string_view on, std::string_view off, bool def) const {
    bool v = def;
    for (const auto& o : options) {
        if (o.first == on) v = true;
        if (o.first == off) v = false;
    }
    return v;
}

bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs, Args& out,
               std::string& error) {
    auto findLong = [&](std::string_view name) -> const OptionDef* {
        for (const OptionDef& s : defs)
            if (name == s.name) return &s;
        return nullptr;
    };
    auto findShort = [&](char c) -> const OptionDef* {
        for (const OptionDef& s : defs)
            if (s.shortName != 0 && s.shortName == c) return &s;
        return nullptr;
    };
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a.size() < 2 || a[0] != '-') { // "-" alone is a name too
            out.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (a == "--help" || a == "-h") {
            out.help = true;
            continue;
        }
        const OptionDef* def = nullptr;
        std::string value;
        bool hasInlineValue = false;
        if (a[1] == '-') {
            const size_t eq = a.find('=');
            const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            def = findLong(name);
            if (eq != std::string::npos) {
                value = a.substr(eq + 1);
                hasInlineValue = true;
            }
        } else if (a.size() == 2) {
            def = findShort(a[1]);
        }
        if (!def) {
            error = "unknown option " + a;
            return false;
        }
        if (def->takesValue) {
            if (!hasInlineValue) {
                if (i + 1 >= args.size()) {
                    error = "option --" + std::string(def->name) + " needs a value";
                    return false;
                }
                value = args[++i];
            }
        } else if (hasInlineValue) {
            error = "option --" + std::string(def->name) + " takes no value";
            return false;
        }
        out.options.emplace_back(def->name, value);
    }
    return true;
}

bool ParseInt(const std::string& text, int64_t& value) {
    const char* b = text.data();
    const char* e = b + text.size();
    if (b != e && *b == '+') ++b;
    const auto r = std::from_chars(b, e, value);
    return b != e && r.ec == std::errc() && r.ptr == e;
}

bool ParseSeconds(const std::string& text, double& value) {
    std::string t = text;
    for (char& c : t)
        if (c == ',') c = '.';
    const char* b = t.data();
    const char* e = b + t.size();
    if (b != e && *b == '+') ++b;
    if (b == e || !((*b >= '0' && *b <= '9') || *b == '.' || *b == '-')) return false;
    const auto r = std::from_chars(b, e, value, std::chars_format::fixed);
    return r.ec == std::errc() && r.ptr == e && std::isfinite(value);
}

void Error(const char* command, const std::string& message) {
    std::fprintf(stderr, "corvina-tool %s: %s\n", command, message.c_str());
}

int UsageError(const char* command, const std::string& message) {
    Error(command, message);
    std::fprintf(stderr, "Try 'corvina-tool %s --help'.\n", command);
    return kExitUsage;
}

void Print(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

MString PathArg(const std::string& arg) {
    if (arg.empty() || arg.find('\0') != std::string::npos) return {};
    return MString(std::string_view(arg));
}

std::string WithExtension(const std::string& path, const char* extension) {
    const size_t slash = path.find_last_of('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = path.rfind('.');
    std::string out = path;
    if (dot != std::string::npos && dot > nameStart) out.resize(dot);
    return out + extension;
}

bool SameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat sa {
    }, sb{};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool OpenRecord(const std::string& path, PGFiles& record, bool needTimeRange, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = path + " is a folder, not a record file";
        return false;
    }
    // A record starts with one of its chunks at offset 0, linked to nothing.
    {
        MFileHandle file(OpenForRead(PathArg(path)));
        if (!file.IsOpen()) {
            error = "cannot open " + path + ": " + std::strerror(errno ? errno : EACCES);
            return false;
        }
        uint8_t head[ChunkHeader::kMaxSize];
        const ssize_t got = ::pread(file.Get(), head, sizeof head, 0);
        ChunkHeader h;
        if (got <= 0 || h.Parse(head, size_t(got), 0, int64_t(st.st_size)) == 0 || h.backLink != 0 ||
            h.streamId < PGFiles::kTimeStampId || h.streamId > PGFiles::kRegulatorId) {
            error = path + " is not a record file";
            return false;
        }
    }
    if (!record.Open(PathArg(path), PGFiles::OpenMode::ReadOnly)) {
        error = "cannot open " + path + ": " + std::strerror(errno ? errno : EACCES);
        return false;
    }
    if (needTimeRange && !(record.StartTime() >= 0 && record.EndTime() > record.StartTime())) {
        error = path + " has no time range (a record shorter than about 3 s, or damaged)";
        record.Close();
        return false;
    }
    return true;
}

bool ResolveFragment(const Args& args, const PGFiles& record, double& from, double& to, std::string& error) {
    const double lo = std::trunc(record.StartTime());
    const double hi = record.EndTime();
    from = lo;
    to = std::trunc(hi);
    if (const std::string* v = args.Value("from")) {
        if (!ParseSeconds(*v, from) || from < 0) {
            error = "--from wants seconds from the record's start, not '" + *v + "'";
            return false;
        }
    }
    if (const std::string* v = args.Value("to")) {
        if (!ParseSeconds(*v, to) || to < 0) {
            error = "--to wants seconds from the record's start, not '" + *v + "'";
            return false;
        }
    }
    from = std::clamp(from, lo, hi);
    to = std::clamp(to, lo, hi);
    if (!(to > from)) {
        error = "the fragment " + MString::FromDouble(from).ToUtf8() + " ... " +
                MString::FromDouble(to).ToUtf8() + " s is empty (the record spans " +
                MString::FromDouble(record.StartTime()).ToUtf8() + " ... " +
                MString::FromDouble(hi).ToUtf8() + " s)";
        return false;
    }
    return true;
}

std::string SettingsFilePath() {
    std::string base;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) return {};
        base = std::string(home) + "/.config";
    }
    return base + "/" + MString(kPerUserFolderName).ToUtf8() + "/Ini.bin";
}

std::string JsonString(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += char(c);
                }
        }
    }
    return out + "\"";
}

std::string JsonNumber(double v) {
    if (!std::isfinite(v)) return "null";
    char buf[40];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

} // namespace tool
