#include "platform/SharedLibrary.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

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
  return info.dli_fname;
}

std::string SharedLibrary::executableFolder() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return std::string();
  std::string self(path, static_cast<std::size_t>(n));
  return self.substr(0, self.rfind('/') + 1);
}
