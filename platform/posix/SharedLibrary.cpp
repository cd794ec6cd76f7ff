#include "platform/SharedLibrary.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
std::string executablePath() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}
}  // namespace

const char SharedLibrary::kPrefix[] = "lib";
const char SharedLibrary::kSuffix[] = ".so";

SharedLibrary::Handle SharedLibrary::open(const std::string& path, std::string& error) {
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) {
    const char* text = dlerror();
    error = text ? text : "unknown error";
  }
  return handle;
}

SharedLibrary::Handle SharedLibrary::findLoaded(const std::string& path) {
  return dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
}

void* SharedLibrary::symbol(Handle library, const char* name) { return dlsym(library, name); }

void SharedLibrary::close(Handle library) {
  if (library) dlclose(library);
}

std::string SharedLibrary::pathOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || !info.dli_fname) return std::string();
  // For the program itself the loader gives the name it was started by, perhaps relative.
  if (info.dli_fname[0] != '/' && std::strcmp(info.dli_fname, program_invocation_name) == 0) {
    return executablePath();
  }
  return info.dli_fname;
}

std::string SharedLibrary::executableFolder() {
  const std::string self = executablePath();
  return self.substr(0, self.rfind('/') + 1);
}
