#include "bench_support.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <list>

#include "control/test_control.h"
#include "log_dir.h"
#include "system_info.h"

// A list, so that the paths handed to initLogPaths stay where they are.
static std::list<std::string> made_dirs;
static int saved_stdout = -1;

std::string benchDir() {
  const char* dir = getenv("LOGTEST_BENCH_DIR");
  if (dir != nullptr && *dir != '\0') {
    return dir;
  }
  if (fsType("/dev/shm") == "tmpfs") {
    return "/dev/shm";
  }
  const char* tmp = getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

std::string fsType(const std::string& path) {
  // The launcher's reading of the mount table, so that the benchmarks and its reports name the
  // same file system: it decodes escaped mount points and prefers the mount of path's device.
  std::string type = describeSystem("", {path}).mounts[0].fs_type;
  return type.empty() ? "unknown" : type;
}

std::string makeBenchLogDir() {
  std::string pattern = benchDir() + "/logtest-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    perror(("mkdtemp " + pattern).c_str());
    exit(2);
  }
  // The same logInfo and next_id the launcher gives a test's directory, so that the writers
  // and readers measured here start as they would under logtest-run.
  LogDir prepared;
  if (!prepareLogDir({pattern}, false, true, prepared)) {
    exit(2);
  }
  made_dirs.push_back(pattern);
  // initLogPaths keeps the pointer: the string lives in made_dirs until the end.
  initLogPaths(made_dirs.back().c_str());
  return pattern;
}

static double seconds(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double threadCpuSeconds() {
  return seconds(CLOCK_THREAD_CPUTIME_ID);
}

double wallSeconds() {
  return seconds(CLOCK_MONOTONIC);
}

void silenceStdout() {
  fflush(stdout);
  saved_stdout = dup(STDOUT_FILENO);
  int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, STDOUT_FILENO);
  close(null_fd);
}

void restoreStdout() {
  fflush(stdout);
  dup2(saved_stdout, STDOUT_FILENO);
  close(saved_stdout);
}

// glibc makes both stat and fstat the same call, newfstatat; an empty path (AT_EMPTY_PATH)
// tells fstat apart, and the names say which one the program asked for.
static const char* syscallName(uint64_t nr, uint64_t flags) {
  if (nr == SYS_newfstatat) {
    return (flags & AT_EMPTY_PATH) != 0 ? "fstat" : "stat";
  }
  static const struct {
    long nr;
    const char* name;
  } names[] = {
#ifdef SYS_stat
      {SYS_stat, "stat"},
#endif
#ifdef SYS_open
      {SYS_open, "open"},
#endif
#ifdef SYS_lseek
      {SYS_lseek, "lseek"},
#endif
      {SYS_statx, "statx"},       {SYS_fstat, "fstat"},         {SYS_openat, "openat"},
      {SYS_flock, "flock"},       {SYS_fcntl, "fcntl"},         {SYS_read, "read"},
      {SYS_write, "write"},       {SYS_pread64, "pread64"},     {SYS_pwrite64, "pwrite64"},
      {SYS_fsync, "fsync"},       {SYS_fdatasync, "fdatasync"}, {SYS_close, "close"},
      {SYS_renameat, "renameat"}, {SYS_faccessat, "faccessat"}, {SYS_brk, "brk"},
      {SYS_mmap, "mmap"},         {SYS_munmap, "munmap"},
  };
  for (const auto& n : names) {
    if (static_cast<uint64_t>(n.nr) == nr) {
      return n.name;
    }
  }
  return nullptr;
}

// Between runs of work the child makes a call that work never makes, so the tracer can tell
// the runs apart without knowing anything of what work does.
static const long MARKER = SYS_getppid;

[[noreturn]] static void tracedChild(void (*work)(), int calls) {
  if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
    _exit(2);
  }
  raise(SIGSTOP);
  work();
  syscall(MARKER);
  for (int i = 0; i < calls; i++) {
    work();
    syscall(MARKER);
  }
  _exit(0);
}

SyscallCount countSyscalls(void (*work)(), int calls) {
  SyscallCount result;
  fflush(nullptr);  // the child must not write out what the parent has buffered
  pid_t pid = fork();
  if (pid == 0) {
    tracedChild(work, calls);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFSTOPPED(status)) {
    result.error = "the child could not be traced";
    return result;
  }
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
  int markers = 0, counted = 0, pass_signal = 0;
  for (;;) {
    if (ptrace(PTRACE_SYSCALL, pid, nullptr, pass_signal) != 0 || waitpid(pid, &status, 0) != pid) {
      result.error = std::string("ptrace: ") + strerror(errno);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return result;
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) {
      break;
    }
    pass_signal = WSTOPSIG(status) == (SIGTRAP | 0x80) ? 0 : WSTOPSIG(status);
    __ptrace_syscall_info info{};
    if (pass_signal != 0 || ptrace(PTRACE_GET_SYSCALL_INFO, pid, sizeof(info), &info) <= 0 ||
        info.op != PTRACE_SYSCALL_INFO_ENTRY) {
      continue;
    }
    if (info.entry.nr == static_cast<uint64_t>(MARKER)) {
      markers++;
    } else if (markers >= 1 && markers <= calls) {
      counted++;
      if (markers == 1) {
        const char* name = syscallName(info.entry.nr, info.entry.args[3]);
        result.first_call += (result.first_call.empty() ? "" : " ") +
                             (name ? std::string(name) : "#" + std::to_string(info.entry.nr));
      }
    }
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || markers != calls + 1) {
    result.error = "the traced child did not finish its runs";
    return result;
  }
  result.per_call = static_cast<double>(counted) / calls;
  return result;
}

int benchMain(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const std::string& dir : made_dirs) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }
  return 0;
}
