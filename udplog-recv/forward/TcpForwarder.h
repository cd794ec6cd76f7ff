// Forwards reassembled lines to a syslog target over TCP (rsyslog's imtcp, for one), one RFC
// 5424 message per line framed by octet counting (RFC 6587): see SyslogMessage. It has no thread
// of its own: the receiving thread owns it, polls fd() for events() and calls pump().
//
// Failures: its steps answer with a ForwardResult inside; what the user must know while it runs
// (a name that does not resolve, a refused or broken connection, a full backlog) goes to the
// Reporter as one line each.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "udplog-recv/forward/Backoff.h"
#include "udplog-recv/forward/BoundedBacklog.h"
#include "udplog-recv/forward/ForwardTarget.h"
#include "udplog-recv/forward/NameLookup.h"
#include "udplog-recv/forward/TcpConnection.h"

class TcpForwarder final {
 public:
  using Clock = std::chrono::steady_clock;
  using Reporter = std::function<void(const std::string&)>;

  static constexpr const char* kScheme = "tcp";

  struct Limits {
    std::size_t maxLines = 100000;
    std::size_t maxBytes = 64u << 20;
    // Every wait: the name lookup, the connection to each address; and how long the target's
    // kernel may leave written bytes unacknowledged before the connection counts as broken.
    std::chrono::milliseconds timeout{5000};
    // The largest message (header and line) the target takes; a longer one is refused here.
    std::size_t maxMessageBytes = 1u << 20;
    std::chrono::milliseconds firstBackoff{100};
    std::chrono::milliseconds maxBackoff{5000};
  };

  struct Counts {
    std::uint64_t forwarded = 0;  // written whole to a connection
    // Written to a connection that the target closed or that broke, and to our own last one
    // when the target's kernel had not taken every byte at the end: any of them may be
    // missing (a target killed with lines in its own queue loses them after its kernel took
    // them). Plain TCP has no receipts, so this is an upper bound, and they are not sent again.
    std::uint64_t unconfirmed = 0;
    std::uint64_t unconfirmedConnections = 0;  // the connections those lines were written on
    std::uint64_t dropped = 0;                 // pushed out of the full backlog
    std::uint64_t tooLong = 0;                 // over maxMessageBytes: refused, never sent
    std::uint64_t timedOut = 0;                // name lookups and connections past the time-out
    std::uint64_t connections = 0;
  };

  // resolve: how names are looked up (getaddrinfo, or a test's resolver).
  TcpForwarder(ForwardTarget target, Limits limits, Reporter reporter,
               NameLookup::Resolver resolve = ::getaddrinfo);
  ~TcpForwarder();
  TcpForwarder(const TcpForwarder&) = delete;
  TcpForwarder& operator=(const TcpForwarder&) = delete;

  // Queues one line behind the others, in a bounded backlog; pump() writes it. line need only be
  // valid during the call: it is framed into a copy. Past the backlog's
  // bound the oldest lines are dropped, counted and reported (once per run of drops).
  void enqueue(const std::string& host, unsigned port, std::string_view line,
               std::chrono::system_clock::time_point when);

  // The socket to poll and the events wanted; -1 while there is no connection.
  int fd() const { return connection.fd(); }
  short events() const;
  // Takes what poll() reported for fd(), starts an attempt when one is due (resolving the host,
  // then connecting to its addresses in turn), writes what the connection takes. Never blocks.
  // While the target is unreachable, attempts are retried with a backoff that doubles from
  // 100 ms to 5 s; each lost connection is reported, and so is the first of a run of failures.
  void pump(Clock::time_point now, short revents);
  // When pump() is next due without an event on fd(): the next attempt, the next look at the
  // resolver, or the end of the connection's time-out; max while connected.
  Clock::time_point nextDue() const;

  // Until deadline: delivers the backlog, then closes the connection once the target's kernel
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
  // "5 s": the time-out, as reports name it.
  std::string within() const;
  // The connection's socket was found writable: connected, or the next address.
  void settleConnect(Clock::time_point now);
  // An address refused the connection: the next one is tried at once; after the last one the
  // attempt has failed.
  void connectFailed(Clock::time_point now, const std::string& why);
  // Ends the connection or the attempt and schedules the next attempt.
  void disconnect(Clock::time_point now, const std::string& why);
  void write(Clock::time_point now);
  // Whether the connection is still open, reading what the target sent: transient when it ended.
  ForwardResult peerOpen();
  // Counts the lines of this connection as unconfirmed and says so.
  void noteUnconfirmed(const std::string& why);
  // Closes our own connection at the end: at once when the target has ended it (its lines
  // counted as unconfirmed), else once the target's kernel has acknowledged every byte written
  // to it. False while bytes are still unacknowledged.
  bool closeWhenTaken();

  // Constant after construction
  const ForwardTarget destination;
  const Limits limits;
  const Reporter reporter;

  State state = State::kIdle;
  NameLookup lookup;
  std::size_t addressIndex = 0;  // of lookup.addresses(), the one being connected to
  TcpConnection connection;
  Clock::time_point nextAttemptAt{};
  Clock::time_point stepDeadline{};  // of the lookup or the connection under way
  Backoff backoff;
  std::uint64_t failedAttempts = 0;  // since the last connection
  BoundedBacklog<std::string> frames;
  std::size_t offset = 0;          // bytes of frames.front() already written to this connection
  std::uint64_t onConnection = 0;  // lines written whole to this connection
  Counts tally;
};
