// Keeps the system's socket library started for as long as an instance lives: Winsock
// (WSAStartup and WSACleanup) on Windows, nothing elsewhere. Instances may nest; any thread.
// Its one failure, in the constructor, is an exception: a constructor has no result to carry it.
#pragma once

class SocketRuntime final {
 public:
  // Throws std::runtime_error when the socket library cannot be started.
  SocketRuntime();
  SocketRuntime(const SocketRuntime&) = delete;
  SocketRuntime& operator=(const SocketRuntime&) = delete;
  ~SocketRuntime();
};
