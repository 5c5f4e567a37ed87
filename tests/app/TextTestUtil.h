#pragma once
// Helpers of the export, import and batch tool tests: temporary folders, file bytes, pulse-like
// text, small records written through PGFiles, and running a program as a child process.

#include "core/MString.h"
#include "storage/PGFiles.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace apptest {

using TempDir = testutil::TempDir;

inline std::string ReadFile(const std::string& path) {
    std::string s;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return s;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Files in a folder (names only).
inline std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    std::string cmd = "ls -A '" + folder + "'";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return names;
    char line[4096];
    while (std::fgets(line, sizeof line, p)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        names.push_back(s);
    }
    ::pclose(p);
    return names;
}

// Pulse-like signal: a sharp systolic wave and a smaller dicrotic wave per beat, on an offset,
// in units a converter might deliver.
inline double PulseValue(double t, double bpm) {
    const double phase = std::fmod(t * bpm / 60.0, 1.0);
    const double a = (phase - 0.15) / 0.10, b = (phase - 0.40) / 0.12;
    return 500.0 + 300.0 * std::exp(-a * a) + 90.0 * std::exp(-b * b);
}

// seconds of that signal at rate Hz as text, one value per line (the last line without a line
// break when lastNewline is false).
inline std::string PulseText(double seconds, int rate, double bpm, bool lastNewline = true) {
    std::string text;
    const long n = long(seconds * rate);
    text.reserve(size_t(n) * 8);
    char buf[32];
    for (long i = 0; i < n; ++i) {
        const int len = std::snprintf(buf, sizeof buf, "%.2f", PulseValue(double(i) / rate, bpm));
        text.append(buf, size_t(len));
        if (i + 1 < n || lastNewline) text += '\n';
    }
    return text;
}

// Writes a record the way the recorder and the import do: samples in blocks at the given period
// (value of sample k from value(k)), a heart-rate entry per beat time (beats(k) for k = 0, 1 ...
// while it returns a time >= 0, with the rate hr(k)), and the metadata entries.
struct RecordPlan {
    int64_t samples = 0;
    double period = 0.01;
    int block = 50;
    std::function<double(int64_t)> value = [](int64_t) { return 0.5; };
    std::vector<std::pair<double, double>> beats; // {time, hr}
    std::vector<std::pair<std::string, std::string>> metadata;
};

inline void WriteRecord(const std::string& path, const RecordPlan& plan) {
    PGFiles rec;
    ASSERT_TRUE(rec.Create(MString(std::string_view(path))));
    std::vector<double> block(size_t(plan.block));
    size_t nextBeat = 0;
    for (int64_t k = 0; k < plan.samples; k += plan.block) {
        const int n = int(std::min<int64_t>(plan.block, plan.samples - k));
        for (int j = 0; j < n; ++j) block[size_t(j)] = plan.value(k + j);
        ASSERT_TRUE(rec.WriteSamples(block.data(), n, plan.period));
        // Beats are stored as they are found, after the samples that hold them.
        while (nextBeat < plan.beats.size() && plan.beats[nextBeat].first < rec.CurrentTime()) {
            ASSERT_TRUE(rec.WriteHeartRate(plan.beats[nextBeat].second, plan.beats[nextBeat].first));
            ++nextBeat;
        }
    }
    for (const auto& m : plan.metadata)
        rec.Metadata.Value(MString(std::string_view(m.first))) = MString(std::string_view(m.second));
    rec.Close();
}

struct RunResult {
    int exitCode = -1;
    std::string out, err;
};

// Runs program with args and the environment changed by env ("NAME=value" entries replace or
// add), collecting stdout and stderr.
inline RunResult Run(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {}) {
    RunResult r;
    int outPipe[2], errPipe[2];
    if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) return r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addclose(&actions, outPipe[0]);
    posix_spawn_file_actions_addclose(&actions, errPipe[0]);

    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
        std::string s(*e);
        bool replaced = false;
        for (const std::string& x : env)
            if (s.substr(0, s.find('=') + 1) == x.substr(0, x.find('=') + 1)) replaced = true;
        if (!replaced) envStrings.push_back(s);
    }
    for (const std::string& x : env) envStrings.push_back(x);
    std::vector<char*> envp;
    for (std::string& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argStrings) argv.push_back(s.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (rc == 0) {
        pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
        int open = 2;
        char buf[65536];
        while (open > 0 && ::poll(fds, 2, -1) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    (i == 0 ? r.out : r.err).append(buf, size_t(n));
                } else {
                    fds[i].fd = -1;
                    --open;
                }
            }
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    return r;
}

} // namespace apptest
