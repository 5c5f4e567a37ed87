#include "app/ServiceRegistration.h"

#include "app/CmdLineParser.h"
#include "core/FileUtils.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kDeletedMark[] = " (deleted)";

std::string ErrnoText(int error) {
    return std::strerror(error);
}

bool IsAbsolute(const char* path) {
    return path && path[0] == '/';
}

// The home folder: $HOME when absolute, else the password database's.
std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (IsAbsolute(home)) return home;
    if (const struct passwd* pw = ::getpwuid(::getuid()); pw && IsAbsolute(pw->pw_dir)) return pw->pw_dir;
    return {};
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The folder part of a path ("/" for a file in the root).
std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

// One word of an Exec line as the bus splits it (shell quoting): plain when it holds only
// characters that need no quoting, else in single quotes with each ' written as '\''.
std::string ExecWord(const std::string& word) {
    bool plain = !word.empty();
    for (const char c : word)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || std::strchr("/._+-,:=@%", c))) plain = false;
    if (plain) return word;
    std::string quoted = "'";
    for (const char c : word)
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    return quoted + "'";
}

bool WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t w = ::write(fd, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        left -= size_t(w);
    }
    return true;
}

// Makes a rename in the folder durable; failures only cost durability, not correctness.
void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Whether share (a "<prefix>/share" folder) is one of the folders the session bus searches
// besides the user's own: $XDG_DATA_DIRS, by default /usr/local/share and /usr/share.
bool InDataDirs(const std::string& share) {
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    const std::string list = dirs && *dirs ? dirs : "/usr/local/share/:/usr/share/";
    size_t at = 0;
    for (;;) {
        const size_t colon = list.find(':', at);
        if (WithoutTrailingSlashes(list.substr(at, colon == std::string::npos ? colon : colon - at)) == share)
            return true;
        if (colon == std::string::npos) return false;
        at = colon + 1;
    }
}

} // namespace

bool RegistrationFromCommandLine(const cCmdLineParser& cmd, sRegistrationRequest& request,
                                 std::string& error) {
    struct Switch {
        const char16_t* name;
        RegistrationAction action;
        RegistrationScope scope;
    };
    static constexpr Switch kSwitches[] = {
        {cCmdLineParser::kRegServer, RegistrationAction::kRegister, RegistrationScope::kSystem},
        {cCmdLineParser::kUnregServer, RegistrationAction::kUnregister, RegistrationScope::kSystem},
        {cCmdLineParser::kRegServerPerUser, RegistrationAction::kRegister, RegistrationScope::kPerUser},
        {cCmdLineParser::kUnregServerPerUser, RegistrationAction::kUnregister, RegistrationScope::kPerUser},
    };
    request = {};
    int found = 0;
    for (const Switch& s : kSwitches) {
        if (!cmd.Has(s.name)) continue;
        ++found;
        request.action = s.action;
        request.scope = s.scope;
    }
    if (found <= 1) return true;
    request = {};
    error = "--regserver, --unregserver, --regserverperuser and --unregserverperuser exclude each other";
    return false;
}

std::string RunningExecutable(std::string& error) {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) {
        error = "the program's own file cannot be found (/proc/self/exe: " + ErrnoText(errno) + ")";
        return {};
    }
    std::string path(buffer, size_t(n));
    const size_t markLength = sizeof kDeletedMark - 1;
    if (path.size() > markLength && path.compare(path.size() - markLength, markLength, kDeletedMark) == 0) {
        error = "the program file " + path.substr(0, path.size() - markLength) +
                " has been deleted or replaced since this program started";
        return {};
    }
    return path;
}

std::string ServiceFolder(RegistrationScope scope, const std::string& executable, std::string& error) {
    if (scope == RegistrationScope::kPerUser) {
        const char* dataHome = std::getenv("XDG_DATA_HOME");
        std::string base = IsAbsolute(dataHome) ? std::string(dataHome) : std::string();
        if (base.empty()) {
            const std::string home = HomeFolder();
            if (home.empty()) {
                error = "neither XDG_DATA_HOME nor a home folder is known";
                return {};
            }
            base = WithoutTrailingSlashes(home) + "/.local/share";
        }
        return WithoutTrailingSlashes(base) + kServiceFolderTail;
    }
    // <prefix>/bin/corvina -> <prefix>/share/dbus-1/services
    const std::string bin = FolderOf(executable);
    if (bin.empty() || bin == "/" || executable.front() != '/') {
        error = "the program " + executable + " does not lie in a folder of an installation prefix";
        return {};
    }
    const std::string prefix = FolderOf(bin);
    return (prefix == "/" ? std::string() : prefix) + "/share" + kServiceFolderTail;
}

std::string ServiceFileText(const std::string& executable, const std::vector<std::string>& options,
                            std::string& error) {
    if (executable.empty() || executable.front() != '/') {
        error = "the program path \"" + executable + "\" is not absolute";
        return {};
    }
    for (const char c : executable)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            error = "the program path holds a control character, which the bus's file cannot hold";
            return {};
        }
    std::string exec = ExecWord(executable) + " --" + MString(cCmdLineParser::kEmbedding).ToUtf8();
    for (const std::string& option : options) exec += " " + ExecWord(option);
    // The bus reads the file's values with escapes first (it refuses a lone backslash), then
    // splits the line like a shell: each backslash of the shell form is written doubled.
    std::string value;
    for (const char c : exec) value += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return "[D-BUS Service]\nName=org.onyx.Corvina\nExec=" + value + "\n";
}

sRegistrationResult WriteServiceFile(const std::string& folder, const std::string& text) {
    sRegistrationResult r;
    const std::string target = folder + "/" + kServiceFileName;
    errno = 0;
    if (!ForceFolders(MString(folder))) {
        const int error = errno;
        r.message = "the folder " + folder + " cannot be created (" +
                    (error == EEXIST || error == ENOTDIR ? std::string("a part of it is not a folder")
                                                         : ErrnoText(error)) +
                    ")";
        return r;
    }
    // The temporary name does not end in ".service", so the bus never reads it.
    std::string temporary = folder + "/." + kServiceFileName + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        r.message = "no file can be written in " + folder + " (" + ErrnoText(errno) + ")";
        return r;
    }
    bool written = WriteAll(fd, text) && ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0;
    int error = written ? 0 : errno;
    if (::close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (written && ::rename(temporary.c_str(), target.c_str()) != 0) {
        written = false;
        error = errno;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        r.message = target + " cannot be written (" + ErrnoText(error) + ")";
        return r;
    }
    SyncFolder(folder);
    r.ok = true;
    r.message = "registered the automation service in " + target;
    return r;
}

sRegistrationResult RemoveServiceFile(const std::string& folder) {
    sRegistrationResult r;
    const std::string target = folder + "/" + kServiceFileName;
    if (::unlink(target.c_str()) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            r.ok = true;
            r.message = "the automation service was not registered in " + folder;
            return r;
        }
        r.message = target + " cannot be removed (" + ErrnoText(errno) + ")";
        return r;
    }
    SyncFolder(folder);
    r.ok = true;
    r.message = "removed the automation service's registration " + target;
    return r;
}

sRegistrationResult RunRegistration(const sRegistrationRequest& request, const cCmdLineParser& cmd) {
    sRegistrationResult r;
    if (request.action == RegistrationAction::kNone) {
        r.ok = true;
        return r;
    }
    std::string error;
    const std::string executable = RunningExecutable(error);
    const std::string folder =
        executable.empty() ? std::string() : ServiceFolder(request.scope, executable, error);
    if (folder.empty()) {
        r.message = "the automation service cannot be registered: " + error;
        return r;
    }
    if (request.action == RegistrationAction::kUnregister) return RemoveServiceFile(folder);

    std::vector<std::string> options;
    if (cmd.Simulate) options.push_back("--" + MString(cCmdLineParser::kSimulate).ToUtf8());
    if (cmd.KeepPower) options.push_back("--" + MString(cCmdLineParser::kKeepPowerOn).ToUtf8());
    const std::string text = ServiceFileText(executable, options, error);
    if (text.empty()) {
        r.message = "the automation service cannot be registered: " + error;
        return r;
    }
    r = WriteServiceFile(folder, text);
    if (r.ok && request.scope == RegistrationScope::kSystem && !InDataDirs(FolderOf(FolderOf(folder))))
        r.message +=
            "; note: the session bus looks there only when XDG_DATA_DIRS names " + FolderOf(FolderOf(folder));
    return r;
}
