// A program of any kind whose logging is an include and two lines: the embedded logger hosts the
// logger plug-in in this process and stores the lines in files, in ~/.local/state/tarvo-logger
// unless Directories/VarPath says elsewhere.
#include <host/EmbeddedLogger.h>

#include <string>

int main() {
  EmbeddedLogger logger({{"TarvoLogger/StorageFormat", "file"}});
  for (int job = 1; job <= 3; ++job) {
    logger.log().info("main", "job " + std::to_string(job) + " done");
  }
}
