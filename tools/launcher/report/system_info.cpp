#include "system_info.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/utsname.h>

#include <cctype>
#include <sstream>

#include "file_text.h"

// Mount points escape blanks and a few other bytes as a backslash and three octal digits.
static std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\\' && i + 3 < text.size() && isdigit(text[i + 1])) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

static bool contains(const std::string& mount_point, const std::string& path) {
  if (mount_point == "/") {
    return true;
  }
  return path.compare(0, mount_point.size(), mount_point) == 0 &&
         (path.size() == mount_point.size() || path[mount_point.size()] == '/');
}

// "36 35 98:0 /mnt1 /mnt/parent rw,noatime master:1 - ext3 /dev/root rw,errors=continue"
struct MountLine {
  std::string device, mount_point, options, fs_type, source, super_options;
};

static bool parseMountLine(const std::string& line, MountLine& m) {
  std::istringstream words(line);
  std::string id, parent, root, word;
  if (!(words >> id >> parent >> m.device >> root >> m.mount_point >> m.options)) {
    return false;
  }
  while (words >> word && word != "-") {
  }
  if (!(words >> m.fs_type >> m.source >> m.super_options)) {
    return false;
  }
  m.mount_point = unescape(m.mount_point);
  m.source = unescape(m.source);
  return true;
}

MountInfo mountOf(const std::string& mountinfo_text, const std::string& real_path, dev_t dev) {
  std::string want = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  MountInfo best, any;
  size_t best_len = 0, any_len = 0;
  std::istringstream lines(mountinfo_text);
  for (std::string line; std::getline(lines, line);) {
    MountLine m;
    if (!parseMountLine(line, m) || !contains(m.mount_point, real_path)) {
      continue;
    }
    MountInfo info{real_path, m.fs_type, m.source, m.options + " " + m.super_options};
    size_t len = m.mount_point.size();
    // Later lines mount over earlier ones at the same place: >= keeps the last.
    if (m.device == want && len >= best_len) {
      best = info;
      best_len = len;
    }
    if (len >= any_len) {
      any = info;
      any_len = len;
    }
  }
  return best.fs_type.empty() ? any : best;
}

SystemInfo describeSystem(const std::string& version, const std::vector<std::string>& paths) {
  SystemInfo info;
  info.version = version;
  struct utsname u;
  if (uname(&u) == 0) {
    info.host = u.nodename;
    info.kernel = u.release;
  }
  std::string mountinfo = readFileText("/proc/self/mountinfo");
  for (const std::string& path : paths) {
    char real[PATH_MAX];
    struct stat st;
    MountInfo m;
    if (realpath(path.c_str(), real) != nullptr && stat(real, &st) == 0) {
      m = mountOf(mountinfo, real, st.st_dev);
    }
    m.path = path;
    info.mounts.push_back(m);
  }
  return info;
}
