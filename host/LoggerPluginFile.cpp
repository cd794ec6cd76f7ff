#include "host/LoggerPluginFile.h"

#include <boost/filesystem/operations.hpp>
#include <stdexcept>

#include "logger/plugin/TarvoLoggerPayloads.h"
#include "platform/SharedLibrary.h"

namespace {
// Any object of this library: its address tells which file the library was loaded from.
const char kInThisLibrary = 0;
}  // namespace

std::string LoggerPluginFile::name() {
  return std::string(SharedLibrary::kPrefix) + TarvoLoggerProtocol::kComponentType +
         SharedLibrary::kSuffix;
}

std::string LoggerPluginFile::find(const std::string& folder, const std::string& installedDir,
                                   const std::string& fix) {
  const std::string beside = folder + name();
  const std::string installed = folder + installedDir + "/" + name();
  boost::system::error_code ignored;
  if (boost::filesystem::exists(beside, ignored)) return beside;
  if (boost::filesystem::exists(installed, ignored)) return installed;
  throw std::runtime_error("no logger plug-in found at " + beside + " or " + installed + "; " +
                           fix);
}

std::string LoggerPluginFile::besideHostLibrary(const std::string& fix) {
  const std::string library = SharedLibrary::pathOf(&kInThisLibrary);
  const std::size_t slash = library.find_last_of("/\\");
  const std::string folder =
      slash == std::string::npos ? std::string() : library.substr(0, slash + 1);
  return find(folder, LOGGER_PLUGIN_DIR_FROM_HOSTLIB, fix);
}
