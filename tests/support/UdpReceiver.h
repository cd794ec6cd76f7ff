// A UDP socket bound to an ephemeral loopback port, for tests that receive datagrams.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tools/KernelDrops.h"

namespace testsupport {

class UdpReceiver {
 public:
  // address is "127.0.0.1" or "::1"; port 0 takes any free port.
  explicit UdpReceiver(const std::string& address = "127.0.0.1", unsigned short port = 0) {
    bool v6 = address.find(':') != std::string::npos;
    fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    // A large receive buffer keeps loss away under load; beyond the system's cap where allowed.
    int size = 16 << 20;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    timeval timeout{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
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
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
      ::close(fd_);
      throw std::runtime_error("bind " + address);
    }
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&storage), &length);
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  }
  ~UdpReceiver() { ::close(fd_); }
  UdpReceiver(const UdpReceiver&) = delete;
  UdpReceiver& operator=(const UdpReceiver&) = delete;

  unsigned short port() const { return port_; }
  void countKernelDrops() { KernelDrops::enable(fd_); }

  // The next datagram, or "<timeout>" after the receive time-out (10 s, or the one given).
  std::string receive(int timeoutMs = 10000) {
    std::uint32_t ignored = 0;
    return receiveCountingDrops(timeoutMs, ignored);
  }

  // Like receive(); drops is set to the kernel's count of datagrams dropped for a full receive
  // buffer, once countKernelDrops() was called.
  std::string receiveCountingDrops(int timeoutMs, std::uint32_t& drops) {
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    std::string buffer(65536, '\0');
    ssize_t n = KernelDrops::receive(fd_, &buffer[0], buffer.size(), 0, drops);
    if (n < 0) return "<timeout>";
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
  }

 private:
  int fd_;
  unsigned short port_;
};

}  // namespace testsupport
