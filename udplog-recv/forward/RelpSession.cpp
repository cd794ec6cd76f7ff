#include "udplog-recv/forward/RelpSession.h"

#include <poll.h>

#include <algorithm>

#include "platform/ShownValue.h"
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
constexpr std::size_t kReadSize = 64 * 1024;
// What one pump() reads at most, so that a target that floods answers cannot keep the thread from
// its deadline and its other work.
constexpr std::size_t kReadRound = 1u << 20;
// Written bytes kept at the front of the output before they are cut away: cutting costs a move
// of what is left, so it waits for this much, or for half the output.
constexpr std::size_t kWrittenKept = 64 * 1024;

// The code of an answer's text: the whole number before a space, a line feed or the end ("200
// OK" is 200, "2000 odd" 2000); -1 when the text has none ("OK", "200x", ten digits or more).
// Into rest goes the text after the number and its space.
int codeOf(std::string_view text, std::string_view& rest) {
  const std::size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
  if (digits == 0 || digits > 9 ||
      (digits < text.size() && text[digits] != ' ' && text[digits] != '\n')) {
    rest = text;
    return -1;
  }
  rest = text.substr(std::min(digits + 1, text.size()));
  if (digits < text.size() && text[digits] == '\n') rest = text.substr(digits);
  int code = 0;
  for (std::size_t i = 0; i < digits; ++i) code = code * 10 + (text[i] - '0');
  return code;
}

// An answer's first line, as a report shows it.
std::string firstLine(std::string_view text) { return shownValue(text.substr(0, text.find('\n'))); }

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

std::chrono::seconds RelpSession::timeout() const {
  return std::chrono::seconds(peer.timeoutSeconds);
}

ForwardResult RelpSession::open(const std::function<Clock::time_point()>& stop) {
  if (ForwardResult found = lookUp(); !found.ok()) return found;
  const std::vector<NameLookup::Address> addresses = peer.lookup->addresses();
  ForwardResult last = ForwardResult::transient("no address for " + peer.target->host);
  for (const NameLookup::Address& address : addresses) {
    // Each address has the whole time-out; none is begun after the stop.
    if (&address != &addresses.front()) {
      if (connection->now() >= stop()) break;
      failedAddresses.push_back(last.cause());
    }
    last = openAt(address, connection->now() + timeout());
    if (last.ok() || last.isFatal()) return last;
    // A name's addresses are tried in turn: the report says which one failed.
    if (NameLookup::text(address) != peer.target->host) {
      last = ForwardResult::transient(NameLookup::text(address) + ": " + last.cause());
    }
  }
  return last;
}

ForwardResult RelpSession::openAt(const NameLookup::Address& address, Clock::time_point deadline) {
  if (ForwardResult connecting = connectTo(address, deadline); !connecting.ok()) {
    return connecting;
  }
  if (peer.credentials) {
    if (ForwardResult shaken = handshake(deadline); !shaken.ok()) return shaken;
  }
  return offer(deadline);
}

ForwardResult RelpSession::lookUp() {
  const ForwardTarget& target = *peer.target;
  NameLookup& lookup = *peer.lookup;
  // Looked up at each attempt, so that a target whose address changed is found at the next one;
  // but a lookup still running from an earlier attempt is waited for, not begun again, so that a
  // resolver that never answers holds one thread, not one per attempt.
  NameLookup::Status status = lookup.status() == NameLookup::Status::kPending
                                  ? lookup.poll()
                                  : lookup.start(target.host, target.port);
  const Clock::time_point deadline = connection->now() + timeout();
  while (status == NameLookup::Status::kPending && connection->now() < deadline) {
    (void)connection->wait(0, std::min(connection->now() + NameLookup::kPollInterval, deadline));
    status = lookup.poll();
  }
  if (status == NameLookup::Status::kPending) {
    ++timedOut;
    return ForwardResult::transient("no answer from the name lookup of " + shownValue(target.host) +
                                    " within " + within());
  }
  if (status == NameLookup::Status::kFailed) {
    return ForwardResult::transient("cannot resolve " + shownValue(target.host) + ": " +
                                    lookup.error());
  }
  return ForwardResult::success();
}

ForwardResult RelpSession::connectTo(const NameLookup::Address& address,
                                     Clock::time_point deadline) {
  tls.reset();
  if (ForwardResult started = connection->connect(address); !started.ok()) return started;
  if (!ready(POLLOUT, deadline)) {
    ++timedOut;
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
  bool answered = false;
  int code = -1;
  std::string text;
  const OnAnswer answer = [&](std::uint64_t number, int theCode, std::string_view theText) {
    if (number == txnr) {
      answered = true;
      code = theCode;
      text.assign(theText);
    }
  };
  while (!answered) {
    if (!ready(events(), deadline)) {
      return ForwardResult::transient("no answer to the RELP open offer within " + within());
    }
    if (ForwardResult pumped = pump(POLLIN | POLLOUT, answer); !pumped.ok()) return pumped;
  }
  if (code < 0) {
    return ForwardResult::transient("the target answered the RELP open offer without a code: " +
                                    firstLine(text));
  }
  if (code != kAcknowledged) {
    return ForwardResult::transient("the target refused the session: " + std::to_string(code) +
                                    " " + firstLine(text));
  }
  if (!takesSyslog(text)) {
    return ForwardResult::transient("the target does not take syslog messages (its answer: " +
                                    std::to_string(code) + " " + firstLine(text) + ")");
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
  // A target that reads slower than we send keeps the output from ever emptying: what it took
  // goes, so that the output holds only what is still to be written.
  if (written == out.size()) {
    out.clear();
    written = 0;
  } else if (written >= kWrittenKept && written >= out.size() / 2) {
    out.erase(0, written);
    written = 0;
  }
  return ForwardResult::success();
}

ForwardResult RelpSession::readSome(const OnAnswer& onAnswer) {
  char buffer[kReadSize];
  for (std::size_t round = 0; round < kReadRound; round += sizeof(buffer)) {
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
  return ForwardResult::success();  // the rest waits for the next round
}

ForwardResult RelpSession::take(const RelpFraming::Frame& frame, const OnAnswer& onAnswer) {
  if (frame.command == kAnswer) {
    std::string_view text;
    const int code = codeOf(frame.data, text);
    if (closeTxnr != 0 && frame.txnr == closeTxnr) {
      closeAnswered = true;
    } else {
      onAnswer(frame.txnr, code, text);
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
