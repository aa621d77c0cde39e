// What the benchmarks share: where they run, a prepared log directory, the clocks they read,
// and the system calls a piece of code makes.
#pragma once

#include <string>

// LOGTEST_BENCH_DIR if set, else /dev/shm when it is a tmpfs, else TMPDIR or /tmp.
std::string benchDir();

// The file system type of the mount that holds path ("tmpfs", "ext4", ...), from the mount
// table; "unknown" if none matches.
std::string fsType(const std::string& path);

// A fresh log directory under benchDir(), prepared as for a test (empty logInfo, next_id 0)
// and made the process's log directory. benchMain removes it at the end.
std::string makeBenchLogDir();

double threadCpuSeconds();
double wallSeconds();

// Standard output goes to /dev/null until restoreStdout: the writer's rollover lines would
// otherwise land in the middle of the benchmark's table.
void silenceStdout();
void restoreStdout();

// The system calls that calls runs of work make, counted by tracing a child process that runs
// work once to warm up and then calls times. per_call is -1 when the child could not be traced.
struct SyscallCount {
  double per_call = -1;
  std::string first_call;  // names of the first counted run's calls, in order
  std::string error;
};
SyscallCount countSyscalls(void (*work)(), int calls);

// Runs the benchmarks named on the command line, then removes the benchmarks' directories.
int benchMain(int argc, char** argv);
