// The coordinator's end of each link to an agent: start it, read whole lines from it, send it
// commands, and reap it.
#pragma once

#include <string>
#include <vector>

#include "protocol.h"
#include "reach.h"

// False and *error if the command could not be started here.
bool startLink(Link& link, double now, std::string* error);

// The whole lines its output holds now; at end of file the last partial line too, and
// link.closed is set.
std::vector<std::string> readLinkLines(Link& link);

// Sends a command, if the link carries any; a full pipe drops it (the agent is not reading).
void sendCommand(Link& link, const Json& command);

// Reaps the link's command if it has ended; true once reaped.
bool reapLink(Link& link);

// Ends the link's command (its remote agent then sees its connection close).
void killLink(Link& link, int sig);
