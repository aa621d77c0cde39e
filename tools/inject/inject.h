// The fault injector: a library preloaded into logtest processes that makes the file system
// misbehave on the calls writers make on last_log and logInfo, and on the look a reader takes
// for its next log. README.md beside this file lists the faults and the variables that select
// them.
#pragma once

#include <dlfcn.h>
#include <sys/types.h>

#include <cstdint>

#include "faults.h"

// What the hooks saw in this process and how often the fault acted, appended to the report
// file at exit. A hook that counts nothing is one the writer no longer goes through: the tests
// read these so that a fault which never acts cannot pass for a detected one.
struct Counters {
  uint64_t streams;  // last_log streams handed out
  uint64_t records;  // writes through them that were one whole data record
  uint64_t split;    // writes that were neither one whole data record nor a terminator
  uint64_t locks;    // exclusive flock calls on logInfo
  uint64_t fstats;   // fstat calls on last_log
  uint64_t fsyncs;   // fsync and fdatasync calls on last_log
  uint64_t closes;   // closes of a last_log stream that had written
  uint64_t renames;  // renames of last_log to a numbered log
  uint64_t looks;    // a reader's access calls on a numbered log that exists
  uint64_t fired;    // times the selected fault acted
};

// Set once, before main, by the library's constructor. Only a writer with LOGTEST_INJECT set
// is active, and a reader only when it is the one whose renames hidden-rename hides;
// everywhere else every hook is a plain call of the next definition.
struct Injection {
  bool active;  // a writer: the hooks on last_log and logInfo act
  bool hiding;  // a reader of LOGTEST_INJECT_PATH under hidden-rename: the access hook acts
  Fault fault;
  double rate;     // chance per event, 0 < rate <= 1
  double after_s;  // the drops start this long after the writer started
};

extern Injection injection;
extern Counters counters;

// True when f is the selected fault and this event draws it.
bool faultDrawn(Fault f);
// The same, and counts the firing: for a fault that acts whenever it is drawn.
bool faultFires(Fault f);
// From a generator of the injector's own, so the writer's random() sequence is left alone.
uint64_t drawNumber();
// Seconds since the library's constructor ran, on a clock that never steps back.
double secondsRunning();

// What follows path's last slash, or the whole of it.
const char* baseName(const char* path);

// The last component of path, or of the file that descriptor fd has open, is name.
bool pathNames(const char* path, const char* name);
bool fdNames(int fd, const char* name);

// Writes all n bytes, retrying short writes; false (errno set) on an error.
bool writeFully(int fd, const char* data, size_t n);

// Called at exit: numbered logs still growing under slow-rename get all their bytes at once,
// so a writer that ends leaves no reader waiting for the rest, and late writes still due are
// done now, so none lands in a log after its writer is gone.
void finishRenames();

// The definition a hook stands in front of (libc's, or a sanitizer's interceptor). The first
// argument only gives the type.
template <typename F>
F nextDefinition(F, const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
