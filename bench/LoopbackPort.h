// A UDP port on 127.0.0.1 for the benchmarks to send to. With draining, a thread reads and discards
// every datagram; without, nobody reads and the kernel drops what overflows its buffer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace benchlines {

class LoopbackPort {
 public:
  explicit LoopbackPort(bool drain) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    int size = 16 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    timeval timeout{0, 100000};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (drain) {
      thread_ = std::thread([this] {
        char buffer[65536];
        while (!stop_) ::recv(fd_, buffer, sizeof(buffer), 0);
      });
    }
  }
  ~LoopbackPort() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    ::close(fd_);
  }
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;

  unsigned short port() const { return port_; }

 private:
  int fd_;
  unsigned short port_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace benchlines
