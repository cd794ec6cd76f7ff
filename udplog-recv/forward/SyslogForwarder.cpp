#include "udplog-recv/forward/SyslogForwarder.h"

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "logger/core/ShownValue.h"

namespace {

// How often the receive loop looks at a lookup that the resolver is still working on.
constexpr std::chrono::milliseconds kResolverPoll{10};
// How often finish() looks whether the collector's kernel has taken the last bytes: the kernel
// signals no event for it.
constexpr std::chrono::milliseconds kTakenPoll{10};

constexpr int kSeverityNotice = 5;
constexpr int kFacilityUser = 1;

// The syslog severity of each level that clients write (TarvoLog's and the usual others); any
// other level, or a line without one, is a notice.
struct LevelSeverity {
  std::string_view level;
  int severity;
};
constexpr LevelSeverity kLevelSeverities[] = {{"CRITICAL", 2}, {"FATAL", 2},   {"ERROR", 3},
                                              {"WARN", 4},     {"WARNING", 4}, {"INFO", 6},
                                              {"DEBUG", 7},    {"TRACE", 7}};

// The severity for the line's third vertical-tab field, the level.
int severityOf(std::string_view line) {
  std::size_t start = line.find('\v');
  if (start == std::string_view::npos) return kSeverityNotice;
  start = line.find('\v', start + 1);
  if (start == std::string_view::npos) return kSeverityNotice;
  const std::size_t end = line.find('\v', start + 1);
  const std::string_view level = line.substr(
      start + 1, end == std::string_view::npos ? std::string_view::npos : end - start - 1);
  for (const LevelSeverity& known : kLevelSeverities) {
    if (level == known.level) return known.severity;
  }
  return kSeverityNotice;
}

}  // namespace

ForwardResult SyslogForwarder::parseTarget(const std::string& text, Target& target,
                                           const std::string& schemeName) {
  const std::string scheme = schemeName + "://";
  const ForwardResult notATarget =
      ForwardResult::failure("--forward " + shownValue(text) + " is not " + scheme + "HOST:PORT");
  if (text.compare(0, scheme.size(), scheme) != 0) return notATarget;
  std::string rest = text.substr(scheme.size());
  std::string host, port;
  if (!rest.empty() && rest[0] == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      return notATarget;
    }
    host = rest.substr(1, close - 1);
    port = rest.substr(close + 2);
  } else {
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos || rest.find(':') != colon) return notATarget;
    host = rest.substr(0, colon);
    port = rest.substr(colon + 1);
  }
  if (host.empty() || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) == 0 ||
      std::stoul(port) > 65535) {
    return notATarget;
  }
  target.text = text;
  target.host = host;
  target.port = port;
  return ForwardResult::success();
}

namespace {

// The message's header, "<14>1 2026-12-07T10:00:26.415123Z 127.0.0.1 udplog 40000 - - ", into
// header; its length.
std::size_t headerOf(char (&header)[160], const std::string& host, unsigned port,
                     std::string_view line, std::chrono::system_clock::time_point when) {
  using namespace std::chrono;
  const auto micros = duration_cast<microseconds>(when.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  const int headerSize = std::snprintf(
      header, sizeof(header), "<%d>1 %04d-%02d-%02dT%02d:%02d:%02d.%06dZ %s %s %u - - ",
      kFacilityUser * 8 + severityOf(line), utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
      utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(micros % 1000000), host.c_str(),
      SyslogForwarder::kAppName, port);
  return std::min(static_cast<std::size_t>(std::max(headerSize, 0)), sizeof(header) - 1);
}

}  // namespace

std::string SyslogForwarder::message(const std::string& host, unsigned port, std::string_view line,
                                     std::chrono::system_clock::time_point when) {
  char header[160];
  const std::size_t headerSize = headerOf(header, host, port, line, when);
  std::string out;
  out.reserve(headerSize + line.size());
  out.append(header, headerSize);
  out.append(line.data(), line.size());
  return out;
}

std::string SyslogForwarder::frame(const std::string& host, unsigned port, std::string_view line,
                                   std::chrono::system_clock::time_point when) {
  char header[160];
  const std::size_t headerSize = headerOf(header, host, port, line, when);
  const std::size_t messageSize = headerSize + line.size();
  std::string out = std::to_string(messageSize);
  out.reserve(out.size() + 1 + messageSize);
  out += ' ';
  out.append(header, headerSize);
  out.append(line.data(), line.size());
  return out;
}

SyslogForwarder::SyslogForwarder(Target target, Limits theLimits, Reporter theReporter)
    : destination(std::move(target)),
      limits(theLimits),
      reporter(std::move(theReporter)),
      backoff(theLimits.firstBackoff, theLimits.maxBackoff),
      frames(destination.text, theLimits.maxLines, theLimits.maxBytes) {}

SyslogForwarder::~SyslogForwarder() {
  if (socketFd >= 0) ::close(socketFd);
}

short SyslogForwarder::events() const {
  if (state == State::kConnecting) return POLLOUT;
  if (state == State::kConnected) return frames.empty() ? POLLIN : POLLIN | POLLOUT;
  return 0;
}

void SyslogForwarder::enqueue(const std::string& host, unsigned port, std::string_view line,
                              std::chrono::system_clock::time_point when) {
  // The front may be half written to the connection: it stays, the next oldest goes.
  const std::string full =
      frames.push(frame(host, port, line, when), offset > 0 ? 1 : 0, tally.dropped);
  if (!full.empty()) reporter(full);
}

void SyslogForwarder::resolve(Clock::time_point now) {
  const NameLookup::Status status = lookup.poll();
  if (status == NameLookup::Status::kPending) {
    nextAttemptAt = now + kResolverPoll;
    return;
  }
  if (status != NameLookup::Status::kResolved) {
    disconnect(now, "cannot resolve " + shownValue(destination.host) + ": " + lookup.error());
    return;
  }
  addressIndex = 0;
  connect(now);
}

void SyslogForwarder::connect(Clock::time_point now) {
  const NameLookup::Address& address = lookup.addresses()[addressIndex];
  // SOCK_NONBLOCK and SOCK_CLOEXEC are Linux-only: the socket is made non-blocking and closed on
  // exec in the one call.
  socketFd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  state = State::kConnecting;  // settled by the next pump(), also when connect() succeeds at once
  if (socketFd < 0) {
    connectFailed(now, std::strerror(errno));
  } else if (::connect(socketFd, reinterpret_cast<const sockaddr*>(&address.storage),
                       address.length) != 0 &&
             errno != EINPROGRESS) {
    connectFailed(now, std::strerror(errno));
  }
}

void SyslogForwarder::connectFailed(Clock::time_point now, const std::string& why) {
  if (socketFd >= 0) ::close(socketFd);
  socketFd = -1;
  if (addressIndex + 1 < lookup.addresses().size()) {
    ++addressIndex;
    connect(now);
    return;
  }
  disconnect(now, why);
}

void SyslogForwarder::noteUnconfirmed(const std::string& why) {
  if (onConnection == 0) return;
  tally.unconfirmed += onConnection;
  ++tally.unconfirmedConnections;
  reporter("forward: " + std::to_string(onConnection) + " lines written to " + destination.text +
           " are not confirmed: " + why);
  onConnection = 0;
}

void SyslogForwarder::disconnect(Clock::time_point now, const std::string& why) {
  // Whether the collector closed it or it broke, the lines written to it may not have been read.
  noteUnconfirmed(why);
  if (socketFd >= 0) ::close(socketFd);
  socketFd = -1;
  const bool wasConnected = state == State::kConnected;
  state = State::kIdle;
  offset = 0;  // a half-written line goes again whole; the collector drops the cut frame
  if (wasConnected) backoff.connected();
  nextAttemptAt = now + backoff.failed();
  if (wasConnected || failedAttempts == 0) {
    reporter("forward: " + destination.text + ": " + why + " (retrying; at most " +
             std::to_string(limits.maxLines) + " lines are held meanwhile)");
  }
  if (!wasConnected) ++failedAttempts;
}

bool SyslogForwarder::peerOpen(std::string& why) {
  char scratch[512];
  for (;;) {
    // MSG_DONTWAIT (Linux-only): this call returns at once when nothing waits.
    const ssize_t n = ::recv(socketFd, scratch, sizeof(scratch), MSG_DONTWAIT);
    if (n > 0) continue;  // a collector has nothing to say; whatever it sends is ignored
    if (n == 0) {
      why = "the collector closed the connection";
      return false;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    if (errno == EINTR) continue;
    why = std::strerror(errno);
    return false;
  }
}

void SyslogForwarder::pump(Clock::time_point now, short revents) {
  if (state == State::kResolving) resolve(now);
  if (state == State::kConnecting && revents != 0) {
    int error = 0;
    socklen_t length = sizeof(error);
    ::getsockopt(socketFd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
      connectFailed(now, std::strerror(error));
    } else {
      state = State::kConnected;
      onConnection = 0;
      ++tally.connections;
      backoff.connected();
      if (failedAttempts > 0 || tally.connections > 1) {
        reporter("forward: connected to " + destination.text + " again after " +
                 std::to_string(failedAttempts) + " failed attempts; " +
                 std::to_string(frames.size()) + " held lines follow");
      }
      failedAttempts = 0;
    }
  } else if (state == State::kConnected && (revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
    std::string why;
    if (!peerOpen(why)) disconnect(now, why);
  }
  if (state == State::kIdle && now >= nextAttemptAt) {
    // Every attempt resolves the name again, so a changed address is followed.
    lookup.start(destination.host, destination.port);
    state = State::kResolving;
    resolve(now);
  }
  if (state == State::kConnected && !frames.empty()) write(now);
}

void SyslogForwarder::write(Clock::time_point now) {
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
    // Linux-only flags: MSG_NOSIGNAL makes a connection the collector closed fail with EPIPE
    // instead of raising SIGPIPE; MSG_DONTWAIT makes the call take what fits and never wait.
    const ssize_t n = ::sendmsg(socketFd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
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

bool SyslogForwarder::closeWhenTaken() {
  std::string why;
  if (!peerOpen(why)) {
    noteUnconfirmed(why);  // ended by the collector first: what it did with the lines is unknown
  } else {
    int unacknowledged = 0;
    // SIOCOUTQ (Linux-only): the bytes written that the collector's kernel has not acknowledged.
    if (::ioctl(socketFd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged > 0) return false;
  }
  ::close(socketFd);
  socketFd = -1;
  state = State::kIdle;
  onConnection = 0;
  return true;
}

std::uint64_t SyslogForwarder::finish(Clock::time_point deadline) {
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (frames.empty() && (state != State::kConnected || closeWhenTaken())) break;
    if (now >= deadline) break;
    Clock::time_point wake = deadline;
    if (socketFd < 0) wake = std::min(wake, nextAttemptAt);
    if (frames.empty()) wake = std::min(wake, now + kTakenPoll);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
    pollfd watch{socketFd, events(), 0};
    const int ready =
        ::poll(&watch, socketFd >= 0 ? 1 : 0, static_cast<int>(std::max<long>(wait, 0)));
    pump(Clock::now(), ready > 0 ? watch.revents : 0);
  }
  const std::uint64_t left = frames.size();
  if (left > 0) {
    reporter("forward: " + std::to_string(left) + " lines could not be handed to " +
             destination.text + " before the end: lost");
  }
  if (state == State::kConnected) {
    noteUnconfirmed("the collector's kernel had not taken every byte before the end");
  }
  lookup.abandon();
  if (socketFd >= 0) ::close(socketFd);
  socketFd = -1;
  state = State::kIdle;
  return left;
}
