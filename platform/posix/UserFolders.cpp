#include "platform/UserFolders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {

// In $TMPDIR when it is an absolute path, else in /tmp.
std::string privateTempFolder(const std::string& name) {
  const char* temp = std::getenv("TMPDIR");
  const std::string base = temp && *temp == '/' ? temp : "/tmp";
  return base + "/" + name + "-" + std::to_string(::geteuid());
}

bool makePrivate(const std::string& path, std::string& problem) {
  if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    problem = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      status.st_uid != ::geteuid() || (status.st_mode & 077) != 0) {
    problem = path +
              " is not a private directory of this user (a link, another owner's, or open "
              "to others): not used";
    return false;
  }
  return true;
}

}  // namespace

std::string UserFolders::stateFolder(const std::string& name) {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  if (state && *state == '/') return std::string(state) + "/" + name;
  if (home && *home == '/') return std::string(home) + "/.local/state/" + name;
  return privateTempFolder(name);
}

std::string UserFolders::makeStateFolder(const std::string& name, std::string& problem) {
  problem.clear();
  const std::string folder = stateFolder(name);
  const std::string temp = privateTempFolder(name);
  if (folder != temp) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!error && std::filesystem::is_directory(folder, error)) return folder;
    problem = "cannot create the default log directory " + folder + ": " +
              (error ? error.message() : std::string("not a directory"));
  }
  std::string tempProblem;
  if (makePrivate(temp, tempProblem)) return temp;
  problem += (problem.empty() ? "" : "; ") + tempProblem;
  return std::string();
}
