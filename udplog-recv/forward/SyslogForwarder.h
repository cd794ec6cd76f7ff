// Forwards reassembled lines to a syslog collector over TCP (rsyslog's imtcp, for one), one RFC
// 5424 message per line framed by octet counting (RFC 6587): see message() and frame(). It has no
// thread of its own: the receiving thread owns it, polls fd() for events() and calls pump().
//
// Failures: set-up steps answer with a ForwardResult; failures while running (a name that does not
// resolve, a refused or broken connection, a full backlog) are one-line reports to the Reporter,
// never exceptions.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "udplog-recv/forward/Backoff.h"
#include "udplog-recv/forward/BoundedBacklog.h"
#include "udplog-recv/forward/ForwardResult.h"
#include "udplog-recv/forward/NameLookup.h"

class SyslogForwarder final {
 public:
  using Clock = std::chrono::steady_clock;
  using Reporter = std::function<void(const std::string&)>;

  struct Target {
    std::string text;  // as given, "tcp://[::1]:514"
    std::string host;  // "::1", without brackets; or a name, resolved at each connection attempt
    std::string port;  // "514"
  };

  struct Limits {
    std::size_t maxLines = 100000;
    std::size_t maxBytes = 64u << 20;
    std::chrono::milliseconds firstBackoff{100};
    std::chrono::milliseconds maxBackoff{5000};
  };

  struct Counts {
    std::uint64_t forwarded = 0;  // written whole to a connection
    // Written to a connection that the collector closed or that broke, and to our own last one
    // when the collector's kernel had not taken every byte at the end: any of them may be
    // missing (a collector killed with lines in its own queue loses them after its kernel took
    // them). Plain TCP has no receipts, so this is an upper bound, and they are not sent again.
    std::uint64_t unconfirmed = 0;
    std::uint64_t unconfirmedConnections = 0;  // the connections those lines were written on
    std::uint64_t dropped = 0;                 // pushed out of the full backlog
    std::uint64_t connections = 0;
  };

  static constexpr const char* kAppName = "udplog";

  // "tcp://HOST:PORT", HOST an IPv4 address, an IPv6 address in brackets or a name, into target.
  // Only the form is checked: a name is resolved at each connection attempt, so one that does not
  // resolve yet is retried. RelpForwarder reads "relp://HOST:PORT" with scheme "relp".
  static ForwardResult parseTarget(const std::string& text, Target& target,
                                   const std::string& scheme = "tcp");

  // The RFC 5424 message for one line, without framing: "<14>1 2026-12-07T10:00:26.415123Z
  // 127.0.0.1 udplog 40000 - - " and the line's bytes. RelpForwarder sends the same message.
  // It holds the time of receipt, the sender's address as HOSTNAME, APP-NAME "udplog", the
  // sender's port as PROCID, and the line's bytes unchanged as MSG. The facility is user; the
  // severity follows the line's level field as kLevelSeverities in SyslogForwarder.cpp has it
  // (CRITICAL and FATAL 2, ERROR 3, WARN and WARNING 4, INFO 6, DEBUG and TRACE 7, others 5).
  static std::string message(const std::string& host, unsigned port, std::string_view line,
                             std::chrono::system_clock::time_point when);

  // The framed message for one line, as it goes on the wire: message() after its octet count,
  //   69 <14>1 2026-12-07T10:00:26.415123Z 127.0.0.1 udplog 40000 - - 2026-12-07 10:00:26\vT4\v...
  static std::string frame(const std::string& host, unsigned port, std::string_view line,
                           std::chrono::system_clock::time_point when);

  SyslogForwarder(Target target, Limits limits, Reporter reporter);
  ~SyslogForwarder();
  SyslogForwarder(const SyslogForwarder&) = delete;
  SyslogForwarder& operator=(const SyslogForwarder&) = delete;

  // Queues one line behind the others, in a bounded backlog; pump() writes it. line need only be
  // valid during the call: it is framed into a copy. Past the backlog's
  // bound the oldest lines are dropped, counted and reported (once per run of drops).
  void enqueue(const std::string& host, unsigned port, std::string_view line,
               std::chrono::system_clock::time_point when);

  // The socket to poll and the events wanted; -1 while there is no connection.
  int fd() const { return socketFd; }
  short events() const;
  // Takes what poll() reported for fd(), starts an attempt when one is due (resolving the host,
  // then connecting to its addresses in turn), writes what the connection takes. Never blocks.
  // While the collector is unreachable, attempts are retried with a backoff that doubles from
  // 100 ms to 5 s; each lost connection is reported, and so is the first of a run of failures.
  void pump(Clock::time_point now, short revents);
  // When pump() is next due while fd() is -1: the next attempt, or the next look at the resolver.
  Clock::time_point nextAttempt() const { return nextAttemptAt; }

  // Until deadline: delivers the backlog, then closes the connection once the collector's kernel
  // has taken every byte. Returns the lines not delivered, and reports them; the lines of a
  // connection it could not end so are counted as unconfirmed.
  std::uint64_t finish(Clock::time_point deadline);

  std::size_t backlog() const { return frames.size(); }
  const Counts& counts() const { return tally; }
  const std::string& target() const { return destination.text; }

 private:
  enum class State { kIdle, kResolving, kConnecting, kConnected };

  // Takes the lookup's answer once it has one, and connects to its first address.
  void resolve(Clock::time_point now);
  // Connects to the lookup's address at addressIndex, without waiting.
  void connect(Clock::time_point now);
  // An address refused the connection: the next one is tried at once; after the last one the
  // attempt has failed.
  void connectFailed(Clock::time_point now, const std::string& why);
  // Ends the connection or the attempt and schedules the next attempt.
  void disconnect(Clock::time_point now, const std::string& why);
  void write(Clock::time_point now);
  // Whether the connection is still open, reading what the collector sent; why says how it ended.
  bool peerOpen(std::string& why);
  // Counts the lines of this connection as unconfirmed and says so.
  void noteUnconfirmed(const std::string& why);
  // Closes our own connection at the end: at once when the collector has ended it (its lines
  // counted as unconfirmed), else once the collector's kernel has acknowledged every byte written
  // to it. False while bytes are still unacknowledged.
  bool closeWhenTaken();

  // Constant after construction
  const Target destination;
  const Limits limits;
  const Reporter reporter;

  State state = State::kIdle;
  NameLookup lookup;
  std::size_t addressIndex = 0;  // of lookup.addresses(), the one being connected to
  int socketFd = -1;
  Clock::time_point nextAttemptAt{};
  Backoff backoff;
  std::uint64_t failedAttempts = 0;  // since the last connection
  BoundedBacklog frames;
  std::size_t offset = 0;          // bytes of frames.front() already written to this connection
  std::uint64_t onConnection = 0;  // lines written whole to this connection
  Counts tally;
};
