#include "file_text.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

std::string readFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string readTokenFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return "";
  }
  char buf[128];
  ssize_t n = read(fd, buf, sizeof(buf));
  close(fd);
  return n > 0 ? std::string(buf, n) : "";
}

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeFileAtomically(const std::string& path, const std::string& text, std::string* error) {
  std::string temporary = directoryOf(path) + "/.logtest-run.XXXXXX";
  int fd = mkstemp(&temporary[0]);
  bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
            fsync(fd) == 0;
  ok = (fd < 0 || close(fd) == 0) && ok;
  ok = ok && chmod(temporary.c_str(), 0644) == 0 && rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) {
    *error = "writing " + path + " failed: " + strerror(errno);
    if (fd >= 0) {
      unlink(temporary.c_str());
    }
  }
  return ok;
}
