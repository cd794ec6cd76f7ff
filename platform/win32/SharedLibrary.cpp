#include "platform/SharedLibrary.h"

#include <windows.h>

#include <algorithm>

#include "platform/win32/WindowsText.h"

const char SharedLibrary::kPrefix[] = "";
const char SharedLibrary::kSuffix[] = ".dll";

namespace {
// The loader takes backslashes only; paths made by the build use forward ones.
std::string nativePath(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string moduleFile(HMODULE module) {
  char path[MAX_PATH * 4];
  DWORD n = GetModuleFileNameA(module, path, sizeof(path));
  if (n == 0 || n >= sizeof(path)) return std::string();
  return std::string(path, n);
}
}  // namespace

SharedLibrary::Handle SharedLibrary::open(const std::string& path, std::string& error) {
  const std::string native = nativePath(path);
  // The library's own folder is searched for the libraries it depends on.
  HMODULE module = LoadLibraryExA(native.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!module) {
    error = WindowsText::lastError();
    return nullptr;
  }
  // Pinned: a reference that no FreeLibrary gives back.
  HMODULE pinned = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                     reinterpret_cast<LPCSTR>(module), &pinned);
  return module;
}

SharedLibrary::Handle SharedLibrary::findLoaded(const std::string& path) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(0, nativePath(path).c_str(), &module)) return nullptr;
  return module;
}

void* SharedLibrary::symbol(Handle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void SharedLibrary::close(Handle library) {
  if (library) FreeLibrary(static_cast<HMODULE>(library));
}

std::string SharedLibrary::pathOf(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(address), &module)) {
    return std::string();
  }
  return moduleFile(module);
}

std::string SharedLibrary::executableFolder() {
  const std::string self = moduleFile(nullptr);
  const std::size_t slash = self.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : self.substr(0, slash + 1);
}
