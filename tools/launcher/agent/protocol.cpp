#include "protocol.h"

#include <cstdlib>

static const char* const MARKER = "{\"lt\":";

std::string encodeMessage(const Json& message) {
  Json line = {{"lt", AGENT_PROTOCOL}};
  line.update(message);
  return line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool decodeMessage(const std::string& line, Json* message, size_t* prefix_end) {
  size_t at = line.find(MARKER);
  if (at == std::string::npos) {
    return false;
  }
  Json parsed = Json::parse(line.begin() + at, line.end(), nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object() || parsed.value("lt", 0) != AGENT_PROTOCOL) {
    return false;
  }
  *message = std::move(parsed);
  *prefix_end = at;
  return true;
}

std::string processTag(char role, int id) {
  return std::string(1, role) + std::to_string(id);
}

bool parseProcessTag(const std::string& tag, char* role, int* id) {
  if (tag.size() < 2 || (tag[0] != 'W' && tag[0] != 'R')) {
    return false;
  }
  char* end = nullptr;
  long value = strtol(tag.c_str() + 1, &end, 10);
  if (*end != '\0' || value <= 0 || value > 1000000) {
    return false;
  }
  *role = tag[0];
  *id = static_cast<int>(value);
  return true;
}
