// writeLogEntry beside the least an append under the lock can do, written plainly here: open
// the lock file, flock, open the log for appending, fstat, one write, fsync, close, close. Both
// append records of the same sizes to logs in the same directory, in alternating rounds, so
// that whatever else runs on the machine weighs on both alike. The writer should reach 0.90 of
// the plain append's rate; the system calls of each are counted and printed.
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
  srandom(1);
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

static bool plainAppend() {
  int lock = open(plain_lock.c_str(), O_RDWR);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) {
    return false;
  }
  int log = open(plain_log.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0644);
  struct stat st;
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
  if (!plainAppend()) {
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

static void BM_Append(benchmark::State& state) {
  static const bool ready = setUp();
  benchmark::DoNotOptimize(ready);
  double writer_s = 0, plain_s = 0;
  for (auto _ : state) {
    double start = wallSeconds();
    for (int i = 0; i < ROUND; i++) {
      writerAppend();
    }
    double written = wallSeconds();
    for (int i = 0; i < ROUND; i++) {
      if (!plainAppend()) {
        state.SkipWithError(("plain append: " + std::string(strerror(errno))).c_str());
        return;
      }
    }
    double plain_done = wallSeconds();
    writer_s += written - start;
    plain_s += plain_done - written;
    state.SetIterationTime(written - start);
    keepBelowTheLimit();
  }
  double records = static_cast<double>(state.iterations()) * ROUND;
  state.SetItemsProcessed(static_cast<int64_t>(records));
  state.counters["writer_us"] = writer_s / records * 1e6;
  state.counters["plain_us"] = plain_s / records * 1e6;
  state.counters["ratio"] = plain_s / writer_s;

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
