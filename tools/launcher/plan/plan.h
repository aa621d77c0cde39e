// Which process runs where: writers, then readers, each role spread round-robin over the
// hosts and over the paths.
#pragma once

#include <string>
#include <vector>

#include "process.h"

std::vector<Process> planProcesses(int writers, int readers, const std::vector<std::string>& paths,
                                   const std::vector<std::string>& hosts);

// Every host with a process once each, in the order of first use; "" is this host.
std::vector<std::string> hostsOf(const std::vector<Process>& processes);
