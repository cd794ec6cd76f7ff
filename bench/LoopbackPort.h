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
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    int size = 16 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    timeval timeout{0, 100000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort = ntohs(address.sin_port);
    if (drain) {
      thread = std::thread([this] {
        char buffer[65536];
        while (!stop) ::recv(fd, buffer, sizeof(buffer), 0);
      });
    }
  }
  ~LoopbackPort() {
    stop = true;
    if (thread.joinable()) thread.join();
    ::close(fd);
  }
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;

  unsigned short port() const { return boundPort; }

 private:
  int fd;
  unsigned short boundPort;
  std::atomic<bool> stop{false};
  std::thread thread;
};

}  // namespace benchlines
