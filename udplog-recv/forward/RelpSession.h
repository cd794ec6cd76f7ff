// One RELP session with the collector, which owns its socket: open() connects, makes the TLS
// handshake when credentials are given and has the collector answer the open offer, all within
// one deadline; then send() queues syslog frames, pump() writes and reads without blocking and
// hands each answer on, and close() ends it. RelpForwarder's thread alone uses it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "udplog-recv/forward/NameLookup.h"
#include "udplog-recv/forward/RelpFraming.h"
#include "udplog-recv/forward/SyslogForwarder.h"

class TlsCredentials;
class TlsTransport;

class RelpSession final {
 public:
  using Clock = std::chrono::steady_clock;
  // An answer to a frame: its transaction number, the code (200 is success) and the text after.
  using OnAnswer = std::function<void(std::uint64_t txnr, int code, std::string_view text)>;

  // The target's host is looked up with lookup, the owner's, at each open(). credentials null:
  // plain RELP. Otherwise the collector's certificate is checked against fingerprints when there
  // are any, else against the CA and peerName. timeoutSeconds is what the deadlines given stand
  // for, as the reports name it.
  struct Peer {
    const SyslogForwarder::Target* target = nullptr;
    NameLookup* lookup = nullptr;
    unsigned timeoutSeconds = 5;
    const TlsCredentials* credentials = nullptr;
    std::string peerName;
    std::vector<std::string> fingerprints;
  };

  explicit RelpSession(const Peer& peer);
  ~RelpSession();
  RelpSession(const RelpSession&) = delete;
  RelpSession& operator=(const RelpSession&) = delete;

  enum class Outcome {
    kOpen,     // ready for send()
    kFailed,   // try again later: no name, no connection, no answer, closed
    kRefused,  // the collector's certificate failed our checks: trying again cannot help
  };
  // Looks the host up, connects and opens the session by deadline; why names the cause otherwise.
  Outcome open(Clock::time_point deadline, std::string& why);

  // Queues a syslog frame with message; its transaction number.
  std::uint64_t send(std::string_view message);
  // The socket to poll and the events wanted.
  int fd() const { return socket; }
  short events() const;
  // After poll() said revents: writes what the socket takes, reads what came and hands every
  // answer to onAnswer. False when the session broke, why saying how.
  bool pump(short revents, const OnAnswer& onAnswer, std::string& why);
  // Sends close and waits for its answer by deadline, handing earlier answers on; false when the
  // session broke first or the deadline came, why saying how.
  bool close(Clock::time_point deadline, const OnAnswer& onAnswer, std::string& why);

 private:
  bool connect(Clock::time_point deadline, std::string& why);
  bool connectTo(const sockaddr* address, socklen_t length, Clock::time_point deadline,
                 std::string& why);
  Outcome handshake(Clock::time_point deadline, std::string& why);
  bool offer(Clock::time_point deadline, std::string& why);
  // Waits until the socket is ready for events or the deadline; false at the deadline.
  bool wait(short events, Clock::time_point deadline) const;
  bool writeSome(std::string& why);
  bool readSome(const OnAnswer& onAnswer, std::string& why);
  bool take(const RelpFraming::Frame& frame, const OnAnswer& onAnswer, std::string& why);
  void drop();
  std::string within() const;

  // Constant after construction
  const Peer peer;

  int socket = -1;
  std::unique_ptr<TlsTransport> tls;
  RelpFraming reader;
  std::string out;          // frames queued, from written on not yet written
  std::size_t written = 0;  // bytes of out already written
  std::uint64_t nextTxnr = 1;
  std::uint64_t closeTxnr = 0;  // the close frame's, once sent
  bool closeAnswered = false;
};
