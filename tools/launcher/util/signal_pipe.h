// Signals as bytes on a pipe, so that one poll loop waits for them with everything else: the
// handler only writes the signal's number, the loop does the rest. SIGPIPE is ignored, so a
// peer that went away shows as EPIPE.
#pragma once

#include <initializer_list>

// The read end (non-blocking) once the signals are routed to it; -1 if no pipe could be made.
// A second call returns the same pipe.
int signalPipe(std::initializer_list<int> signals);

// The next signal that came, or 0 if none is waiting.
int nextSignal(int fd);
