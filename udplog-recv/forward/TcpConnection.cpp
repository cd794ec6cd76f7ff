#include "udplog-recv/forward/TcpConnection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "udplog-recv/forward/PollWait.h"

namespace {

ForwardResult broken(int error) {
  return ForwardResult::transient(std::string("the connection broke: ") + std::strerror(error));
}

}  // namespace

TcpConnection::~TcpConnection() { close(); }

void TcpConnection::close() {
  if (socket >= 0) ::close(socket);
  socket = -1;
}

ForwardResult TcpConnection::connect(const NameLookup::Address& address) {
  close();
  // SOCK_NONBLOCK and SOCK_CLOEXEC are Linux-only: the socket is made non-blocking and closed on
  // exec in the one call.
  socket = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (socket < 0) {
    return ForwardResult::transient(std::string("cannot make a socket: ") + std::strerror(errno));
  }
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0 &&
      errno != EINPROGRESS) {
    const int error = errno;
    close();
    return ForwardResult::transient(std::string("cannot connect: ") + std::strerror(error));
  }
  return ForwardResult::success();
}

ForwardResult TcpConnection::connected() {
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error == 0) return ForwardResult::success();
  close();
  return ForwardResult::transient(std::string("cannot connect: ") + std::strerror(error));
}

ForwardResult TcpConnection::send(const char* data, std::size_t size, std::size_t& sent) {
  sent = 0;
  for (;;) {
    // MSG_NOSIGNAL (Linux-only): a connection the target closed fails with EPIPE instead of
    // raising SIGPIPE.
    const ssize_t n = ::send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent = static_cast<std::size_t>(n);
      return ForwardResult::success();
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ForwardResult::success();
    return broken(errno);
  }
}

ForwardResult TcpConnection::receive(char* data, std::size_t size, std::size_t& got) {
  got = 0;
  for (;;) {
    const ssize_t n = ::recv(socket, data, size, MSG_DONTWAIT);
    if (n > 0) {
      got = static_cast<std::size_t>(n);
      return ForwardResult::success();
    }
    if (n == 0) return ForwardResult::transient("the target closed the connection");
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return ForwardResult::success();
    return broken(errno);
  }
}

short TcpConnection::wait(short events, Clock::time_point deadline, int wakeFd) {
  return PollWait::until(socket, events, deadline, wakeFd);
}

void TcpConnection::limitUnacknowledged(std::chrono::milliseconds limit) {
  const unsigned millis = static_cast<unsigned>(limit.count());
  (void)::setsockopt(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, &millis, sizeof(millis));
}
