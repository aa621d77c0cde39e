#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "control/file_helpers.h"
#include "control/roles.h"
#include "control/test_control.h"

// Prints one line per header, walking the file by the dataLen fields. Nothing is verified:
// the dump is for looking at a log that a reader has refused.
static void dumpHeaders(FILE* stream, int32_t size) {
  LogRecordHeader h;
  uint32_t remaining = static_cast<uint32_t>(size);
  for (int record = 1;; record++) {
    uint32_t offset = static_cast<uint32_t>(size) - remaining;
    // Payloads are skipped, not read: the walk goes by the lengths the headers claim.
    if (fseek(stream, static_cast<long>(offset), SEEK_SET) != 0) {
      perror("fseek(a log)");
      return;
    }
    if (remaining < sizeof(h)) {
      printf("Unexpected EOF, record = %d\n", record);
      return;
    }
    size_t got = fread(&h, 1, sizeof(h), stream);
    if (got == 0) {
      perror("fread(1)");
      printf("Error at offset %d , record = %d\n", static_cast<int>(offset), record);
      return;
    }
    // The file has shrunk since it was measured; a short header is as good as none.
    if (got < sizeof(h)) {
      printf("Unexpected EOF, record = %d\n", record);
      return;
    }
    remaining -= sizeof(h);
    printf("%4d (%8d) {%X, %8d, %2d, %6d, %6d}\n", record, static_cast<int>(offset), h.magic,
           static_cast<int>(h.offset), static_cast<int>(h.clientID), static_cast<int>(h.seqNo),
           static_cast<int>(h.dataLen));
    if (h.dataLen == remaining) {
      return;
    }
    if (h.dataLen > remaining) {
      puts("Incompete record at end of file.");
      return;
    }
    remaining -= h.dataLen;
  }
}

void dumpLog(int n) {
  char path[PATH_BUFFER_SIZE];
  formLogName(path, n);
  struct stat st;
  if (stat(path, &st) != 0) {
    perror("stat(a log)");
    return;
  }
  FILE* stream = my_fopen(path, "r", 1);
  printf("Dumping log %d\n", n);
  dumpHeaders(stream, static_cast<int32_t>(st.st_size));
  fclose(stream);
}
