#include "platform/Datagram.h"

#include <winsock2.h>

void Datagram::sendAll(Socket socket, const Outgoing* datagrams, std::size_t count,
                       const void* address, std::size_t addressSize, std::error_code* errors) {
  // Windows has no call for several datagrams: one gathering send each.
  for (std::size_t i = 0; i < count; ++i) {
    WSABUF pieces[2];
    pieces[0].buf = static_cast<char*>(const_cast<void*>(datagrams[i].head));
    pieces[0].len = static_cast<ULONG>(datagrams[i].headSize);
    pieces[1].buf = static_cast<char*>(const_cast<void*>(datagrams[i].body));
    pieces[1].len = static_cast<ULONG>(datagrams[i].bodySize);
    DWORD sent = 0;
    if (::WSASendTo(static_cast<SOCKET>(socket), pieces, datagrams[i].bodySize == 0 ? 1 : 2, &sent,
                    0, static_cast<const sockaddr*>(address), static_cast<int>(addressSize),
                    nullptr, nullptr) == SOCKET_ERROR) {
      errors[i] = std::error_code(WSAGetLastError(), std::system_category());
    } else {
      errors[i].clear();
    }
  }
}
