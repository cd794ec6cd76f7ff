// Test access to the network: one sending socket that sends single datagrams to a loopback port.
// One socket is one sender: a receiver tells senders apart by address and port. POSIX systems.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace testsupport {

class UdpSender {
 public:
  explicit UdpSender(unsigned short port) : fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  }
  ~UdpSender() { ::close(fd); }
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;

  void send(const std::string& datagram) {
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  }

 private:
  int fd;
  sockaddr_in to{};
};

}  // namespace testsupport
