// Sending one UDP datagram straight on a socket's native handle (a descriptor, or a Winsock
// SOCKET), with the system's own error code: no per-datagram allocation, no exception.
// Any thread; the socket must outlive the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <system_error>

class Datagram final {
 public:
  Datagram() = delete;

  // Wide enough for every platform's socket handle.
  using Socket = std::uintptr_t;

  // Sends size bytes to the address (a sockaddr of addressSize bytes). The error is errno's, or
  // WSAGetLastError()'s, in std::system_category(); empty when the datagram left.
  static std::error_code send(Socket socket, const void* data, std::size_t size,
                              const void* address, std::size_t addressSize);
};
