#include "udplog-recv/forward/RelpSession.h"

#include <poll.h>

#include <algorithm>

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

RelpSession::RelpSession(const Peer& thePeer, std::unique_ptr<IConnection> theConnection)
    : peer(thePeer), connection(std::move(theConnection)) {}

RelpSession::~RelpSession() {
  tls.reset();
  connection->close();
}

std::string RelpSession::within() const { return std::to_string(peer.timeoutSeconds) + " s"; }

ForwardResult RelpSession::open(Clock::time_point deadline) {
  if (ForwardResult connecting = connect(deadline); !connecting.ok()) return connecting;
  if (peer.credentials) {
    if (ForwardResult shaken = handshake(deadline); !shaken.ok()) return shaken;
  }
  return offer(deadline);
}

ForwardResult RelpSession::connect(Clock::time_point deadline) {
  const ForwardTarget& target = *peer.target;
  NameLookup& lookup = *peer.lookup;
  // Looked up at each attempt: a target whose address changed is found at the next one.
  NameLookup::Status status = lookup.start(target.host, target.port);
  if (status == NameLookup::Status::kPending) status = lookup.wait(deadline);
  if (status == NameLookup::Status::kPending) {
    lookup.abandon();
    return ForwardResult::transient("no answer from the name lookup of " + target.host +
                                    " within " + within());
  }
  if (status == NameLookup::Status::kFailed) {
    return ForwardResult::transient("cannot look up " + target.host + ": " + lookup.error());
  }
  ForwardResult last = ForwardResult::transient("no address for " + target.host);
  for (const NameLookup::Address& address : lookup.addresses()) {
    last = connectTo(address, deadline);
    if (last.ok()) break;
  }
  return last;
}

ForwardResult RelpSession::connectTo(const NameLookup::Address& address,
                                     Clock::time_point deadline) {
  tls.reset();
  if (ForwardResult started = connection->connect(address); !started.ok()) return started;
  if (!ready(POLLOUT, deadline)) {
    return ForwardResult::transient("no connection within " + within());
  }
  return connection->connected();
}

ForwardResult RelpSession::handshake(Clock::time_point deadline) {
  tls = std::make_unique<TlsTransport>(*connection, *peer.credentials);
  if (ForwardResult started = tls->start(peer.peerName, peer.fingerprints); !started.ok()) {
    return started;
  }
  for (;;) {
    bool done = false;
    const ForwardResult step = tls->handshake(done);
    if (step.isFatal()) {
      return ForwardResult::fatal("the target's certificate was refused: " + step.cause());
    }
    if (!step.ok()) return ForwardResult::transient("the TLS handshake failed: " + step.cause());
    if (done) return ForwardResult::success();
    if (!ready(tls->wantsWrite() ? POLLOUT : POLLIN, deadline)) {
      return ForwardResult::transient("no answer to the TLS handshake within " + within() +
                                      " (is the target stopped, or not RELP in TLS?)");
    }
  }
}

ForwardResult RelpSession::offer(Clock::time_point deadline) {
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
    if (!ready(events(), deadline)) {
      return ForwardResult::transient("no answer to the RELP open offer within " + within());
    }
    if (ForwardResult pumped = pump(POLLIN | POLLOUT, answer); !pumped.ok()) return pumped;
  }
  if (code != 200) {
    return ForwardResult::transient("the target refused the session: " +
                                    text.substr(0, text.find('\n')));
  }
  if (!takesSyslog(text)) {
    return ForwardResult::transient("the target does not take syslog messages (its answer: " +
                                    text.substr(0, text.find('\n')) + ")");
  }
  return ForwardResult::success();
}

bool RelpSession::ready(short wanted, Clock::time_point deadline) {
  if (wanted & POLLIN && tls && tls->pending()) return true;
  while (connection->now() < deadline) {
    if (connection->wait(wanted, deadline) != 0) return true;
  }
  return false;
}

short RelpSession::wait(Clock::time_point deadline, int wakeFd) {
  if (tls && tls->pending()) return POLLIN;
  return connection->wait(events(), deadline, wakeFd);
}

std::uint64_t RelpSession::send(std::string_view message) {
  const std::uint64_t txnr = nextTxnr;
  nextTxnr = nextTxnr == kMaxTxnr ? 1 : nextTxnr + 1;
  RelpFraming::frame(out, txnr, kSyslog, message);
  return txnr;
}

short RelpSession::events() const { return written < out.size() ? (POLLIN | POLLOUT) : POLLIN; }

ForwardResult RelpSession::pump(short revents, const OnAnswer& onAnswer) {
  if (ForwardResult wrote = writeSome(); !wrote.ok()) return wrote;
  if ((revents & (POLLIN | POLLHUP | POLLERR)) || (tls && tls->pending())) {
    return readSome(onAnswer);
  }
  return ForwardResult::success();
}

ForwardResult RelpSession::writeSome() {
  while (written < out.size()) {
    const char* data = out.data() + written;
    const std::size_t size = out.size() - written;
    std::size_t sent = 0;
    const ForwardResult result =
        tls ? tls->send(data, size, sent) : connection->send(data, size, sent);
    if (!result.ok()) return result;
    if (sent == 0) break;
    written += sent;
  }
  if (written == out.size()) {
    out.clear();
    written = 0;
  }
  return ForwardResult::success();
}

ForwardResult RelpSession::readSome(const OnAnswer& onAnswer) {
  char buffer[kReadSize];
  for (;;) {
    std::size_t got = 0;
    const ForwardResult result = tls ? tls->receive(buffer, sizeof(buffer), got)
                                     : connection->receive(buffer, sizeof(buffer), got);
    if (!result.ok()) return result;
    if (got == 0) return ForwardResult::success();
    reader.feed(buffer, got);
    RelpFraming::Frame frame;
    while (reader.next(frame)) {
      if (ForwardResult taken = take(frame, onAnswer); !taken.ok()) return taken;
    }
    if (!reader.error().empty()) {
      return ForwardResult::transient("the target sent no RELP: " + reader.error());
    }
  }
}

ForwardResult RelpSession::take(const RelpFraming::Frame& frame, const OnAnswer& onAnswer) {
  if (frame.command == kAnswer) {
    const int code = codeOf(frame.data);
    const std::string_view text = frame.data.substr(std::min<std::size_t>(frame.data.size(), 4));
    if (closeTxnr != 0 && frame.txnr == closeTxnr) {
      closeAnswered = true;
    } else {
      onAnswer(frame.txnr, code, code < 0 ? frame.data : text);
    }
    return ForwardResult::success();
  }
  if (frame.command == kServerClose) {
    return ForwardResult::transient("the target ended the session (serverclose)");
  }
  return ForwardResult::transient("the target sent a command a client does not take: " +
                                  std::string(frame.command));
}

ForwardResult RelpSession::close(Clock::time_point deadline, const OnAnswer& onAnswer) {
  closeTxnr = nextTxnr;
  RelpFraming::frame(out, closeTxnr, kClose, "");
  ForwardResult result = ForwardResult::success();
  while (!closeAnswered && result.ok()) {
    if (!ready(events(), deadline)) {
      result = ForwardResult::transient("no answer to the RELP close within " + within());
    } else {
      result = pump(POLLIN | POLLOUT, onAnswer);
    }
  }
  if (closeAnswered && tls) tls->bye();
  tls.reset();
  connection->close();
  return result;
}
