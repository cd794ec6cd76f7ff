#include "udplog-recv/forward/RelpForwarder.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/ShownValue.h"
#include "udplog-recv/forward/PollWait.h"
#include "udplog-recv/forward/RelpSession.h"
#include "udplog-recv/forward/SyslogMessage.h"
#include "udplog-recv/forward/TcpConnection.h"
#include "udplog-recv/forward/TlsCredentials.h"

namespace {

// Lines the thread takes from the backlog at once, so that the lock is not taken per line.
constexpr std::size_t kBatch = 1024;
constexpr int kAcknowledged = 200;

}  // namespace

ForwardResult RelpForwarder::checkTls(const Tls& tls, std::string* note) {
  if (!tls.on()) return ForwardResult::success();
  TlsCredentials files;
  ForwardResult loaded = files.load(tls.caFile, tls.certFile, tls.keyFile);
  if (loaded.ok() && note) *note = files.note();
  return loaded;
}

RelpForwarder::Seam RelpForwarder::Seam::real() {
  return Seam{[] { return std::make_unique<TcpConnection>(); }, [] { return Clock::now(); },
              [](Clock::time_point until, int wake) { (void)PollWait::until(-1, 0, until, wake); }};
}

RelpForwarder::RelpForwarder(ForwardTarget target, Tls theTls, Limits theLimits, Seam theSeam)
    : destination(std::move(target)),
      tls(std::move(theTls)),
      limits(theLimits),
      seam(std::move(theSeam)),
      wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      backlog(destination.text, theLimits.maxLines, theLimits.maxBytes),
      backoff(theLimits.firstBackoff, theLimits.maxBackoff) {
  if (tls.on()) {
    credentials = std::make_unique<TlsCredentials>();
    if (const ForwardResult loaded = credentials->load(tls.caFile, tls.certFile, tls.keyFile);
        !loaded.ok()) {
      fatalCause = ForwardResult::fatal("forward: " + destination.text + ": " + loaded.cause());
    }
  }
  thread = std::thread([this] { run(); });
}

RelpForwarder::~RelpForwarder() {
  finish(seam.now());
  thread.join();
  if (wakeFd >= 0) ::close(wakeFd);
}

void RelpForwarder::enqueue(const std::string& host, unsigned port, std::string_view line,
                            std::chrono::system_clock::time_point when) {
  std::string message = SyslogMessage::message(host, port, line, when);
  MutexLock lock(mutex);
  std::string full = backlog.push(std::move(message), 0, tally.dropped);
  if (!full.empty()) reports.push_back(std::move(full));
  ++tally.held;
  if (wanting) {
    wanting = false;
    const std::uint64_t one = 1;
    (void)!::write(wakeFd, &one, sizeof(one));
  }
}

void RelpForwarder::finish(Clock::time_point theDeadline) {
  MutexLock lock(mutex);
  if (!finishing || theDeadline < deadline) deadline = theDeadline;
  finishing = true;
  const std::uint64_t one = 1;
  (void)!::write(wakeFd, &one, sizeof(one));
  done.wait(lock.waitable(), [this]() REQUIRES(mutex) { return finished; });
}

std::vector<std::string> RelpForwarder::takeReports() {
  MutexLock lock(mutex);
  std::vector<std::string> out;
  out.swap(reports);
  return out;
}

ForwardResult RelpForwarder::status() const {
  MutexLock lock(mutex);
  return fatalError;
}

RelpForwarder::Counts RelpForwarder::counts() const {
  MutexLock lock(mutex);
  return tally;
}

void RelpForwarder::report(const std::string& text) {
  MutexLock lock(mutex);
  reports.push_back(text);
}

void RelpForwarder::run() {
  for (;;) {
    Clock::time_point wakeAt;
    const Step step = next(wakeAt);
    if (step == Step::kEnd) break;
    if (step == Step::kConnect) {
      connect(seam.now());
    } else if (step == Step::kServe) {
      serve(seam.now(), wakeAt);
    } else {
      waitForWake(wakeAt);
    }
  }
  end();
}

RelpForwarder::Step RelpForwarder::next(Clock::time_point& wakeAt) {
  MutexLock lock(mutex);
  tally.acknowledged = local.acknowledged;
  tally.refused = local.refused;
  tally.sentAgain = local.sentAgain;
  tally.sessions = local.sessions;
  tally.held = backlog.size() + waiting.size() + unanswered.size();
  if (!fatalCause.ok() && fatalError.ok()) fatalError = fatalCause;
  while (waiting.size() < kBatch && !backlog.empty()) {
    waiting.push_back(Line{backlog.takeFront(), false});
  }
  if (backlog.empty()) backlog.taken();
  const Clock::time_point now = seam.now();
  // At the end, a broken session is opened again for the lines it had not answered.
  const bool handedOver = waiting.empty() && unanswered.empty();
  if (!fatalCause.ok() || (finishing && (now >= deadline || handedOver))) return Step::kEnd;
  wakeAt = finishing ? deadline : Clock::time_point::max();
  wanting = waiting.size() < kBatch;
  if (session) {
    if (!unanswered.empty()) wakeAt = std::min(wakeAt, answerDue);
    return Step::kServe;
  }
  if (now >= nextAttempt) return Step::kConnect;
  wakeAt = std::min(wakeAt, nextAttempt);
  return Step::kWait;
}

void RelpForwarder::waitForWake(Clock::time_point until) {
  seam.sleep(std::min(until, wakeLimit()), wakeFd);
}

RelpForwarder::Clock::time_point RelpForwarder::wakeLimit() const {
  // Without an eventfd (the process ran out of descriptors) nothing wakes the thread: it looks
  // for lines and for the end every 100 ms instead.
  if (wakeFd >= 0) return Clock::time_point::max();
  return seam.now() + std::chrono::milliseconds(100);
}

void RelpForwarder::connect(Clock::time_point now) {
  Clock::time_point by = now + std::chrono::seconds(limits.timeoutSeconds);
  {
    MutexLock lock(mutex);
    if (finishing) by = std::min(by, deadline);
  }
  const std::string peer = tls.peerName.empty() ? destination.host : tls.peerName;
  auto fresh =
      std::make_unique<RelpSession>(RelpSession::Peer{&destination, &lookup, limits.timeoutSeconds,
                                                      credentials.get(), peer, tls.fingerprints},
                                    seam.connect());
  const ForwardResult opened = fresh->open(by);
  if (opened.isFatal()) {
    const std::string expected = tls.fingerprints.empty()
                                     ? "CA file " + tls.caFile + ", expected name " + peer
                                     : "pinned: " + tls.fingerprints.front() +
                                           (tls.fingerprints.size() > 1 ? " and others" : "");
    fatalCause = ForwardResult::fatal("forward: " + destination.text + ": TLS: " + opened.cause() +
                                      " (" + expected + "); nothing more is sent");
    return;
  }
  if (!opened.ok()) {
    failed(fresh->now(), opened.cause());
    return;
  }
  session = std::move(fresh);
  ++local.sessions;
  backoff.connected();
  if (failedAttempts > 0 || openedBefore) {
    const auto again = std::count_if(waiting.begin(), waiting.end(),
                                     [](const Line& line) { return line.sentBefore; });
    report("forward: connected to " + destination.text + " again after " +
           std::to_string(failedAttempts) + " failed attempts; " + std::to_string(again) +
           " unanswered lines go again first");
  }
  openedBefore = true;
  failedAttempts = 0;
}

void RelpForwarder::failed(Clock::time_point now, const std::string& why) {
  if (failedAttempts++ == 0) {
    report("forward: " + destination.text + ": " + why + " (retrying; " +
           std::to_string(waiting.size()) + " lines are held for the next session, and at most " +
           std::to_string(limits.maxLines) + " waiting lines)");
  }
  nextAttempt = now + backoff.failed();
}

void RelpForwarder::broke(Clock::time_point now, const std::string& why) {
  session.reset();
  const std::size_t count = unanswered.size();
  for (auto it = unanswered.rbegin(); it != unanswered.rend(); ++it) {
    it->line.sentBefore = true;
    waiting.push_front(std::move(it->line));
  }
  unanswered.clear();
  report("forward: " + destination.text + ": " + why + " (reconnecting; " + std::to_string(count) +
         " unanswered lines go again first)");
  failedAttempts = 0;
  nextAttempt = now + backoff.failed();
}

void RelpForwarder::fillWindow(Clock::time_point now) {
  const auto window = static_cast<std::size_t>(limits.window);
  while (!waiting.empty() && unanswered.size() < window) {
    Line line = std::move(waiting.front());
    waiting.pop_front();
    if (line.sentBefore) ++local.sentAgain;
    if (unanswered.empty()) {
      answerDue = now + std::chrono::seconds(limits.timeoutSeconds);
    }
    const std::uint64_t txnr = session->send(line.message);
    unanswered.push_back(Unanswered{txnr, std::move(line)});
  }
}

void RelpForwarder::serve(Clock::time_point now, Clock::time_point wakeAt) {
  fillWindow(now);
  const short revents = session->wait(std::min(wakeAt, wakeLimit()), wakeFd);
  now = session->now();
  const RelpSession::OnAnswer onAnswer = [this, &now](std::uint64_t txnr, int code,
                                                      std::string_view text) {
    answered(now, txnr, code, text);
  };
  if (const ForwardResult pumped = session->pump(revents, onAnswer); !pumped.ok()) {
    broke(now, pumped.cause());
  } else if (!unanswered.empty() && now >= answerDue) {
    broke(now, "no answer within " + std::to_string(limits.timeoutSeconds) + " s");
  }
}

void RelpForwarder::answered(Clock::time_point now, std::uint64_t txnr, int code,
                             std::string_view text) {
  auto it = unanswered.begin();
  if (it == unanswered.end() || it->txnr != txnr) {
    it = std::find_if(unanswered.begin(), unanswered.end(),
                      [txnr](const Unanswered& frame) { return frame.txnr == txnr; });
    if (it == unanswered.end()) return;  // not a line of ours: nothing to settle
  }
  if (code == kAcknowledged) {
    ++local.acknowledged;
  } else {
    ++local.refused;
    report("forward: " + destination.text + " refused a line: " + std::to_string(code) + " " +
           shownValue(text) + " (counted, not sent again)");
  }
  unanswered.erase(it);
  answerDue = now + std::chrono::seconds(limits.timeoutSeconds);
}

void RelpForwarder::end() {
  if (session && unanswered.empty()) {
    const Clock::time_point now = session->now();
    (void)session->close(now + std::chrono::seconds(limits.timeoutSeconds),
                         [this, now](std::uint64_t txnr, int code, std::string_view text) {
                           answered(now, txnr, code, text);
                         });
  }
  session.reset();
  const auto neverSent = static_cast<std::uint64_t>(std::count_if(
      waiting.begin(), waiting.end(), [](const Line& line) { return !line.sentBefore; }));
  MutexLock lock(mutex);
  tally.acknowledged = local.acknowledged;
  tally.refused = local.refused;
  tally.sentAgain = local.sentAgain;
  tally.sessions = local.sessions;
  tally.neverSent = backlog.size() + neverSent;
  tally.unacknowledged = backlog.size() + waiting.size() + unanswered.size();
  tally.held = tally.unacknowledged;
  if (!fatalCause.ok() && fatalError.ok()) fatalError = fatalCause;
  finished = true;
  done.notify_all();
}
