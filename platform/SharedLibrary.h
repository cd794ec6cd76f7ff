// Loading shared libraries, finding their symbols, and where the running program and its code
// live: dlopen and /proc on POSIX systems, LoadLibrary and GetModuleFileName on Windows. Every
// function may be called from any thread. Unlike the rest of platform/, open() reports a failure
// as text, not a std::error_code: dlerror() gives only text, naming the missing file or symbol.
#pragma once

#include <string>

class SharedLibrary final {
 public:
  using Handle = void*;

  SharedLibrary() = delete;

  // How the platform names a library "name": "lib" + name + ".so", or name + ".dll".
  static const char kPrefix[];
  static const char kSuffix[];

  // Opens the library with every symbol resolved now and none of them shared with later
  // libraries. Null on failure, with the system's reason in error. Libraries are opened pinned:
  // close() gives the handle back, but the code stays mapped until the process ends, because
  // objects a library made (a pipe, a payload) may outlive its use and their deleters are its code.
  static Handle open(const std::string& path, std::string& error);
  // The library at path if it is in memory already (a new handle to close), else null.
  static Handle findLoaded(const std::string& path);
  // An exported function's or variable's address; null when the library exports no such name.
  static void* symbol(Handle library, const char* name);
  static void close(Handle library);

  // The file of the library or program that holds the code or data at address; "" if none.
  static std::string pathOf(const void* address);
  // The folder of the running program with its trailing separator; "" when unknown.
  static std::string executableFolder();
};
