#pragma once
// One running program per user and per-user folder: a new start asks the older instances to end
// and takes their place. Instances are found by a scan of /proc: the same executable name (lower
// case, without folder), the same user, the same per-user folder (worked out from the instance's
// own environment, so programs with separate XDG_CONFIG_HOME folders run side by side) and an
// earlier start. Each gets SIGTERM carrying kReplaceSignalValue; it closes its record, saves its
// settings and exits with code 225. One that has not ended after kReplaceWaitMs gets SIGKILL.
// Processes of other users are never signalled.
//
// Thread: main thread (start-up).

#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

// The value carried by the replacing SIGTERM (the exit code the replaced instance ends with).
inline constexpr int kReplaceSignalValue = 225;
// How long an older instance gets to end before it is killed.
inline constexpr int kReplaceWaitMs = 2000;

// An instance of the program found in /proc.
struct sInstance {
    pid_t pid = 0;
    unsigned long long startTicks = 0; // start time after boot, clock ticks
};

// The file name of an executable path in lower case, without a " (deleted)" mark.
std::string InstanceExecutableName(const std::string& exePath);
// The per-user folder an environment selects: $XDG_CONFIG_HOME (when absolute) or <home>/.config,
// then "/Onyx.Corvina"; home is $HOME (when absolute) or the given fallback. Empty when neither
// gives an absolute folder.
std::string InstancePerUserFolder(const std::string& xdgConfigHome, const std::string& home,
                                  const std::string& fallbackHome);

// Other instances of this program (by the rules above) that started before this one.
std::vector<sInstance> FindOlderInstances();

// Asks every older instance to end and waits for it (SIGKILL after kReplaceWaitMs). Returns how
// many were ended.
int KillOtherInstances();

// True when a SIGTERM's information says it came from a replacing instance.
bool IsReplaceSignal(const siginfo_t* info);
