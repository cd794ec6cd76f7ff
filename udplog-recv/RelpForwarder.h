// Forwards reassembled lines to a syslog collector over RELP (rsyslog's imrelp), in plain text or
// TLS, and holds every line until the collector has acknowledged it. The receiving thread owns it
// and hands it lines; its own thread talks to librelp; the other members may be called from any.
//
// Failures: set-up steps answer with a ForwardResult; failures while running are one-line reports
// waiting in takeReports(), and fatal() once the collector can never be reached as configured.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "logger/core/ThreadAnnotations.h"
#include "udplog-recv/ForwardResult.h"
#include "udplog-recv/SyslogForwarder.h"

class RelpForwarder final {
 public:
  RelpForwarder(const RelpForwarder&) = delete;
  RelpForwarder& operator=(const RelpForwarder&) = delete;

  using Clock = std::chrono::steady_clock;

  static constexpr const char* kScheme = "relp";

  // TLS is on when caFile or fingerprints are set. The collector's certificate must chain to
  // caFile and name peerName (the target's host when empty), or, pinned instead, have one of the
  // fingerprints ("SHA256:AB:01:..."); certFile and keyFile, both or neither, are our own.
  struct Tls {
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    std::string peerName;
    std::vector<std::string> fingerprints;
    bool on() const { return !caFile.empty() || !fingerprints.empty(); }
  };

  struct Limits {
    std::size_t maxLines = 100000;
    std::size_t maxBytes = 64u << 20;
    std::chrono::milliseconds firstBackoff{100};
    std::chrono::milliseconds maxBackoff{5000};
    int window = 128;             // messages sent and not yet acknowledged, at most
    unsigned timeoutSeconds = 5;  // a collector silent this long has broken the session
  };

  struct Counts {
    std::uint64_t acknowledged = 0;
    std::uint64_t sentAgain = 0;  // by librelp on a new session, unacknowledged on the old one
    std::uint64_t dropped = 0;    // pushed out of the full backlog
    std::uint64_t sessions = 0;
    std::uint64_t held = 0;            // waiting or unacknowledged now
    std::uint64_t unacknowledged = 0;  // at the end: held when finish() returned
    std::uint64_t neverSent = 0;       // of those, never handed to the collector
  };

  // Reads the TLS files now, so that a missing or unreadable file, an expired certificate or a key
  // that does not belong to the certificate is one error naming the file before anything starts.
  static ForwardResult checkTls(const Tls& tls);

  // Starts the thread, which connects at once.
  RelpForwarder(SyslogForwarder::Target target, Tls tls, Limits limits);
  // Ends the thread as finish() with a deadline of now would.
  ~RelpForwarder();

  // Queues the line as the same RFC 5424 message that the tcp:// target sends
  // (SyslogForwarder::message()), without the count; line need only be valid during the call, the
  // message being a copy. Never blocks: the message joins a bounded backlog, past whose bound the
  // oldest waiting lines are dropped, counted and reported.
  void enqueue(const std::string& host, unsigned port, std::string_view line,
               std::chrono::system_clock::time_point when) EXCLUDES(mutex);

  // Until deadline: hands the backlog over and waits for the acknowledgements; then closes the
  // session. Returns when the thread is done, which may be up to timeoutSeconds after deadline
  // while a call into librelp waits for a silent collector.
  void finish(Clock::time_point deadline) EXCLUDES(mutex);

  // Reports since the last call, in order, each one line.
  std::vector<std::string> takeReports() EXCLUDES(mutex);
  // Why the collector can never be reached as configured (its certificate was refused, the TLS
  // set-up failed); "" otherwise. The thread ends when it is set.
  std::string fatal() const EXCLUDES(mutex);
  Counts counts() const EXCLUDES(mutex);
  const std::string& target() const { return destination.text; }

 private:
  // What librelp's debug hook tells of the thread's session: its count of unacknowledged messages
  // and what it sent again on re-establishing. Used by the thread only.
  struct Observed {
    bool seen = false;          // the hook reported the window at all
    int unacked = 0;            // messages in the window, including open and close
    std::uint64_t added = 0;    // messages put in the window
    std::uint64_t removed = 0;  // messages acknowledged
    int resent = 0;             // by the latest re-establishing
    std::string error;          // the latest error librelp reported
    bool authError = false;     // librelp refused the collector's certificate
  };
  static void onDebug(char* format, ...);
  static void onError(void* user, char* object, char* message, int code);
  static void onAuthError(void* user, char* peer, char* message, int code);
  static void onGenericError(char* object, char* message, int code);

  // The thread: hands the backlog to librelp, whose calls block while its window of
  // unacknowledged messages is full or the collector does not answer. A broken session is
  // re-established with a backoff that doubles from 100 ms to 5 s (in TLS, also when the
  // collector does not answer a handshake within timeoutSeconds): librelp itself sends again
  // what the collector had not acknowledged (counted as "sent again"), and the line whose
  // hand-over found the session broken, which librelp did not keep, is handed over again here.
  void run() EXCLUDES(mutex);
  void report(const std::string& text) EXCLUDES(mutex);

  // Constant after construction
  const SyslogForwarder::Target destination;
  const Tls tls;
  const Limits limits;

  // Guarded by mutex
  mutable Mutex mutex;
  std::condition_variable wake;  // the thread waits here for lines or finish()
  std::condition_variable done;  // finish() waits here for the thread
  std::deque<std::string> backlog GUARDED_BY(mutex);
  std::size_t backlogBytes GUARDED_BY(mutex) = 0;
  bool dropping GUARDED_BY(mutex) = false;  // reported the current run of backlog drops
  bool finishing GUARDED_BY(mutex) = false;
  Clock::time_point deadline GUARDED_BY(mutex){};
  bool finished GUARDED_BY(mutex) = false;
  std::string fatalError GUARDED_BY(mutex);
  std::vector<std::string> reports GUARDED_BY(mutex);
  Counts tally GUARDED_BY(mutex);

  // The thread's own
  Observed observed;

  std::thread thread;
};
