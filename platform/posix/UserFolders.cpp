#include "platform/UserFolders.h"

#include <unistd.h>

#include <cstdlib>

std::string UserFolders::stateFolder(const std::string& name) {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  if (state && *state == '/') return std::string(state) + "/" + name;
  if (home && *home == '/') return std::string(home) + "/.local/state/" + name;
  return "/tmp/" + name + "-" + std::to_string(::getuid());
}
