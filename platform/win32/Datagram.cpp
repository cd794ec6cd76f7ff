#include "platform/Datagram.h"

#include <winsock2.h>

std::error_code Datagram::send(Socket socket, const void* data, std::size_t size,
                               const void* address, std::size_t addressSize) {
  if (::sendto(static_cast<SOCKET>(socket), static_cast<const char*>(data), static_cast<int>(size),
               0, static_cast<const sockaddr*>(address),
               static_cast<int>(addressSize)) == SOCKET_ERROR) {
    return std::error_code(WSAGetLastError(), std::system_category());
  }
  return std::error_code();
}
