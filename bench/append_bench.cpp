// writeLogEntry beside the least an append under the lock can do, written plainly here: open
// the lock file, flock, open the log for appending, fstat, one write, fsync, close, close. Both
// append records of the same sizes to logs in the same directory, in alternating rounds, so
// that whatever else runs on the machine weighs on both alike. The writer should reach 0.90 of
// the plain append's rate; the system calls of each are counted and printed.
//
// A third side is the plain append after the one check of StopTest that writeLogEntry makes
// besides the writer loop's own (plain_marker_us): where a path lookup is dear next to the
// append itself, as on tmpfs, that check is what stands between the two.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "bench_support.h"
#include "control/test_control.h"
#include "writer/writer.h"

static const int ROUND = 16;  // records per side and round
static const int SIZES = 256;

static uint32_t sizes[SIZES];
static int next_size = 0;
static LogRecordHeader header;
// The plain append sends header and payload in one write, so they lie side by side here.
static uint8_t record[sizeof(LogRecordHeader) + PAYLOAD_BUFFER_SIZE];
static uint8_t* const payload = record + sizeof(LogRecordHeader);
static std::string plain_lock, plain_log;

static bool setUp() {
  std::string dir = makeBenchLogDir();
  plain_lock = dir + "/plain.lock";
  plain_log = dir + "/plain.log";
  close(open(plain_lock.c_str(), O_CREAT | O_WRONLY, 0644));
  // The writer's own draws give the sizes; one round of each side uses the same ones.
  seedDraws(1);
  for (uint32_t& size : sizes) {
    prepareRecord(header, payload);
    size = header.dataLen;
  }
  header.magic = RECORD_MAGIC;
  header.clientID = 1;
  return true;
}

static uint32_t nextSize() {
  uint32_t size = sizes[next_size];
  next_size = (next_size + 1) % SIZES;
  return size;
}

static void writerAppend() {
  header.dataLen = nextSize();
  writeLogEntry(header, payload);
}

static bool plainAppend(bool check_marker) {
  struct stat st;
  if (check_marker && stat(stop_test_file, &st) == 0) {
    return false;
  }
  int lock = open(plain_lock.c_str(), O_RDWR);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) {
    return false;
  }
  int log = open(plain_log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  if (log < 0 || fstat(log, &st) != 0) {
    return false;
  }
  LogRecordHeader plain = header;
  plain.dataLen = nextSize();
  plain.offset = static_cast<uint32_t>(st.st_size);
  memcpy(record, &plain, sizeof(plain));
  ssize_t length = static_cast<ssize_t>(sizeof(plain) + plain.dataLen);
  bool written = write(log, record, static_cast<size_t>(length)) == length && fsync(log) == 0;
  return close(log) == 0 && close(lock) == 0 && written;
}

static void plainAppendOrExit() {
  if (!plainAppend(false)) {
    perror("plain append");
    _exit(1);
  }
}

// Both logs start again from empty before they reach the size limit: the writer's rollover,
// one in some 200 appends, is not part of what is compared.
static void emptyLogs() {
  if (truncate(last_log, 0) != 0 || truncate(plain_log.c_str(), 0) != 0) {
    perror("truncate");
    _exit(1);
  }
}

static void keepBelowTheLimit() {
  struct stat st;
  if (stat(last_log, &st) == 0 && st.st_size > LOG_SIZE_LIMIT / 2) {
    emptyLogs();
  }
}

static std::string callsOf(const SyscallCount& count) {
  return count.error.empty() ? count.first_call : count.error;
}

enum Side { WRITER, PLAIN, PLAIN_MARKER, SIDES };

// Seconds that one round of appends took on that side, or -1 if the plain append failed. The
// sides of a round append records of the same sizes.
static double timedRound(Side side, int first_size) {
  next_size = first_size;
  double start = wallSeconds();
  for (int i = 0; i < ROUND; i++) {
    if (side == WRITER) {
      writerAppend();
    } else if (!plainAppend(side == PLAIN_MARKER)) {
      return -1;
    }
  }
  return wallSeconds() - start;
}

static void BM_Append(benchmark::State& state) {
  static const bool ready = setUp();
  benchmark::DoNotOptimize(ready);
  double total_s[SIDES] = {};
  for (auto _ : state) {
    int first_size = next_size;
    for (int side = WRITER; side < SIDES; side++) {
      double seconds = timedRound(static_cast<Side>(side), first_size);
      if (seconds < 0) {
        state.SkipWithError(("plain append: " + std::string(strerror(errno))).c_str());
        return;
      }
      total_s[side] += seconds;
      if (side == WRITER) {
        state.SetIterationTime(seconds);
      }
    }
    keepBelowTheLimit();
  }
  double records = static_cast<double>(state.iterations()) * ROUND;
  state.SetItemsProcessed(static_cast<int64_t>(records));
  state.counters["writer_us"] = total_s[WRITER] / records * 1e6;
  state.counters["plain_us"] = total_s[PLAIN] / records * 1e6;
  state.counters["plain_marker_us"] = total_s[PLAIN_MARKER] / records * 1e6;
  state.counters["ratio"] = total_s[PLAIN] / total_s[WRITER];

  // 100 appends stay below the limit from empty logs, so no rollover is counted.
  emptyLogs();
  static const SyscallCount writer = countSyscalls(writerAppend, 100);
  static const SyscallCount plain = countSyscalls(plainAppendOrExit, 100);
  state.counters["writer_calls"] = writer.per_call;
  state.counters["plain_calls"] = plain.per_call;
  state.SetLabel("wall time; target ratio >= 0.90; writer: " + callsOf(writer) +
                 "; plain: " + callsOf(plain));
}
BENCHMARK(BM_Append)->UseManualTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  benchmark::AddCustomContext("directory", benchDir() + " (" + fsType(benchDir()) + ")");
  return benchMain(argc, argv);
}
