#pragma once
// Helpers for the application tests: temporary folders, environment variables set for one test,
// a record file's chunk census, and child processes of the real program.

#include "core/MFileStream.h"
#include "core/MVarArray.h"
#include "storage/MMuxer.h"
#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <map>
#include <optional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace shelltest {

using TempDir = testutil::TempDir;

// Sets (or with nullopt removes) an environment variable and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_old = old;
        if (value)
            ::setenv(name, value->c_str(), 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old)
            ::setenv(m_name.c_str(), m_old->c_str(), 1);
        else
            ::unsetenv(m_name.c_str());
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

inline int64_t FileSize(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

// How many chunks of each stream id a record file holds, walking the container from its start.
inline std::map<int, int> ChunkCensus(const std::string& path) {
    std::map<int, int> census;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return census;
    {
        MFileStream stream;
        stream.Attach(fd, true);
        MMuxer mux;
        mux.SetStream(&stream);
        for (bool ok = mux.Current(); ok; ok = mux.Next()) ++census[mux.StreamId()];
        stream.Detach();
    }
    ::close(fd);
    return census;
}

// The settings file as a tree; empty when it cannot be loaded.
inline MVarArray LoadTree(const std::string& path) {
    MVarArray tree;
    EXPECT_TRUE(tree.LoadFromFile(MString(path))) << path;
    return tree;
}

// The program, as built next to the tests.
inline std::string ProgramPath() {
#ifdef CORVINA_EXE
    return CORVINA_EXE;
#else
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string self = n > 0 ? std::string(buf, size_t(n)) : std::string();
    return self.substr(0, self.rfind('/') + 1) + "corvina";
#endif
}

// A child process of the real program with its own environment; stdout and stderr go to files.
class Child {
public:
    // env: variables replacing (or, with an empty value and remove, dropping) the test's own.
    // program: the executable (the real program when empty).
    Child(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
          const std::string& outputPrefix, const std::string& workDir = {}, const std::string& program = {})
        : m_out(outputPrefix + ".stdout"), m_err(outputPrefix + ".stderr") {
        std::map<std::string, std::string> vars;
        for (char** e = environ; *e; ++e) {
            std::string kv = *e;
            const size_t eq = kv.find('=');
            if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
        }
        vars.erase("DISPLAY");
        vars.erase("WAYLAND_DISPLAY");
        for (const auto& [k, v] : env) vars[k] = v;
        std::vector<std::string> envStrings;
        for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (auto& s : envStrings) envp.push_back(s.data());
        envp.push_back(nullptr);

        std::vector<std::string> argStrings = {program.empty() ? ProgramPath() : program};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& s : argStrings) argv.push_back(s.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
        const int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0) << "cannot start " << argv[0];
        if (rc != 0) m_pid = 0;
    }
    ~Child() {
        if (m_pid > 0 && !m_status) {
            ::kill(m_pid, SIGKILL);
            int status;
            ::waitpid(m_pid, &status, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }

    // The exit code once the child has ended within timeout; nullopt when it is still running.
    // A child ended by a signal reports 128 + the signal.
    std::optional<int> Wait(std::chrono::milliseconds timeout) {
        if (m_status) return m_status;
        if (m_pid <= 0) return -1;
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            int status = 0;
            const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid) {
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return m_status;
            }
            if (std::chrono::steady_clock::now() >= until) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Polls the child's stderr until it holds text (true) or the child ends or timeout passes.
    bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (Stderr().find(text) != std::string::npos) return true;
            if (m_status || Wait(std::chrono::milliseconds(0)))
                return Stderr().find(text) != std::string::npos;
            if (std::chrono::steady_clock::now() >= until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    void Signal(int sig) {
        if (m_pid > 0 && !m_status) ::kill(m_pid, sig);
    }

    std::string Stdout() const { return ReadText(m_out); }
    std::string Stderr() const { return ReadText(m_err); }

private:
    pid_t m_pid = 0;
    std::optional<int> m_status;
    std::string m_out, m_err;
};

} // namespace shelltest
