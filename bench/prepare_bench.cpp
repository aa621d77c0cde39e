// Preparing a record as the writer does (length and payload drawn, digest stamped) beside a
// plain loop that makes the very same records, and beside MD5 alone over them. The plain loop
// draws glibc's random() sequence through random_r on a state of its own and digests with the
// one-shot MD5 calls; the writer should need at most 1.05 times its CPU.
#define OPENSSL_SUPPRESS_DEPRECATED  // MD5(): the least a digest of a buffer can cost
#include <benchmark/benchmark.h>
#include <openssl/md5.h>

#include <cstdlib>
#include <cstring>

#include "bench_support.h"
#include "writer/writer.h"

static const int ROUND = 64;  // records per side and round

struct Made {
  uint32_t length;
  uint8_t md5[MD5_DIGEST_LENGTH];
};

// Each side keeps its own payload buffer: a record's tail beyond its last whole word is what
// earlier records left there, so equal records need equal histories.
static uint8_t writer_payload[PAYLOAD_BUFFER_SIZE];
static uint8_t plain_payload[PAYLOAD_BUFFER_SIZE];

static void writerRound(unsigned int seed, Made (&made)[ROUND]) {
  seedDraws(seed);
  LogRecordHeader header{};
  for (Made& m : made) {
    prepareRecord(header, writer_payload);
    m.length = header.dataLen;
    memcpy(m.md5, header.md5, sizeof(m.md5));
  }
}

static int32_t draw(random_data& state) {
  int32_t value;
  random_r(&state, &value);
  return value;
}

static void plainRound(unsigned int seed, Made (&made)[ROUND]) {
  static random_data state;
  static char state_bytes[128];  // 128 bytes: the same generator type as random()'s own
  initstate_r(seed, state_bytes, sizeof(state_bytes), &state);
  for (Made& m : made) {
    uint32_t length = static_cast<uint32_t>(draw(state)) % PAYLOAD_BUFFER_SIZE;
    m.length = length == 0 ? 1 : length;
    for (uint32_t i = 0; i < m.length / 8; i++) {
      uint64_t word = static_cast<uint64_t>(draw(state));
      memcpy(plain_payload + 8 * i, &word, sizeof(word));
    }
    MD5(plain_payload, m.length, m.md5);
  }
}

static void md5Round(const Made (&made)[ROUND]) {
  uint8_t digest[MD5_DIGEST_LENGTH];
  for (const Made& m : made) {
    MD5(plain_payload, m.length, digest);
  }
  benchmark::DoNotOptimize(digest);
}

static void BM_RecordPreparation(benchmark::State& state) {
  Made writer[ROUND], plain[ROUND];
  double writer_s = 0, plain_s = 0, md5_s = 0;
  unsigned int seed = 0;
  for (auto _ : state) {
    seed++;
    double start = threadCpuSeconds();
    writerRound(seed, writer);
    double written = threadCpuSeconds();
    plainRound(seed, plain);
    double plain_done = threadCpuSeconds();
    md5Round(plain);
    double hashed = threadCpuSeconds();
    if (memcmp(writer, plain, sizeof(writer)) != 0) {
      state.SkipWithError("the writer's records differ from the plain loop's");
      return;
    }
    writer_s += written - start;
    plain_s += plain_done - written;
    md5_s += hashed - plain_done;
    state.SetIterationTime(written - start);
  }
  double records = static_cast<double>(state.iterations()) * ROUND;
  state.SetItemsProcessed(static_cast<int64_t>(records));
  state.counters["writer_us"] = writer_s / records * 1e6;
  state.counters["plain_us"] = plain_s / records * 1e6;
  state.counters["md5_us"] = md5_s / records * 1e6;
  state.counters["cost_x"] = writer_s / plain_s;
  state.SetLabel("CPU time; target cost_x <= 1.05");
}
BENCHMARK(BM_RecordPreparation)->UseManualTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  return benchMain(argc, argv);
}
