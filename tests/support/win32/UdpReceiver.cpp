#include "tests/support/UdpReceiver.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <stdexcept>

#include "platform/SocketRuntime.h"

namespace testsupport {

UdpReceiver::UdpReceiver(const std::string& address, unsigned short port)
    : runtime(new SocketRuntime) {
  bool v6 = address.find(':') != std::string::npos;
  SOCKET s = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
  if (s == INVALID_SOCKET) throw std::runtime_error("socket");
  socket = static_cast<std::uintptr_t>(s);
  int size = 16 << 20;
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof(size));
  sockaddr_storage storage{};
  int length;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    ::inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
    length = sizeof(*a);
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &a->sin_addr);
    length = sizeof(*a);
  }
  if (::bind(s, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    ::closesocket(s);
    throw std::runtime_error("bind " + address);
  }
  ::getsockname(s, reinterpret_cast<sockaddr*>(&storage), &length);
  boundPort = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

UdpReceiver::~UdpReceiver() { ::closesocket(static_cast<SOCKET>(socket)); }

// Winsock keeps no count of datagrams dropped for a full buffer: drops stays as it is.
void UdpReceiver::countKernelDrops() {}

std::string UdpReceiver::receiveCountingDrops(int timeoutMs, std::uint32_t& /*drops*/) {
  const SOCKET s = static_cast<SOCKET>(socket);
  const DWORD timeout = static_cast<DWORD>(timeoutMs);  // milliseconds, unlike a timeval
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof(timeout));
  std::string buffer(65536, '\0');
  const int n = ::recv(s, &buffer[0], static_cast<int>(buffer.size()), 0);
  if (n < 0) return "<timeout>";
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}

}  // namespace testsupport
