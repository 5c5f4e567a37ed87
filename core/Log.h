#pragma once
// The program's diagnostic log. Lines come from any thread and collect in a pending text until the
// log view (a main-thread task) takes them. Each line: the local time of day "HH:MM:SS", "> ", the
// text; lines are separated by "\r\n". When the pending text has grown above 50,000 characters
// (nobody has been taking it), it is dropped as a whole before the next line is added.

#include <cstddef>
#include <string>
#include <string_view>

// Longest pending text, in characters, that is kept before the next line.
inline constexpr size_t kLogPendingLimit = 50'000;

// Appends a line. Any thread. Text is UTF-8.
void LogMessage(std::string_view text);

// Moves the pending text out and leaves it empty. Any thread (the log view's task on the main thread).
std::string TakePendingLog();
// Empties the pending text.
void ClearPendingLog();

// Optional copy of every line as it is logged (the headless program prints them to stderr). The
// callback gets the line without separator; it runs on the logging thread under the log lock, so it
// must be quick, must not log itself and must not wait for other threads. Pass null to remove it.
using LogMirror = void (*)(std::string_view line, void* context);
void SetLogMirror(LogMirror mirror, void* context);
