// The real connection to a target: a non-blocking TCP socket (closed on exec), connected without
// waiting and checked once poll() says it is writable, and the steady clock. It owns the socket.
// Both forwarders make their connections with it; one thread uses it at a time.
#pragma once

#include "udplog-recv/forward/IConnection.h"

class TcpConnection final : public IConnection {
 public:
  TcpConnection() = default;
  ~TcpConnection() override;
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  ForwardResult connect(const NameLookup::Address& address) override;
  // Whether the connect that poll() found writable worked (the socket's SO_ERROR).
  ForwardResult connected() override;
  ForwardResult send(const char* data, std::size_t size, std::size_t& sent) override;
  ForwardResult receive(char* data, std::size_t size, std::size_t& got) override;
  short wait(short events, Clock::time_point deadline, int wakeFd = -1) override;
  Clock::time_point now() const override { return Clock::now(); }
  void close() override;

  // Bytes written that the target's kernel has not acknowledged after limit break the
  // connection (TCP_USER_TIMEOUT), as a reset would.
  void limitUnacknowledged(std::chrono::milliseconds limit);
  // The socket, for a caller that polls it with others or writes to it itself; -1 when closed.
  int fd() const { return socket; }

 private:
  int socket = -1;
};
