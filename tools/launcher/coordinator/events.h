// What the agents report, taken into the run's record: a line of a link is one message of an
// agent (hello, started, a forwarded line, a tick of progress, an end, a diagnosis, bye) or
// something its remote shell printed.
#pragma once

#include <string>

#include "watch.h"

// Lines of one process echoed while the test runs; the rest go only to the summary.
constexpr int MAX_ECHOED_LINES = 20;

// A line of link number `link`: a message of one of the agents it carries, or its shell's.
void handleAgentLine(Watch& w, size_t link, const std::string& line);
