// The connection a RELP session speaks over, and the clock its waits go by. TcpConnection is the
// real one: a non-blocking TCP socket, poll() and the steady clock. A test's scripted connection
// plays the target's bytes and moves its own clock, so that a session's time-outs are driven
// instead of slept through. The session owns its connection; one thread uses both.
//
// Every step answers with a ForwardResult: a refused, reset or ended connection is transient.
#pragma once

#include <chrono>
#include <cstddef>

#include "udplog-recv/forward/ForwardResult.h"
#include "udplog-recv/forward/NameLookup.h"

class IConnection {
 public:
  using Clock = std::chrono::steady_clock;

  virtual ~IConnection() = default;

  // Starts connecting to address without waiting, closing any earlier connection; wait() for
  // POLLOUT, then connected() says whether it worked.
  virtual ForwardResult connect(const NameLookup::Address& address) = 0;
  virtual ForwardResult connected() = 0;
  // Writes what the connection takes of size bytes into sent (0 when it takes none now).
  virtual ForwardResult send(const char* data, std::size_t size, std::size_t& sent) = 0;
  // Reads what has come, at most size bytes, into got (0 when nothing waits). The target's end
  // of the connection is transient: "the target closed the connection".
  virtual ForwardResult receive(char* data, std::size_t size, std::size_t& got) = 0;
  // Waits until the connection is ready for events (POLLIN, POLLOUT), until deadline, or, when
  // wakeFd is an eventfd, until it is signalled (its count is taken). The events that are ready,
  // as poll() has them; 0 at the deadline or on a wake.
  virtual short wait(short events, Clock::time_point deadline, int wakeFd = -1) = 0;
  virtual Clock::time_point now() const = 0;
  virtual void close() = 0;
};
