#include "tests/support/UdpReceiver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "platform/SocketRuntime.h"
#include "udplog-recv/reassembly/KernelDrops.h"

namespace testsupport {

UdpReceiver::UdpReceiver(const std::string& address, unsigned short port)
    : runtime(new SocketRuntime) {
  bool v6 = address.find(':') != std::string::npos;
  int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("socket");
  socket = static_cast<std::uintptr_t>(fd);
  // A large receive buffer keeps loss away under load; beyond the system's cap where allowed.
  int size = 16 << 20;
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  }
  timeval timeout{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  sockaddr_storage storage{};
  socklen_t length;
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
  if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    ::close(fd);
    throw std::runtime_error("bind " + address);
  }
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
  boundPort = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

UdpReceiver::~UdpReceiver() { ::close(static_cast<int>(socket)); }

void UdpReceiver::countKernelDrops() { KernelDrops::enable(static_cast<int>(socket)); }

std::string UdpReceiver::receiveCountingDrops(int timeoutMs, std::uint32_t& drops) {
  const int fd = static_cast<int>(socket);
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  std::string buffer(65536, '\0');
  ssize_t n = KernelDrops::receive(fd, &buffer[0], buffer.size(), 0, drops);
  if (n < 0) return "<timeout>";
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}

}  // namespace testsupport
