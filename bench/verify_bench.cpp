// The reader's scan of numbered logs already in the page cache, beside MD5 alone over the same
// bytes. Reading, parsing and checking the headers should cost little next to the digest, so
// the scan's bytes per second should be at least 0.95 of the digest's.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.h"
#include "control/test_control.h"
#include "verifier/verifier.h"
#include "writer/writer.h"

static const int LOGS = 4;

struct Logs {
  std::vector<std::string> paths;
  std::vector<std::string> bytes;
  size_t total = 0;
};

// Real logs, made by the writer's own code: one writer's records until the fourth rollover.
static Logs makeLogs() {
  makeBenchLogDir();
  static uint8_t payload[PAYLOAD_BUFFER_SIZE];
  LogRecordHeader header{};
  header.magic = RECORD_MAGIC;
  header.clientID = 1;
  srandom(1);
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
    std::ifstream in(path, std::ios::binary);
    logs.paths.push_back(path);
    logs.bytes.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    logs.total += logs.bytes.back().size();
  }
  return logs;
}

static void md5OfEachLog(const Logs& logs, EVP_MD_CTX* ctx, const EVP_MD* md5) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  for (const std::string& bytes : logs.bytes) {
    EVP_DigestInit_ex(ctx, md5, nullptr);
    EVP_DigestUpdate(ctx, bytes.data(), bytes.size());
    EVP_DigestFinal_ex(ctx, digest, &length);
  }
  benchmark::DoNotOptimize(digest);
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
    md5OfEachLog(logs, ctx, md5);
    double hashed = threadCpuSeconds();
    scan_s += scanned - start;
    md5_s += hashed - scanned;
    state.SetIterationTime(scanned - start);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md5);
  double bytes = static_cast<double>(logs.total) * static_cast<double>(state.iterations());
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
