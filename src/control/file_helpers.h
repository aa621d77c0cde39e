// Locking, retrying open and whole writes. Each helper ends the test on a failure it cannot
// absorb, so callers never see an error result.
#pragma once

#include <cstdint>
#include <cstdio>

// Opens an existing path read-write, never through a symlink, and takes flock(op) on it. The
// lock lasts until the caller closes the returned descriptor.
int lockFile(const char* path, int op);

// Opens a numbered log for reading: a regular file only, never through a symlink. Tried up to
// 11 times 10 microseconds apart when retry is set (a log that is briefly unreachable on a
// network file system), but once only for an entry that is there and is no regular file;
// without retry a failure returns null at once.
FILE* my_fopen(const char* path, const char* mode, int retry);

// Writes all length bytes to the stream, absorbing short writes.
void write_all(FILE* stream, const void* buffer, uint32_t length);
