#include "platform/Datagram.h"

#include <sys/socket.h>

#include <cerrno>

std::error_code Datagram::send(Socket socket, const void* data, std::size_t size,
                               const void* address, std::size_t addressSize) {
  if (::sendto(static_cast<int>(socket), data, size, 0, static_cast<const sockaddr*>(address),
               static_cast<socklen_t>(addressSize)) < 0) {
    return std::error_code(errno, std::system_category());
  }
  return std::error_code();
}
