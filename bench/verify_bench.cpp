// The reader's scan of numbered logs already in the page cache, beside the least that reading
// and digesting the same files can cost: read each file in 64 KB pieces (the reader's stream
// buffer) and feed them to one plain EVP MD5. Parsing and checking the headers and a digest per
// record should cost little next to that: the scan's bytes per second should be at least 0.95
// of the plain digest's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench_support.h"
#include "control/test_control.h"
#include "verifier/verifier.h"
#include "writer/writer.h"

static const int LOGS = 4;

struct Logs {
  std::vector<std::string> paths;
  double bytes = 0;
};

// Real logs, made by the writer's own code: one writer's records until the fourth rollover.
static Logs makeLogs() {
  makeBenchLogDir();
  static uint8_t payload[PAYLOAD_BUFFER_SIZE];
  LogRecordHeader header{};
  header.magic = RECORD_MAGIC;
  header.clientID = 1;
  seedDraws(1);
  Logs logs;
  char last[PATH_BUFFER_SIZE];
  formLogName(last, LOGS);
  silenceStdout();
  while (access(last, F_OK) != 0) {
    prepareRecord(header, payload);
    writeLogEntry(header, payload);
  }
  restoreStdout();
  for (int n = 1; n <= LOGS; n++) {
    char path[PATH_BUFFER_SIZE];
    formLogName(path, n);
    struct stat st;
    stat(path, &st);
    logs.paths.push_back(path);
    logs.bytes += static_cast<double>(st.st_size);
  }
  return logs;
}

// False if a file could not be read.
static bool md5OfEachLog(const Logs& logs, EVP_MD_CTX* ctx, const EVP_MD* md5) {
  static char buffer[64 * 1024];
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  for (const std::string& path : logs.paths) {
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
      return false;
    }
    EVP_DigestInit_ex(ctx, md5, nullptr);
    ssize_t got;
    while ((got = read(fd, buffer, sizeof(buffer))) > 0) {
      EVP_DigestUpdate(ctx, buffer, static_cast<size_t>(got));
    }
    EVP_DigestFinal_ex(ctx, digest, &length);
    close(fd);
  }
  benchmark::DoNotOptimize(digest);
  return true;
}

static void BM_Verification(benchmark::State& state) {
  static const Logs logs = makeLogs();
  EVP_MD* md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  double scan_s = 0, md5_s = 0;
  for (auto _ : state) {
    // Each pass is a fresh reader: the writer's sequence numbers start again at 1.
    resetExpectedSeq();
    double start = threadCpuSeconds();
    for (const std::string& path : logs.paths) {
      checkLog(path.c_str());
    }
    double scanned = threadCpuSeconds();
    if (!md5OfEachLog(logs, ctx, md5)) {
      state.SkipWithError("a log could not be read");
      break;
    }
    double hashed = threadCpuSeconds();
    scan_s += scanned - start;
    md5_s += hashed - scanned;
    state.SetIterationTime(scanned - start);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md5);
  double bytes = logs.bytes * static_cast<double>(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.counters["scan_MBps"] = bytes / scan_s / 1e6;
  state.counters["md5_MBps"] = bytes / md5_s / 1e6;
  state.counters["ratio"] = md5_s / scan_s;
  state.SetLabel("CPU time; target ratio >= 0.95");
}
BENCHMARK(BM_Verification)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  return benchMain(argc, argv);
}
