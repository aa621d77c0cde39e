// What this host's /proc says about local processes: who holds a file's flock, and what a
// process is doing. Remote processes are out of its sight.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// PIDs holding (not waiting for) an flock on the file with this device and inode, from the
// text of /proc/locks.
std::vector<pid_t> flockHolders(const std::string& locks_text, dev_t dev, ino_t ino);

// The state letter of /proc/PID/stat's text; '?' if it cannot be read. The command name before
// it may hold blanks and parentheses.
char processState(const std::string& stat_text);

// "running", "sleeping", "stopped", "in uninterruptible I/O wait", ...
std::string stateName(char state);

// The same, read from this host's /proc; empty when it cannot be read.
std::vector<pid_t> localFlockHolders(const std::string& path);

// stateName, except that a process asleep in the kernel's lock code is "waiting for a lock".
std::string localStateName(pid_t pid);
