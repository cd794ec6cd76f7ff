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
  // source, when given, is the loopback address to send from (127.0.0.2 is local too).
  explicit UdpSender(unsigned short port, const char* source = nullptr)
      : fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
    if (source) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      ::inet_pton(AF_INET, source, &from.sin_addr);
      isBound = ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) == 0;
    }
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  }
  ~UdpSender() { ::close(fd); }
  UdpSender(const UdpSender&) = delete;
  UdpSender& operator=(const UdpSender&) = delete;

  // Whether the socket took the source address it was given.
  bool bound() const { return isBound; }
  void send(const std::string& datagram) {
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  }

 private:
  int fd;
  bool isBound = false;
  sockaddr_in to{};
};

}  // namespace testsupport
