// One RELP session with the target, over a connection it owns: open() connects, makes the TLS
// handshake when credentials are given and has the target answer the open offer, all within one
// deadline; then send() queues syslog frames, pump() writes and reads without blocking and hands
// each answer on, and close() ends it. RelpForwarder's thread alone uses it. Every wait goes
// through the connection, so a scripted connection drives the session's time as well as its
// bytes.
//
// Every step answers with a ForwardResult: transient when a later session may work (no name, no
// connection, no answer, closed, garbage), fatal when the target's certificate failed our checks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "udplog-recv/forward/ForwardResult.h"
#include "udplog-recv/forward/ForwardTarget.h"
#include "udplog-recv/forward/IConnection.h"
#include "udplog-recv/forward/NameLookup.h"
#include "udplog-recv/forward/RelpFraming.h"

class TlsCredentials;
class TlsTransport;

class RelpSession final {
 public:
  using Clock = IConnection::Clock;
  // The one code that acknowledges a frame; any other refuses it.
  static constexpr int kAcknowledged = 200;
  // Transaction numbers go from 1 to kMaxTxnr and begin again at 1.
  static constexpr std::uint64_t kMaxTxnr = 999999999;
  // An answer to a frame: its transaction number, the code (the whole number the answer begins
  // with; -1 when it has none) and the text after it (all of it when there is no code).
  using OnAnswer = std::function<void(std::uint64_t txnr, int code, std::string_view text)>;

  // The target's host is looked up with lookup, the owner's, at each open(). credentials null:
  // plain RELP. Otherwise the target's certificate is checked against fingerprints when there
  // are any, else against the CA and peerName. timeoutSeconds is what the deadlines given stand
  // for, as the reports name it. *target, *lookup and *credentials must outlive the session.
  struct Peer {
    const ForwardTarget* target = nullptr;
    NameLookup* lookup = nullptr;
    unsigned timeoutSeconds = 5;
    const TlsCredentials* credentials = nullptr;
    std::string peerName;
    std::vector<std::string> fingerprints;
  };

  RelpSession(const Peer& peer, std::unique_ptr<IConnection> connection);
  ~RelpSession();
  RelpSession(const RelpSession&) = delete;
  RelpSession& operator=(const RelpSession&) = delete;

  // Looks the host up (the time-out at most), then tries its addresses in turn until one opens:
  // each gets the whole time-out for the connection, the TLS handshake and the open offer, and
  // none is begun once the stop's deadline (stop(), max while there is none) has come. Fatal when
  // a certificate was refused.
  ForwardResult open(const std::function<Clock::time_point()>& stop);

  // Queues a syslog frame with message; its transaction number.
  std::uint64_t send(std::string_view message);
  // Waits until the connection is ready for what the session wants (reading, and writing while
  // frames are queued), until deadline, or until wakeFd (an eventfd, or -1) is signalled. The
  // events ready, for pump().
  short wait(Clock::time_point deadline, int wakeFd = -1);
  // After wait() said revents: writes what the connection takes, reads what came and hands every
  // answer to onAnswer. Transient when the session broke.
  ForwardResult pump(short revents, const OnAnswer& onAnswer);
  // Sends close and waits for its answer by deadline, handing earlier answers on; transient when
  // the session broke first or the deadline came.
  ForwardResult close(Clock::time_point deadline, const OnAnswer& onAnswer);
  // Name lookups and connections of open() that ran out of the time-out.
  int timeouts() const { return timedOut; }
  // Why each address open() tried failed before the last one it tried ("127.0.0.2:514: no
  // connection within 5 s"), in order: what went wrong on the way to a session.
  const std::vector<std::string>& passedOver() const { return failedAddresses; }
  // Bytes the output holds, written ones not yet cut away included: what its frames cost.
  std::size_t held() const { return out.size(); }
  // The time by the connection's clock.
  Clock::time_point now() const { return connection->now(); }

 private:
  ForwardResult lookUp();
  ForwardResult openAt(const NameLookup::Address& address, Clock::time_point deadline);
  ForwardResult connectTo(const NameLookup::Address& address, Clock::time_point deadline);
  ForwardResult handshake(Clock::time_point deadline);
  ForwardResult offer(Clock::time_point deadline);
  short events() const;
  // Waits until the connection is ready for events or the deadline; false at the deadline.
  bool ready(short events, Clock::time_point deadline);
  ForwardResult writeSome();
  ForwardResult readSome(const OnAnswer& onAnswer);
  ForwardResult take(const RelpFraming::Frame& frame, const OnAnswer& onAnswer);
  std::string within() const;
  std::chrono::seconds timeout() const;

  // Constant after construction
  const Peer peer;
  const std::unique_ptr<IConnection> connection;

  std::unique_ptr<TlsTransport> tls;
  RelpFraming reader;
  std::string out;          // frames queued, from written on not yet written
  std::size_t written = 0;  // bytes of out already written
  std::uint64_t nextTxnr = 1;
  std::uint64_t closeTxnr = 0;  // the close frame's, once sent
  bool closeAnswered = false;
  int timedOut = 0;
  std::vector<std::string> failedAddresses;
};
