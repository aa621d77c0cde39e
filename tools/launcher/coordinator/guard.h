// The guard: a small process, started before any writer, that raises StopTest when the
// launcher dies, however it dies (SIGKILL included), so that no process of the test, here or on
// another host, outlives the launcher by more than its next look at the marker.
#pragma once

#include <sys/types.h>

#include <string>

struct Guard {
  pid_t pid = -1;
  int fd = -1;  // write end of the pipe the guard waits on; only the launcher holds it
};

// False and *error if the guard could not be started.
bool startGuard(const std::string& marker_path, Guard& guard, std::string* error);

// The launcher is ending normally: the guard leaves without raising the marker.
void dismissGuard(Guard& guard);
