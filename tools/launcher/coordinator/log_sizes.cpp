#include "log_sizes.h"

#include <sys/stat.h>

#include <algorithm>

#include "control/log_format.h"
#include "log_dir.h"

static bool fileSize(const std::string& path, uint64_t* size) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

static unsigned highestKnown(const LogSizes& sizes) {
  unsigned high = sizes.highest_measured;
  if (!sizes.pending.empty() && *sizes.pending.rbegin() > high) {
    high = *sizes.pending.rbegin();
  }
  return high;
}

static void record(LogSizes& sizes, unsigned n, uint64_t size) {
  sizes.measured++;
  sizes.highest_measured = std::max(sizes.highest_measured, n);
  sizes.numbered_bytes += size;
  sizes.pending.erase(n);
}

void noteRenamed(LogSizes& sizes, unsigned n) {
  if (n > sizes.highest_measured) {
    sizes.pending.insert(n);
  }
}

// The rename line comes just before the rename, so a log not there yet is simply waited for;
// one missing while a later log exists has been renamed and already deleted.
static void measurePending(LogSizes& sizes, const std::string& dir) {
  std::set<unsigned> pending = sizes.pending;
  for (unsigned n : pending) {
    uint64_t size;
    if (fileSize(numberedLogPath(dir, n), &size)) {
      record(sizes, n, size);
    } else if (sizes.highest_measured > n) {
      sizes.pending.erase(n);
      sizes.estimated_logs++;
    }
  }
}

void sampleSizes(LogSizes& sizes, const std::string& dir) {
  // Renames whose lines have not arrived yet; found first, they prove earlier logs renamed.
  uint64_t size;
  for (unsigned n = highestKnown(sizes) + 1; fileSize(numberedLogPath(dir, n), &size); n++) {
    record(sizes, n, size);
  }
  measurePending(sizes, dir);
  // last_log after the numbered logs: a rename between the two looks is then missed for one
  // sample rather than counted twice.
  sizes.last_log = 0;
  fileSize(dir + "/" + LAST_LOG_NAME, &sizes.last_log);
  uint64_t total = sizes.numbered_bytes + sizes.estimated_logs * MEAN_LOG_BYTES + sizes.last_log;
  if (total > sizes.total) {
    sizes.total = total;
  }
}

unsigned logsWritten(const LogSizes& sizes) {
  return sizes.measured + static_cast<unsigned>(sizes.pending.size()) + sizes.estimated_logs;
}
