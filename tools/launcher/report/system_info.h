// What a bug report about a file system needs besides the verdict: the tool's version, this
// host and its kernel, and for each local path the mount it lies on.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct MountInfo {
  std::string path;     // as the processes were given it
  std::string fs_type;  // "nfs4", "fuse.glusterfs", ...; empty if not found
  std::string source;   // "server:/export"
  std::string options;  // per-mount options, then the file system's own
};

struct SystemInfo {
  std::string version;  // "logtest-run 1.0.0 (git ...)"
  std::string host;
  std::string kernel;
  std::vector<MountInfo> mounts;
};

// The mount of /proc/self/mountinfo's text that holds real_path: among the mounts of device
// dev (major:minor), the one with the longest mount point that contains real_path; any mount
// if none has that device (btrfs subvolumes report devices of their own).
MountInfo mountOf(const std::string& mountinfo_text, const std::string& real_path, dev_t dev);

SystemInfo describeSystem(const std::string& version, const std::vector<std::string>& paths);
