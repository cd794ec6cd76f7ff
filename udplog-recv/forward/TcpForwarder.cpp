#include "udplog-recv/forward/TcpForwarder.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/ShownValue.h"
#include "udplog-recv/forward/PollWait.h"
#include "udplog-recv/forward/SyslogMessage.h"

namespace {

// How often finish() looks whether the target's kernel has taken the last bytes: the kernel
// signals no event for it.
constexpr std::chrono::milliseconds kTakenPoll{10};

}  // namespace

TcpForwarder::TcpForwarder(ForwardTarget target, Limits theLimits, Reporter theReporter,
                           NameLookup::Resolver resolve)
    : destination(std::move(target)),
      limits(theLimits),
      reporter(std::move(theReporter)),
      lookup(std::move(resolve)),
      backoff(theLimits.firstBackoff, theLimits.maxBackoff),
      frames(destination.text, theLimits.maxLines, theLimits.maxBytes) {}

TcpForwarder::~TcpForwarder() = default;

short TcpForwarder::events() const {
  if (state == State::kConnecting) return POLLOUT;
  if (state == State::kConnected) return frames.empty() ? POLLIN : POLLIN | POLLOUT;
  return 0;
}

void TcpForwarder::enqueue(const std::string& host, unsigned port, std::string_view line,
                           std::chrono::system_clock::time_point when) {
  std::string frame = SyslogMessage::frame(host, port, line, when);
  const std::size_t messageBytes = frame.size() - frame.find(' ') - 1;
  if (messageBytes > limits.maxMessageBytes) {
    ++tally.tooLong;
    reporter(SyslogMessage::tooLong(destination.text, limits.maxMessageBytes));
    return;
  }
  // The front may be half written to the connection: it stays, the next oldest goes.
  const std::string full = frames.push(std::move(frame), offset > 0 ? 1 : 0, tally.dropped);
  if (!full.empty()) reporter(full);
}

void TcpForwarder::resolve(Clock::time_point now) {
  const NameLookup::Status status = lookup.poll();
  if (status == NameLookup::Status::kPending) {
    // Left running when its time is up: the next attempt waits for it rather than begin another.
    if (now >= stepDeadline) {
      ++tally.timedOut;
      disconnect(now, "no answer from the name lookup of " + shownValue(destination.host) +
                          " within " + within());
    } else {
      nextAttemptAt = std::min(now + NameLookup::kPollInterval, stepDeadline);
    }
    return;
  }
  if (status != NameLookup::Status::kResolved) {
    disconnect(now, "cannot resolve " + shownValue(destination.host) + ": " + lookup.error());
    return;
  }
  addressIndex = 0;
  connect(now);
}

void TcpForwarder::connect(Clock::time_point now) {
  state = State::kConnecting;  // settled by the next pump(), also when connect() succeeds at once
  stepDeadline = now + limits.timeout;  // each address has the whole time-out
  const ForwardResult started = connection.connect(lookup.addresses()[addressIndex]);
  if (!started.ok()) {
    connectFailed(now, started.cause());
  } else {
    // Written lines the target's kernel does not acknowledge within the time-out break the
    // connection, so that a target gone without a reset does not keep them "forwarded".
    connection.limitUnacknowledged(limits.timeout);
  }
}

void TcpForwarder::connectFailed(Clock::time_point now, const std::string& why) {
  connection.close();
  // A name's addresses are tried in turn: the report says which one failed.
  const std::string address = NameLookup::text(lookup.addresses()[addressIndex]);
  const std::string cause = address == destination.host ? why : address + ": " + why;
  if (addressIndex + 1 < lookup.addresses().size()) {
    if (failedAttempts == 0) {
      reporter("forward: " + destination.text + ": " + cause + " (trying the next address)");
    }
    ++addressIndex;
    connect(now);
    return;
  }
  disconnect(now, cause);
}

std::string TcpForwarder::within() const {
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limits.timeout).count()) +
         " s";
}

TcpForwarder::Clock::time_point TcpForwarder::nextDue() const {
  if (state == State::kConnecting) return stepDeadline;
  if (state == State::kConnected) return Clock::time_point::max();
  return nextAttemptAt;
}

void TcpForwarder::settleConnect(Clock::time_point now) {
  if (const ForwardResult done = connection.connected(); !done.ok()) {
    connectFailed(now, done.cause());
    return;
  }
  state = State::kConnected;
  onConnection = 0;
  ++tally.connections;
  backoff.startOver();
  if (failedAttempts > 0 || tally.connections > 1) {
    reporter("forward: connected to " + destination.text + " again after " +
             std::to_string(failedAttempts) + " failed attempts; " + std::to_string(frames.size()) +
             " held lines follow");
  }
  failedAttempts = 0;
}

void TcpForwarder::noteUnconfirmed(const std::string& why) {
  if (onConnection == 0) return;
  tally.unconfirmed += onConnection;
  ++tally.unconfirmedConnections;
  reporter("forward: " + std::to_string(onConnection) + " lines written to " + destination.text +
           " are not confirmed: " + why);
  onConnection = 0;
}

void TcpForwarder::disconnect(Clock::time_point now, const std::string& why) {
  // Whether the target closed it or it broke, the lines written to it may not have been read.
  noteUnconfirmed(why);
  connection.close();
  const bool wasConnected = state == State::kConnected;
  state = State::kIdle;
  offset = 0;  // a half-written line goes again whole; the target drops the cut frame
  if (wasConnected) backoff.startOver();
  nextAttemptAt = now + backoff.failed();
  if (wasConnected || failedAttempts == 0) {
    reporter("forward: " + destination.text + ": " + why + " (retrying; at most " +
             std::to_string(limits.maxLines) + " lines are held meanwhile)");
  }
  if (!wasConnected) ++failedAttempts;
}

ForwardResult TcpForwarder::peerOpen() {
  char scratch[512];
  for (;;) {
    std::size_t got = 0;
    const ForwardResult read = connection.receive(scratch, sizeof(scratch), got);
    // A target has nothing to say; whatever it sends is ignored.
    if (!read.ok() || got == 0) return read;
  }
}

void TcpForwarder::pump(Clock::time_point now, short revents) {
  if (state == State::kResolving) resolve(now);
  if (state == State::kConnecting && revents != 0) {
    settleConnect(now);
  } else if (state == State::kConnecting && now >= stepDeadline) {
    ++tally.timedOut;
    connectFailed(now, "no connection within " + within());
  } else if (state == State::kConnected && (revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
    if (const ForwardResult open = peerOpen(); !open.ok()) disconnect(now, open.cause());
  }
  if (state == State::kIdle && now >= nextAttemptAt) {
    // Every attempt resolves the name again, so a changed address is followed; a lookup still
    // running from an earlier attempt is waited for instead, so one resolver thread at most runs.
    if (lookup.status() != NameLookup::Status::kPending) {
      lookup.start(destination.host, destination.port);
    }
    state = State::kResolving;
    stepDeadline = now + limits.timeout;
    resolve(now);
  }
  if (state == State::kConnected && !frames.empty()) write(now);
}

void TcpForwarder::write(Clock::time_point now) {
  constexpr std::size_t kMaxIovecs = 64;
  iovec vector[kMaxIovecs];
  while (!frames.empty()) {
    std::size_t count = 0;
    for (auto it = frames.begin(); it != frames.end() && count < kMaxIovecs; ++it, ++count) {
      const std::size_t skip = count == 0 ? offset : 0;
      vector[count] = iovec{const_cast<char*>(it->data()) + skip, it->size() - skip};
    }
    msghdr message{};
    message.msg_iov = vector;
    message.msg_iovlen = count;
    // Linux-only flags: MSG_NOSIGNAL makes a connection the target closed fail with EPIPE
    // instead of raising SIGPIPE; MSG_DONTWAIT makes the call take what fits and never wait.
    const ssize_t n = ::sendmsg(connection.fd(), &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        disconnect(now, std::strerror(errno));
      }
      return;
    }
    std::size_t written = static_cast<std::size_t>(n);
    while (written > 0) {
      const std::size_t rest = frames.front().size() - offset;
      if (written < rest) {
        offset += written;
        break;
      }
      written -= rest;
      frames.takeFront();
      offset = 0;
      ++tally.forwarded;
      ++onConnection;
    }
    frames.taken();
  }
}

bool TcpForwarder::closeWhenTaken() {
  if (const ForwardResult open = peerOpen(); !open.ok()) {
    // Ended by the target first: what it did with the lines is unknown.
    noteUnconfirmed(open.cause());
  } else {
    int unacknowledged = 0;
    // SIOCOUTQ (Linux-only): the bytes written that the target's kernel has not acknowledged.
    if (::ioctl(connection.fd(), SIOCOUTQ, &unacknowledged) != 0 || unacknowledged > 0) {
      return false;
    }
  }
  connection.close();
  state = State::kIdle;
  onConnection = 0;
  return true;
}

std::uint64_t TcpForwarder::finish(Clock::time_point deadline) {
  // A stop tries at once, from the backoff's first step, whatever wait the last failure set.
  backoff.startOver();
  if (state == State::kIdle) nextAttemptAt = std::min(nextAttemptAt, Clock::now());
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (frames.empty() && (state != State::kConnected || closeWhenTaken())) break;
    if (now >= deadline) break;
    Clock::time_point wake = deadline;
    wake = std::min(wake, nextDue());
    if (frames.empty()) wake = std::min(wake, now + kTakenPoll);
    const short revents = PollWait::until(fd(), events(), wake);
    pump(Clock::now(), revents);
  }
  const std::uint64_t left = frames.size();
  if (left > 0) {
    reporter("forward: " + std::to_string(left) + " lines could not be handed to " +
             destination.text + " before the end: lost");
  }
  if (state == State::kConnected) {
    noteUnconfirmed("the target's kernel had not taken every byte before the end");
  }
  lookup.abandon();
  connection.close();
  state = State::kIdle;
  return left;
}
