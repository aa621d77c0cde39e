#include <sys/file.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "control/file_helpers.h"
#include "control/test_control.h"
#include "writer/writer.h"

int my_id = 0;
int seq_n = 0;

int getMyID() {
  if (my_id != 0) {
    return my_id;
  }
  char path[PATH_BUFFER_SIZE];
  snprintf(path, sizeof(path), "%s/%s", log_root, NEXT_ID_NAME);
  int fd = lockFile(path, LOCK_EX);

  // Read, increment and write back under one lock, so no two writers get the same ID.
  char text[11] = {};
  if (read(fd, text, 10) <= 0) {
    perror("read(next_id)");
    stopTest();
  }
  // Readers know clients 1 and up only: a counter below 0 (or one at INT_MAX, read wider than
  // int so it cannot wrap) would hand out an ID no reader accepts.
  long long last = strtoll(text, nullptr, 10);
  if (last < 0 || last >= INT_MAX) {
    printf("Invalid client ID %lld in next_id\n", last);
    stopTest();
  }
  my_id = static_cast<int>(last + 1);

  // Written over the old digits without truncation: a new ID is never shorter than the last,
  // and whatever followed the old digits (a newline, say) is ignored by the next reader.
  char id_text[12];
  int len = snprintf(id_text, sizeof(id_text), "%d", my_id);
  if (pwrite(fd, id_text, len, 0) != len) {
    perror("write(next_id)");
    stopTest();
  }
  close(fd);
  return my_id;
}

int getNextRecNo() {
  return ++seq_n;
}
