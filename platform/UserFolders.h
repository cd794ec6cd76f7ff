// Folders that belong to the user running the program. Any thread. A folder that cannot be made
// is not a failure of the call: makeStateFolder() falls back and notes why in text.
#pragma once

#include <string>

class UserFolders final {
 public:
  UserFolders() = delete;

  // Where a program keeps state such as logs, in a folder named "name" (not created here):
  // $XDG_STATE_HOME/name, ~/.local/state/name, or $TMPDIR/name-<uid> without a home on POSIX
  // systems; %LOCALAPPDATA%\name, or the temporary folder's name-<user> on Windows.
  static std::string stateFolder(const std::string& name);

  // Makes stateFolder(name) with its parents and returns it. When that cannot be made, notes why
  // in problem and falls back to a folder of the user's alone in the shared temporary folder
  // (POSIX: $TMPDIR or /tmp, then name-<uid>, made 0700 and taken only when it is a real directory,
  // owned by the user and closed to others, so nobody else can plant links in it). "" when neither
  // works.
  static std::string makeStateFolder(const std::string& name, std::string& problem);
};
