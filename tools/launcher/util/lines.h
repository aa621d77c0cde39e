// Output read from a pipe in pieces, cut into whole lines.
#pragma once

#include <string>
#include <vector>

// Appends to lines every whole line in buffer and leaves what follows the last newline there;
// a rest longer than max_line is taken as a line of its own, so no line grows without bound.
void takeLines(std::string& buffer, size_t max_line, std::vector<std::string>& lines);
