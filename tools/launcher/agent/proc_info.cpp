#include "proc_info.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <sstream>

#include "file_text.h"

// A line reads "1: FLOCK  ADVISORY  WRITE 4711 fe:00:10952705 0 EOF"; a waiter has "->"
// after the number. Device numbers are hexadecimal, the inode decimal.
std::vector<pid_t> flockHolders(const std::string& locks_text, dev_t dev, ino_t ino) {
  char want[64];
  snprintf(want, sizeof(want), "%02x:%02x:%lu", major(dev), minor(dev),
           static_cast<unsigned long>(ino));
  std::vector<pid_t> holders;
  std::istringstream lines(locks_text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string number, type, kind, access, file;
    long pid = 0;
    words >> number >> type;
    if (type == "->") {
      continue;
    }
    if (words >> kind >> access >> pid >> file && type == "FLOCK" && file == want) {
      holders.push_back(static_cast<pid_t>(pid));
    }
  }
  return holders;
}

char processState(const std::string& stat_text) {
  size_t paren = stat_text.rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat_text.size()) {
    return '?';
  }
  return stat_text[paren + 2];
}

std::string stateName(char state) {
  switch (state) {
    case 'R':
      return "running";
    case 'S':
    case 'I':
      return "sleeping";
    case 'D':
      return "in uninterruptible I/O wait";
    case 'T':
    case 't':
      return "stopped";
    case 'Z':
      return "a zombie";
    default:
      return "in an unknown state";
  }
}

std::vector<pid_t> localFlockHolders(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    return {};
  }
  return flockHolders(readFileText("/proc/locks"), st.st_dev, st.st_ino);
}

// This host's /proc's view of the state; '?' when the file cannot be read.
static char localProcessState(pid_t pid) {
  return processState(readFileText("/proc/" + std::to_string(pid) + "/stat"));
}

std::string localStateName(pid_t pid) {
  char state = localProcessState(pid);
  std::string wchan = readFileText("/proc/" + std::to_string(pid) + "/wchan");
  if (state == 'S' && wchan.find("lock") != std::string::npos) {
    return "waiting for a lock";
  }
  return stateName(state);
}
