#include "core/Log.h"

#include "core/MCriticalSection.h"

#include <ctime>

namespace {

struct LogState {
    MCriticalSection lock;   // guards everything below
    std::string pending;     // lines not taken yet, UTF-8
    size_t pendingChars = 0; // characters (code points) in pending
    LogMirror mirror = nullptr;
    void* mirrorContext = nullptr;
};

// Never destroyed: worker threads may still log while the program's static objects are destroyed.
LogState& State() {
    static LogState* state = new LogState;
    return *state;
}

size_t CountChars(std::string_view utf8) {
    size_t n = 0;
    for (unsigned char c : utf8)
        if ((c & 0xC0) != 0x80) ++n; // every byte but continuation bytes starts a character
    return n;
}

// "HH:MM:SS" of the local time of day.
void AppendTimeOfDay(std::string& out) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buf[16];
    const size_t n = std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
    out.append(buf, n);
}

} // namespace

void LogMessage(std::string_view text) {
    LogState& s = State();
    MAutoLock lock(s.lock);
    if (s.pendingChars > kLogPendingLimit) {
        s.pending.clear();
        s.pendingChars = 0;
    }
    const size_t lineStart = s.pending.empty() ? 0 : s.pending.size() + 2;
    if (!s.pending.empty()) s.pending += "\r\n";
    AppendTimeOfDay(s.pending);
    s.pending += "> ";
    s.pending += text;
    const std::string_view line = std::string_view(s.pending).substr(lineStart);
    s.pendingChars += CountChars(line) + (lineStart ? 2 : 0);
    if (s.mirror) s.mirror(line, s.mirrorContext);
}

std::string TakePendingLog() {
    LogState& s = State();
    MAutoLock lock(s.lock);
    std::string out;
    out.swap(s.pending);
    s.pendingChars = 0;
    return out;
}

void ClearPendingLog() {
    LogState& s = State();
    MAutoLock lock(s.lock);
    s.pending.clear();
    s.pendingChars = 0;
}

void SetLogMirror(LogMirror mirror, void* context) {
    LogState& s = State();
    MAutoLock lock(s.lock);
    s.mirror = mirror;
    s.mirrorContext = context;
}
