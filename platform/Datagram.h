// Sending UDP datagrams straight on a socket's native handle (a descriptor, or a Winsock SOCKET),
// several in one system call where the system has one for it, with the system's own error codes:
// no allocation, no exception. Any thread; the socket must outlive the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <system_error>

class Datagram final {
 public:
  Datagram() = delete;

  // Wide enough for every platform's socket handle.
  using Socket = std::uintptr_t;

  // One datagram in two pieces that leave as one, read where they lie: a header and a payload
  // (none when bodySize is 0).
  struct Outgoing {
    const void* head;
    std::size_t headSize;
    const void* body;
    std::size_t bodySize;
  };

  // The most datagrams one system call takes; sendAll() takes any number.
  static constexpr std::size_t kBatch = 64;

  // Sends the count datagrams to the address (a sockaddr of addressSize bytes), in order: on
  // Linux kBatch at a time with sendmmsg, elsewhere one by one. errors[i] is datagram i's error,
  // errno's or WSAGetLastError()'s in std::system_category(), or empty when it left; a failed
  // datagram is dropped alone and the rest still go. A send interrupted by a signal is made again.
  static void sendAll(Socket socket, const Outgoing* datagrams, std::size_t count,
                      const void* address, std::size_t addressSize, std::error_code* errors);
};
