#include "self.h"

#include <limits.h>
#include <unistd.h>

#include "launcher_version.h"

std::string programPath() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  return n > 0 ? std::string(self, n) : "logtest-run";
}

std::string programDir() {
  std::string path = programPath();
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

std::string versionText() {
  std::string text = std::string("logtest-run ") + LOGTEST_VERSION;
  if (LOGTEST_COMMIT[0] != '\0') {
    text += std::string(" (git ") + LOGTEST_COMMIT + ")";
  }
  return text;
}
