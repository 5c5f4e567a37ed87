#include "app/SingleInstance.h"

#include "core/Log.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr char kDeletedMark[] = " (deleted)";
// The environment of a process is read up to this size (the kernel's argument limit is lower).
constexpr size_t kMaxEnvironment = 8u << 20;
// After SIGKILL, how long to wait for the process to be gone.
constexpr int kKillWaitMs = 1000;

// Through the system calls: the C library's wrappers are not declared for C++ everywhere.
int PidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u));
}

int PidfdSendSignal(int pidfd, int signal, siginfo_t* info) {
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, info, 0u));
}

struct sIdentity {
    std::string name;
    dev_t folderDev = 0;
    ino_t folderIno = 0;
    bool folderKnown = false;
    unsigned long long startTicks = 0;
};

bool ReadWhole(const std::string& path, std::string& out, size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    char buf[16384];
    bool ok = true;
    for (;;) {
        ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) break;
        out.append(buf, static_cast<size_t>(got));
        if (out.size() > limit) break;
    }
    ::close(fd);
    return ok;
}

std::string ReadLink(const std::string& path) {
    char buf[4096];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

// Field 22 of /proc/<pid>/stat: the start time in clock ticks after boot. The command name in
// field 2 may hold blanks and parentheses, so fields are counted after its last ')'.
bool StartTicks(const std::string& procDir, unsigned long long& ticks) {
    std::string stat;
    if (!ReadWhole(procDir + "/stat", stat, 65536)) return false;
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return false;
    const char* p = stat.c_str() + close + 1;
    // After ')' come field 3 (state) ... field 22.
    for (int field = 3; field < 22; ++field) {
        while (*p == ' ') ++p;
        while (*p && *p != ' ') ++p;
        if (!*p) return false;
    }
    char* end = nullptr;
    errno = 0;
    ticks = std::strtoull(p, &end, 10);
    return end != p && errno == 0;
}

std::string EnvValue(const std::string& environ, const char* name) {
    const size_t len = std::strlen(name);
    for (size_t at = 0; at < environ.size();) {
        size_t end = environ.find('\0', at);
        if (end == std::string::npos) end = environ.size();
        if (end - at > len && environ.compare(at, len, name) == 0 && environ[at + len] == '=')
            return environ.substr(at + len + 1, end - at - len - 1);
        at = end + 1;
    }
    return {};
}

std::string PasswordHome() {
    std::vector<char> buf(16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return {};
}

bool FolderId(const std::string& folder, dev_t& dev, ino_t& ino) {
    struct stat st;
    if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    dev = st.st_dev;
    ino = st.st_ino;
    return true;
}

// What makes a process an instance to replace: its executable name, its per-user folder and
// when it started. Empty name when it cannot be read (not ours, or gone).
sIdentity IdentityOf(const std::string& procDir, const std::string& fallbackHome, bool self) {
    sIdentity id;
    id.name = InstanceExecutableName(ReadLink(procDir + "/exe"));
    if (id.name.empty()) return id;
    std::string xdg, home;
    if (self) {
        const char* x = std::getenv("XDG_CONFIG_HOME");
        const char* h = std::getenv("HOME");
        xdg = x ? x : "";
        home = h ? h : "";
    } else {
        std::string environ;
        if (!ReadWhole(procDir + "/environ", environ, kMaxEnvironment)) {
            id.name.clear();
            return id;
        }
        xdg = EnvValue(environ, "XDG_CONFIG_HOME");
        home = EnvValue(environ, "HOME");
    }
    id.folderKnown = FolderId(InstancePerUserFolder(xdg, home, fallbackHome), id.folderDev, id.folderIno);
    if (!StartTicks(procDir, id.startTicks)) id.name.clear();
    return id;
}

bool SameInstanceKind(const sIdentity& self, const sIdentity& other) {
    return !other.name.empty() && other.name == self.name && self.folderKnown && other.folderKnown &&
           other.folderDev == self.folderDev && other.folderIno == self.folderIno;
}

bool Older(const sIdentity& other, pid_t otherPid, const sIdentity& self) {
    if (other.startTicks != self.startTicks) return other.startTicks < self.startTicks;
    return otherPid < getpid(); // started within the same tick: one of the two has to stay
}

bool OwnedByMe(const std::string& procDir) {
    struct stat st;
    return ::stat(procDir.c_str(), &st) == 0 && st.st_uid == geteuid();
}

bool SendReplaceSignal(int pidfd, pid_t pid) {
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    info.si_signo = SIGTERM;
    info.si_code = SI_QUEUE;
    info.si_pid = getpid();
    info.si_uid = getuid();
    info.si_value.sival_int = kReplaceSignalValue;
    if (PidfdSendSignal(pidfd, SIGTERM, &info) == 0) return true;
    if (errno != ENOSYS) return false;
    union sigval value;
    value.sival_int = kReplaceSignalValue;
    return sigqueue(pid, SIGTERM, value) == 0;
}

// True when the process behind pidfd has ended within timeoutMs.
bool WaitEnded(int pidfd, int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        struct pollfd p = {pidfd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

} // namespace

std::string InstanceExecutableName(const std::string& exePath) {
    std::string path = exePath;
    const size_t markLen = sizeof kDeletedMark - 1;
    if (path.size() > markLen && path.compare(path.size() - markLen, markLen, kDeletedMark) == 0)
        path.resize(path.size() - markLen);
    const size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

std::string InstancePerUserFolder(const std::string& xdgConfigHome, const std::string& home,
                                  const std::string& fallbackHome) {
    std::string base;
    if (!xdgConfigHome.empty() && xdgConfigHome[0] == '/') {
        base = xdgConfigHome;
    } else {
        const std::string& h = !home.empty() && home[0] == '/' ? home : fallbackHome;
        if (h.empty() || h[0] != '/') return {};
        base = h + "/.config";
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return base + "/Onyx.Corvina";
}

std::vector<sInstance> FindOlderInstances() {
    std::vector<sInstance> found;
    const std::string fallbackHome = PasswordHome();
    const sIdentity self = IdentityOf("/proc/self", fallbackHome, true);
    if (self.name.empty() || !self.folderKnown) return found;
    DIR* dir = ::opendir("/proc");
    if (!dir) return found;
    const pid_t me = getpid();
    while (struct dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (!end || *end || pid <= 0 || pid == me) continue;
        const std::string procDir = std::string("/proc/") + e->d_name;
        if (!OwnedByMe(procDir)) continue;
        const sIdentity other = IdentityOf(procDir, fallbackHome, false);
        if (!SameInstanceKind(self, other) || !Older(other, static_cast<pid_t>(pid), self)) continue;
        found.push_back({static_cast<pid_t>(pid), other.startTicks});
    }
    ::closedir(dir);
    return found;
}

int KillOtherInstances() {
    struct sTarget {
        pid_t pid;
        int fd;
    };
    std::vector<sTarget> targets;
    for (const sInstance& instance : FindOlderInstances()) {
        // The descriptor pins the process: a pid reused after the scan cannot be hit.
        const int fd = PidfdOpen(instance.pid);
        if (fd < 0) continue;
        unsigned long long ticks = 0;
        if (!StartTicks("/proc/" + std::to_string(instance.pid), ticks) || ticks != instance.startTicks ||
            !SendReplaceSignal(fd, instance.pid)) {
            ::close(fd);
            continue;
        }
        LogMessage("Asking the running instance " + std::to_string(instance.pid) + " to close");
        targets.push_back({instance.pid, fd});
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplaceWaitMs);
    int ended = 0;
    for (const sTarget& t : targets) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        bool gone = WaitEnded(t.fd, static_cast<int>(std::max<long long>(left, 0)));
        if (!gone) {
            LogMessage("The instance " + std::to_string(t.pid) + " did not close in time and is killed");
            PidfdSendSignal(t.fd, SIGKILL, nullptr);
            gone = WaitEnded(t.fd, kKillWaitMs);
        }
        if (gone) ++ended;
        ::close(t.fd);
    }
    return ended;
}

bool IsReplaceSignal(const siginfo_t* info) {
    return info && info->si_signo == SIGTERM && info->si_code == SI_QUEUE &&
           info->si_value.sival_int == kReplaceSignalValue;
}
