#include "platform/UserFolders.h"

#include <windows.h>

#include <cstdlib>
#include <filesystem>

std::string UserFolders::stateFolder(const std::string& name) {
  const char* local = std::getenv("LOCALAPPDATA");
  if (local && *local) return std::string(local) + "\\" + name;
  char temp[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof(temp), temp);
  std::string folder = n > 0 && n < sizeof(temp) ? std::string(temp, n) : std::string("C:\\");
  char user[256];
  DWORD length = sizeof(user);
  const std::string who = GetUserNameA(user, &length) && length > 1 ? std::string(user) : "user";
  return folder + name + "-" + who;
}

std::string UserFolders::makeStateFolder(const std::string& name, std::string& problem) {
  problem.clear();
  const std::string folder = stateFolder(name);
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (!error && std::filesystem::is_directory(folder, error)) return folder;
  problem = "cannot create the default log directory " + folder + ": " +
            (error ? error.message() : std::string("not a directory"));
  return std::string();
}
