#pragma once
// Registration of the automation service with the session bus: the activation file
// "org.onyx.Corvina.service", which lets the bus start the program (with --embedding) for a
// client that calls the service while no instance runs.
//
//   --regserverperuser, --unregserverperuser  for this user: $XDG_DATA_HOME/dbus-1/services
//                                             (default ~/.local/share/dbus-1/services)
//   --regserver, --unregserver                for everyone: <prefix>/share/dbus-1/services, where
//                                             the program is <prefix>/bin/corvina
//
// These switches run before anything else of the start-up (no other instance is replaced, no
// settings file is read, no device is opened) and end the program. The file is written under a
// temporary name in the same folder and renamed over the old one, so the bus never reads half a
// file. Registering writes the absolute path of the running executable; --simulate and
// --keep_power_on given with the switch are kept in the command the bus starts. Unregistering a
// service that is not registered succeeds (the file is not there either way).
//
// Thread: main thread (start-up).

#include <string>
#include <vector>

class cCmdLineParser;

inline constexpr char kServiceFileName[] = "org.onyx.Corvina.service";
inline constexpr char kServiceFolderTail[] = "/dbus-1/services";

enum class RegistrationAction { kNone, kRegister, kUnregister };
enum class RegistrationScope { kPerUser, kSystem };

struct sRegistrationRequest {
    RegistrationAction action = RegistrationAction::kNone;
    RegistrationScope scope = RegistrationScope::kPerUser;
};

// Which registration switch the command line holds. False (with a message) when it holds more
// than one.
bool RegistrationFromCommandLine(const cCmdLineParser& cmd, sRegistrationRequest& request,
                                 std::string& error);

// The executable as the kernel knows it (/proc/self/exe). Empty (with a message) when it cannot
// be read or the file has been deleted or replaced since the program started.
std::string RunningExecutable(std::string& error);

// The folder of the activation file, without a trailing "/": for this user from the environment
// ($XDG_DATA_HOME when absolute, else $HOME/.local/share, else the password database's home),
// for everyone beside the executable's folder. Empty (with a message) when there is none.
std::string ServiceFolder(RegistrationScope scope, const std::string& executable, std::string& error);

// The activation file for an executable started with --embedding and the extra options. Empty
// (with a message) when the path cannot be written into the file (a relative path, or control
// characters such as a line break).
std::string ServiceFileText(const std::string& executable, const std::vector<std::string>& options,
                            std::string& error);

struct sRegistrationResult {
    bool ok = false;
    std::string message; // what was done, or why it failed
};

// Writes text as folder/org.onyx.Corvina.service (creating missing folders), safely.
sRegistrationResult WriteServiceFile(const std::string& folder, const std::string& text);
// Removes folder/org.onyx.Corvina.service.
sRegistrationResult RemoveServiceFile(const std::string& folder);

// Does what the request asks for the running executable and the command line's options.
sRegistrationResult RunRegistration(const sRegistrationRequest& request, const cCmdLineParser& cmd);
