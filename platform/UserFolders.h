// Folders that belong to the user running the program. Any thread.
#pragma once

#include <string>

class UserFolders final {
 public:
  UserFolders() = delete;

  // Where a program keeps state such as logs, in a folder named "name" (not created here):
  // $XDG_STATE_HOME/name, ~/.local/state/name, or /tmp/name-<uid> without a home on POSIX
  // systems; %LOCALAPPDATA%\name, or the temporary folder's name-<user> on Windows.
  static std::string stateFolder(const std::string& name);
};
