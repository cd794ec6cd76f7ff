// Loading an INI file of any bytes: either it loads, or it fails with a clear error; it never
// crashes or hangs, and what loads can be read back.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "logger/host/ConfigurationManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const int fd = memfd_create("ini", 0);
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
    std::abort();
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  ConfigurationManager config;
  try {
    config.loadFile(path);
  } catch (const std::runtime_error& e) {
    if (std::string(e.what()).find(path) == std::string::npos) std::abort();  // names the file
    return 0;
  }
  std::string value;
  config.getValue("TarvoLogger/Port", value);
  config.getValue("Directories/VarPath", value);
  return 0;
}
