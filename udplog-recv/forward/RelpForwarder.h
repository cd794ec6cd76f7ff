// Forwards reassembled lines to a syslog target over RELP (rsyslog's imrelp), in plain text or
// TLS, and holds every line until the target has answered it. The receiving thread owns it and
// hands it lines; its own thread runs the sessions (RelpSession), waiting on the connection and an
// eventfd that wakes it; the other members may be called from any thread.
//
// Failures: set-up steps and status() answer with a ForwardResult (fatal once the target can
// never be reached as configured); failures while running are one-line reports waiting in
// takeReports().
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "logger/core/ThreadAnnotations.h"
#include "udplog-recv/forward/AnswerWindow.h"
#include "udplog-recv/forward/Backoff.h"
#include "udplog-recv/forward/BoundedBacklog.h"
#include "udplog-recv/forward/ForwardResult.h"
#include "udplog-recv/forward/ForwardTarget.h"
#include "udplog-recv/forward/IConnection.h"
#include "udplog-recv/forward/NameLookup.h"

class RelpSession;
class TlsCredentials;

class RelpForwarder final {
 public:
  RelpForwarder(const RelpForwarder&) = delete;
  RelpForwarder& operator=(const RelpForwarder&) = delete;

  using Clock = IConnection::Clock;

  // Where the thread's connections and time come from: TcpConnection, the steady clock and
  // poll() in a real run, a test's scripted connection and fake clock otherwise. The thread calls
  // every member; the destructor reads now() too.
  struct Seam {
    std::function<std::unique_ptr<IConnection>()> connect;  // a new one for each session
    std::function<Clock::time_point()> now;
    // Waits until until, or until wakeFd (an eventfd, or -1) is signalled, taking its count.
    std::function<void(Clock::time_point until, int wakeFd)> sleep;
    NameLookup::Resolver resolve = ::getaddrinfo;

    static Seam real();
  };

  static constexpr const char* kScheme = "relp";

  // TLS is on when caFile or fingerprints are set. The target's certificate must chain to
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
    std::size_t maxLines = 100000;     // held for the target at most, wherever they are
    std::size_t maxBytes = 64u << 20;  // their bytes, a window's frames counted twice
    // The largest message the target takes; a longer one is refused here, never sent.
    std::size_t maxMessageBytes = 1u << 20;
    std::chrono::milliseconds firstBackoff{100};
    std::chrono::milliseconds maxBackoff{5000};
    int window = 1024;            // syslog frames sent and not yet answered, at most
    unsigned timeoutSeconds = 5;  // bounds every wait: connect, handshake, an answer, the close
  };

  struct Counts {
    std::uint64_t acknowledged = 0;
    std::uint64_t refused = 0;    // answered with a code other than 200, or given up
    std::uint64_t givenUp = 0;    // of those, lines that broke every session they went on
    std::uint64_t tooLong = 0;    // of those, lines over maxMessageBytes, never sent
    std::uint64_t timedOut = 0;   // name lookups and connections past the time-out
    std::uint64_t sentAgain = 0;  // lines sent on a new session, unanswered on a broken one
    std::uint64_t dropped = 0;    // pushed out of the full backlog
    std::uint64_t sessions = 0;
    std::uint64_t held = 0;            // waiting or unanswered now
    std::uint64_t unacknowledged = 0;  // at the end: held when finish() returned
    std::uint64_t neverSent = 0;       // of those, never handed to the target
  };

  // Reads the TLS files now, so that a missing or unreadable file, a file without a usable
  // certificate or a key that does not belong to the certificate is one error naming the file
  // before anything starts. note, when given, gets a line worth saying about the CA file.
  static ForwardResult checkTls(const Tls& tls, std::string* note = nullptr);

  // Starts the thread, which connects at once.
  RelpForwarder(ForwardTarget target, Tls tls, Limits limits, Seam seam = Seam::real());
  // Ends the thread as finish() with a deadline of now would.
  ~RelpForwarder();

  // Queues the line as the same RFC 5424 message that the tcp:// target sends
  // (SyslogMessage::message()); line need only be valid during the call, the message being a
  // copy. Never blocks. Every line held for the target, wherever it is (the backlog, the window
  // of unanswered lines, the session's output), counts against maxLines and maxBytes: past them
  // the oldest line not in a live window is dropped (a line sent on a broken session first),
  // counted and reported; the new line itself when the window holds all there is room for.
  void enqueue(const std::string& host, unsigned port, std::string_view line,
               std::chrono::system_clock::time_point when) EXCLUDES(mutex);

  // Until deadline: sends the backlog and waits for the answers, reconnecting while lines are
  // unanswered; then closes the session. Returns when the thread is done, at most timeoutSeconds
  // after deadline.
  void finish(Clock::time_point deadline) EXCLUDES(mutex);

  // Reports since the last call, in order, each one line.
  std::vector<std::string> takeReports() EXCLUDES(mutex);
  // Fatal once the target can never be reached as configured (its certificate was refused), and
  // the thread ends; ok until then.
  ForwardResult status() const EXCLUDES(mutex);
  Counts counts() const EXCLUDES(mutex);
  const std::string& target() const { return destination.text; }

 private:
  using Line = AnswerWindow::Line;

  // The thread: while no session is open, opens one when the backoff allows (100 ms doubling to
  // 5 s, back to 100 ms once a session's target took a line); while one is open, keeps up to
  // window frames unanswered, lines sent again first, and sees a break when it happens. A line
  // that was the oldest unanswered one of 3 broken sessions goes alone; if that session breaks
  // too, it is given up.
  void run() EXCLUDES(mutex);
  // Takes lines from the backlog and publishes the counts; what the thread does next.
  enum class Step { kConnect, kServe, kWait, kEnd };
  Step next(Clock::time_point& wakeAt) EXCLUDES(mutex);
  // The thread's own counts and its fatal cause, into what other threads read.
  void publish() REQUIRES(mutex);
  void connect() EXCLUDES(mutex);
  void serve(Clock::time_point now, Clock::time_point wakeAt);
  void fillWindow(Clock::time_point now) EXCLUDES(mutex);
  // The lines that go into the window now, taken out of the backlog.
  std::vector<Line> takeForWindow() EXCLUDES(mutex);
  void answered(Clock::time_point now, std::uint64_t txnr, int code, std::string_view text);
  // The session broke: its unanswered lines go first on the next one.
  void broke(Clock::time_point now, const std::string& why) EXCLUDES(mutex);
  void failed(Clock::time_point now, const std::string& why) EXCLUDES(mutex);
  void end() EXCLUDES(mutex);
  // Waits for the wake eventfd until until, while no session is open.
  void waitForWake(Clock::time_point until);
  // The latest time a wait may end: the wake eventfd's signal ends it, or, without one, a look
  // every 100 ms.
  Clock::time_point wakeLimit() const;
  // The deadline finish() gave; max until it is called.
  Clock::time_point stopDeadline() const EXCLUDES(mutex);
  // The time-out of every wait, as a duration.
  std::chrono::seconds timeout() const;
  void report(const std::string& text) EXCLUDES(mutex);

  // Constant after construction
  const ForwardTarget destination;
  const Tls tls;
  const Limits limits;
  const Seam seam;
  const int wakeFd;  // an eventfd: enqueue() and finish() wake the thread's poll with it

  // Guarded by mutex
  mutable Mutex mutex;
  std::condition_variable done;  // finish() waits here for the thread
  // Lines not in the window, oldest first: never sent, or sent on a session that broke.
  BoundedBacklog<Line> backlog GUARDED_BY(mutex);
  bool wanting GUARDED_BY(mutex) = false;  // the thread waits and would take lines
  // What the thread holds outside the backlog, for its bound: the window's unanswered lines, and
  // their bytes with the session's output. Published by the thread; never less than the truth.
  std::size_t windowLines GUARDED_BY(mutex) = 0;
  std::size_t windowBytes GUARDED_BY(mutex) = 0;
  bool finishing GUARDED_BY(mutex) = false;
  Clock::time_point deadline GUARDED_BY(mutex){};
  bool finished GUARDED_BY(mutex) = false;
  ForwardResult fatalError GUARDED_BY(mutex) = ForwardResult::success();
  std::vector<std::string> reports GUARDED_BY(mutex);
  Counts tally GUARDED_BY(mutex);

  // The thread's own
  NameLookup lookup;
  std::unique_ptr<TlsCredentials> credentials;
  std::unique_ptr<RelpSession> session;
  AnswerWindow unanswered;        // sent on this session, oldest first
  Clock::time_point answerDue{};  // unanswered frames past it break the session
  Clock::time_point nextAttempt{};
  Backoff backoff;
  std::uint64_t failedAttempts = 0;  // since the last session
  bool openedBefore = false;
  bool acknowledgedOnSession = false;  // the session took a line: the backoff starts over
  bool stopSeen = false;               // the thread has seen finish() called
  ForwardResult fatalCause = ForwardResult::success();
  Counts local;  // acknowledged, refused, sentAgain and sessions, published under the lock

  std::thread thread;
};
