// A TCP socket of the tests' own on a loopback address: bound at once (a connection to it is
// refused until listen()), closed with the object. fillQueue() makes it a black hole: with its
// accept queue full, a connection's first packets are dropped, as a firewall drops them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace testsupport {

class LoopbackListener {
 public:
  // port 0: any free one.
  explicit LoopbackListener(const char* address = "127.0.0.1", unsigned short port = 0) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &at.sin_addr);
    socklen_t length = sizeof(at);
    bound = ::bind(socket, reinterpret_cast<sockaddr*>(&at), length) == 0;
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&at), &length);
    boundPort = ntohs(at.sin_port);
    text = std::string(address) + ":" + std::to_string(boundPort);
  }
  ~LoopbackListener() {
    if (filler >= 0) ::close(filler);
    ::close(socket);
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  bool listen(int backlog = 16) { return bound && ::listen(socket, backlog) == 0; }
  // Listens with an accept queue of one and fills it with a connection nobody accepts.
  void fillQueue() {
    listen(0);
    sockaddr_in at{};
    socklen_t length = sizeof(at);
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&at), &length);
    filler = ::socket(AF_INET, SOCK_STREAM, 0);
    (void)::connect(filler, reinterpret_cast<sockaddr*>(&at), length);
  }

  // Accepts one connection, waiting at most 30 s, and reads it to its end: what the peer wrote.
  // For a thread of its own.
  std::string readConnection() const {
    pollfd watch{socket, POLLIN, 0};
    if (::poll(&watch, 1, 30000) <= 0) return "";
    const int connection = ::accept(socket, nullptr, nullptr);
    std::string received;
    char buffer[65536];
    for (ssize_t n; (n = ::read(connection, buffer, sizeof(buffer))) > 0;)
      received.append(buffer, n);
    ::close(connection);
    return received;
  }

  bool ok() const { return bound; }
  int fd() const { return socket; }
  unsigned short port() const { return boundPort; }
  // "127.0.0.1:PORT", for a target's text.
  const std::string& hostPort() const { return text; }

 private:
  int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int filler = -1;
  bool bound = false;
  unsigned short boundPort = 0;
  std::string text;
};

}  // namespace testsupport
