#include "udplog-recv/reassembly/DatagramSource.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/ShownValue.h"
#include "udplog-recv/reassembly/KernelDrops.h"

DatagramSource::DatagramSource()
    : buffers(new char[kBatch * kMaxDatagram]),
      from(kBatch),
      iovecs(kBatch),
      headers(kBatch),
      views(kBatch) {
  for (std::size_t i = 0; i < kBatch; ++i) {
    iovecs[i] = iovec{&buffers[i * kMaxDatagram], kMaxDatagram};
    msghdr& h = headers[i].msg_hdr;
    h = msghdr{};
    h.msg_name = &from[i];
    h.msg_iov = &iovecs[i];
    h.msg_iovlen = 1;
  }
}

DatagramSource::~DatagramSource() {
  if (socketFd >= 0) ::close(socketFd);
}

bool DatagramSource::open(const std::string& address, unsigned port, std::string& error) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof(*v4);
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<std::uint16_t>(port));
    length = sizeof(*v6);
  } else {
    error = "--listen " + shownValue(address) + " is not an IPv4 or IPv6 address";
    failure = Failure::kSetting;
    return false;
  }
  // SOCK_CLOEXEC (Linux-only): closed on exec, set in the same call that makes the socket.
  socketFd = ::socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socketFd >= 0) {
    // A large buffer rides out bursts; beyond the system's cap where the process may
    // (SO_RCVBUFFORCE, Linux-only, needs CAP_NET_ADMIN).
    int size = 8 << 20;
    if (::setsockopt(socketFd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
      ::setsockopt(socketFd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
    int granted = 0;
    socklen_t grantedLength = sizeof(granted);
    if (::getsockopt(socketFd, SOL_SOCKET, SO_RCVBUF, &granted, &grantedLength) == 0 &&
        granted > 0) {
      receiveBufferSize = static_cast<std::size_t>(granted);
    }
    if (::bind(socketFd, reinterpret_cast<sockaddr*>(&storage), length) == 0) {
      failure = Failure::kNone;
      return true;
    }
  }
  const int cause = errno;
  error =
      "cannot listen on " + address + " port " + std::to_string(port) + ": " + std::strerror(cause);
  failure = Failure::kRun;
  if (cause == EACCES) {
    error += " (choose a port of 1024 or above, or grant CAP_NET_BIND_SERVICE)";
    failure = Failure::kSetting;
  }
  if (socketFd >= 0) ::close(socketFd);
  socketFd = -1;
  return false;
}

std::size_t DatagramSource::receive() {
  // The kernel writes back only the address's length (and the sizes and flags) of a header.
  for (std::size_t i = 0; i < kBatch; ++i) headers[i].msg_hdr.msg_namelen = sizeof(from[i]);
  // recvmmsg and MSG_DONTWAIT are Linux-only: up to kBatch datagrams in one call that never waits.
  const int n = ::recvmmsg(socketFd, headers.data(), kBatch, MSG_DONTWAIT, nullptr);
  if (n <= 0) return 0;
  for (int i = 0; i < n; ++i) {
    views[i] = View{reinterpret_cast<const sockaddr*>(&from[i]), headers[i].msg_hdr.msg_namelen,
                    &buffers[i * kMaxDatagram], headers[i].msg_len};
  }
  return static_cast<std::size_t>(n);
}

std::uint32_t DatagramSource::readKernelDrops() {
  std::uint32_t now = 0;
  if (KernelDrops::readNow(socketFd, now) && now > drops) drops = now;
  return drops;
}
