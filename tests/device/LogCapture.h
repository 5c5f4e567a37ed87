#pragma once
// Collects the texts of the log lines written while it exists (without the time-of-day prefix).

#include "core/Log.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class LogCapture {
public:
    LogCapture() {
        ClearPendingLog();
        SetLogMirror(&LogCapture::Mirror, this);
    }
    ~LogCapture() { SetLogMirror(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> Lines() const {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    // Lines that start with prefix, in order.
    std::vector<std::string> Starting(std::string_view prefix) const {
        std::vector<std::string> out;
        for (const auto& line : Lines())
            if (std::string_view(line).substr(0, prefix.size()) == prefix) out.push_back(line);
        return out;
    }
    size_t Count(std::string_view text) const {
        const auto lines = Lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_lines.clear();
    }

private:
    static void Mirror(std::string_view line, void* context) {
        auto* self = static_cast<LogCapture*>(context);
        const size_t sep = line.find("> ");
        const std::string_view text = sep == std::string_view::npos ? line : line.substr(sep + 2);
        std::lock_guard lock(self->m_mutex);
        self->m_lines.emplace_back(text);
    }

    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};
