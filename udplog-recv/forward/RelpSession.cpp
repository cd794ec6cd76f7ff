#include "udplog-recv/forward/RelpSession.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "udplog-recv/forward/TlsCredentials.h"
#include "udplog-recv/forward/TlsTransport.h"

namespace {

constexpr const char* kOpen = "open";
constexpr const char* kSyslog = "syslog";
constexpr const char* kClose = "close";
constexpr const char* kAnswer = "rsp";
constexpr const char* kServerClose = "serverclose";
// What we offer: the protocol's only version, and the one command we send.
constexpr const char* kOffer = "relp_version=0\nrelp_software=udplog-recv\ncommands=syslog";
// Transaction numbers go from 1 to 999 999 999 and begin again at 1.
constexpr std::uint64_t kMaxTxnr = 999999999;
constexpr std::size_t kReadSize = 64 * 1024;

int millisUntil(RelpSession::Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - RelpSession::Clock::now());
  return static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 1 << 30));
}

// The code of an answer's text ("200 OK"); -1 when it has none.
int codeOf(std::string_view text) {
  if (text.size() < 3 ||
      !std::all_of(text.begin(), text.begin() + 3, [](char c) { return c >= '0' && c <= '9'; })) {
    return -1;
  }
  return (text[0] - '0') * 100 + (text[1] - '0') * 10 + (text[2] - '0');
}

// Whether the open answer's "commands=" line names syslog.
bool takesSyslog(std::string_view text) {
  const std::size_t at = text.find("\ncommands=");
  if (at == std::string_view::npos) return false;
  std::string_view list = text.substr(at + 10);
  list = list.substr(0, list.find('\n'));
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    if (list.substr(0, comma) == kSyslog) return true;
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
  return false;
}

}  // namespace

RelpSession::RelpSession(const Peer& thePeer) : peer(thePeer) {}

RelpSession::~RelpSession() { drop(); }

std::string RelpSession::within() const { return std::to_string(peer.timeoutSeconds) + " s"; }

void RelpSession::drop() {
  tls.reset();
  if (socket >= 0) ::close(socket);
  socket = -1;
}

RelpSession::Outcome RelpSession::open(Clock::time_point deadline, std::string& why) {
  if (!connect(deadline, why)) return Outcome::kFailed;
  if (peer.credentials) {
    const Outcome shaken = handshake(deadline, why);
    if (shaken != Outcome::kOpen) return shaken;
  }
  return offer(deadline, why) ? Outcome::kOpen : Outcome::kFailed;
}

bool RelpSession::connect(Clock::time_point deadline, std::string& why) {
  const SyslogForwarder::Target& target = *peer.target;
  NameLookup& lookup = *peer.lookup;
  // Looked up at each attempt: a collector whose address changed is found at the next one.
  NameLookup::Status status = lookup.start(target.host, target.port);
  if (status == NameLookup::Status::kPending) status = lookup.wait(deadline);
  if (status == NameLookup::Status::kPending) {
    lookup.abandon();
    why = "no answer from the name lookup of " + target.host + " within " + within();
    return false;
  }
  if (status == NameLookup::Status::kFailed) {
    why = "cannot look up " + target.host + ": " + lookup.error();
    return false;
  }
  for (const NameLookup::Address& address : lookup.addresses()) {
    if (connectTo(reinterpret_cast<const sockaddr*>(&address.storage), address.length, deadline,
                  why)) {
      return true;
    }
  }
  return false;
}

bool RelpSession::connectTo(const sockaddr* address, socklen_t length, Clock::time_point deadline,
                            std::string& why) {
  drop();
  socket = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (socket < 0) {
    why = std::string("cannot make a socket: ") + std::strerror(errno);
    return false;
  }
  if (::connect(socket, address, length) != 0 && errno != EINPROGRESS) {
    why = std::string("cannot connect: ") + std::strerror(errno);
    return false;
  }
  if (!wait(POLLOUT, deadline)) {
    why = "no connection within " + within();
    return false;
  }
  int error = 0;
  socklen_t size = sizeof(error);
  ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size);
  if (error != 0) {
    why = std::string("cannot connect: ") + std::strerror(error);
    return false;
  }
  return true;
}

RelpSession::Outcome RelpSession::handshake(Clock::time_point deadline, std::string& why) {
  tls = std::make_unique<TlsTransport>(socket, *peer.credentials, peer.peerName, peer.fingerprints);
  for (;;) {
    std::string cause;
    switch (tls->handshake(cause)) {
      case TlsTransport::Step::kDone:
        return Outcome::kOpen;
      case TlsTransport::Step::kRefused:
        why = "the collector's certificate was refused: " + cause;
        return Outcome::kRefused;
      case TlsTransport::Step::kFailed:
        why = "the TLS handshake failed: " + cause;
        return Outcome::kFailed;
      case TlsTransport::Step::kAgain:
        break;
    }
    if (!wait(tls->wantsWrite() ? POLLOUT : POLLIN, deadline)) {
      why = "no answer to the TLS handshake within " + within() +
            " (is the collector stopped, or not RELP in TLS?)";
      return Outcome::kFailed;
    }
  }
}

bool RelpSession::offer(Clock::time_point deadline, std::string& why) {
  const std::uint64_t txnr = nextTxnr++;
  RelpFraming::frame(out, txnr, kOpen, kOffer);
  int code = -1;
  std::string text;
  const OnAnswer answer = [&](std::uint64_t number, int theCode, std::string_view theText) {
    if (number == txnr) {
      code = theCode;
      text.assign(theText);
    }
  };
  while (code < 0) {
    if (!wait(events(), deadline)) {
      why = "no answer to the RELP open offer within " + within();
      return false;
    }
    if (!pump(POLLIN | POLLOUT, answer, why)) return false;
  }
  if (code != 200) {
    why = "the collector refused the session: " + text.substr(0, text.find('\n'));
    return false;
  }
  if (!takesSyslog(text)) {
    why = "the collector does not take syslog messages (its answer: " +
          text.substr(0, text.find('\n')) + ")";
    return false;
  }
  return true;
}

bool RelpSession::wait(short events, Clock::time_point deadline) const {
  if (events & POLLIN && tls && tls->pending()) return true;
  pollfd watch{socket, events, 0};
  for (;;) {
    const int ready = ::poll(&watch, 1, millisUntil(deadline));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

std::uint64_t RelpSession::send(std::string_view message) {
  const std::uint64_t txnr = nextTxnr;
  nextTxnr = nextTxnr == kMaxTxnr ? 1 : nextTxnr + 1;
  RelpFraming::frame(out, txnr, kSyslog, message);
  return txnr;
}

short RelpSession::events() const { return written < out.size() ? (POLLIN | POLLOUT) : POLLIN; }

bool RelpSession::pump(short revents, const OnAnswer& onAnswer, std::string& why) {
  if (!writeSome(why)) return false;
  if ((revents & (POLLIN | POLLHUP | POLLERR)) || (tls && tls->pending())) {
    return readSome(onAnswer, why);
  }
  return true;
}

bool RelpSession::writeSome(std::string& why) {
  while (written < out.size()) {
    const char* data = out.data() + written;
    const std::size_t size = out.size() - written;
    long sent;
    if (tls) {
      sent = tls->send(data, size, why);
    } else {
      sent = ::send(socket, data, size, MSG_NOSIGNAL);
      if (sent < 0) {
        sent = errno == EAGAIN || errno == EINTR ? -1 : -2;
        if (sent == -2) why = std::string("the connection broke: ") + std::strerror(errno);
      }
    }
    if (sent == -1) break;
    if (sent < 0) return false;
    written += static_cast<std::size_t>(sent);
  }
  if (written == out.size()) {
    out.clear();
    written = 0;
  }
  return true;
}

bool RelpSession::readSome(const OnAnswer& onAnswer, std::string& why) {
  char buffer[kReadSize];
  for (;;) {
    long got;
    if (tls) {
      got = tls->receive(buffer, sizeof(buffer), why);
    } else {
      got = ::recv(socket, buffer, sizeof(buffer), 0);
      if (got < 0) {
        got = errno == EAGAIN || errno == EINTR ? -1 : -2;
        if (got == -2) why = std::string("the connection broke: ") + std::strerror(errno);
      }
    }
    if (got == -1) return true;
    if (got == -2) return false;
    if (got == 0) {
      why = "the collector closed the connection";
      return false;
    }
    reader.feed(buffer, static_cast<std::size_t>(got));
    RelpFraming::Frame frame;
    while (reader.next(frame)) {
      if (!take(frame, onAnswer, why)) return false;
    }
    if (!reader.error().empty()) {
      why = "the collector sent no RELP: " + reader.error();
      return false;
    }
  }
}

bool RelpSession::take(const RelpFraming::Frame& frame, const OnAnswer& onAnswer,
                       std::string& why) {
  if (frame.command == kAnswer) {
    const int code = codeOf(frame.data);
    const std::string_view text = frame.data.substr(std::min<std::size_t>(frame.data.size(), 4));
    if (closeTxnr != 0 && frame.txnr == closeTxnr) {
      closeAnswered = true;
    } else {
      onAnswer(frame.txnr, code, code < 0 ? frame.data : text);
    }
    return true;
  }
  if (frame.command == kServerClose) {
    why = "the collector ended the session (serverclose)";
    return false;
  }
  why = "the collector sent a command a client does not take: " + std::string(frame.command);
  return false;
}

bool RelpSession::close(Clock::time_point deadline, const OnAnswer& onAnswer, std::string& why) {
  closeTxnr = nextTxnr;
  RelpFraming::frame(out, closeTxnr, kClose, "");
  while (!closeAnswered) {
    if (!wait(events(), deadline)) {
      why = "no answer to the RELP close within " + within();
      break;
    }
    if (!pump(POLLIN | POLLOUT, onAnswer, why)) break;
  }
  if (closeAnswered && tls) tls->bye();
  drop();
  return closeAnswered;
}
