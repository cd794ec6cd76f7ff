// The configuration keys, defaults and fixed texts of the storage media, in one place.
#pragma once

#include <cstdint>

namespace MediaKeys {

// Plug-in scope.
constexpr const char* kStorageFormat = "TarvoLogger/StorageFormat";
constexpr const char* kBufferSize = "TarvoLogger/BufferSize";
constexpr const char* kMaxFileSize = "TarvoLogger/MaxFileSize";
constexpr const char* kFlushSeconds = "TarvoLogger/FlushSeconds";
constexpr const char* kIp = "TarvoLogger/Ip";
constexpr const char* kPort = "TarvoLogger/Port";
// Host scope.
constexpr const char* kVarPath = "Directories/VarPath";

constexpr const char* kFormatUdp = "udp";
constexpr const char* kFormatFile = "file";
constexpr const char* kFormatCircular = "circular";
constexpr const char* kFormatConsole = "console";

// A source (field 4) containing this marks interface traffic.
constexpr const char* kInterfaceMarker = "_interface";
// A level (field 3) equal to this flushes the disk medium at once.
constexpr const char* kErrorLevel = "ERROR";

constexpr uint16_t kDefaultRingCapacity = 20;

constexpr const char* kDefaultVarPath = "C:/Logs";
constexpr const char* kMainLogName = "/tarvolog.log";
constexpr const char* kInterfacesLogName = "/tarvo_interfaces.log";
constexpr const char* kOldSuffix = ".old";
// The rotation's lock file, beside each log: the log's path with this added.
constexpr const char* kLockSuffix = ".lock";
constexpr uint32_t kDefaultBufferSize = 100;
constexpr uint32_t kDefaultMaxFileSize = 10;  // mebibytes

constexpr const char* kDefaultIp = "127.0.0.1";
constexpr uint16_t kDefaultPort = 4444;

constexpr const char* kFileRawData = "Storage Format is File Media";
constexpr const char* kUdpRawData = "Storage Format is Udp Media";
constexpr const char* kConsoleRawData = "Storage Format is Console Media";

}  // namespace MediaKeys
