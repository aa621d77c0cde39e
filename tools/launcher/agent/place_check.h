// What an agent tells the coordinator about each path it will run processes on, while the
// coordinator holds the logInfo lock through its own path: whether the token it wrote there
// reads back here, and whether the lock excludes from here.
#pragma once

#include <string>

struct PlaceCheck {
  std::string path;
  std::string token;  // what the token file held here; empty if it could not be read
  std::string lock;   // "held" (it excludes), "free" (it does not), or why it could not try
};

PlaceCheck checkPlace(const std::string& path, const std::string& token_name);
