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

// Sessions that may break with the same line as their oldest unanswered one before it goes alone;
// when it breaks that session too, the target will not take it and it is given up.
constexpr int kBreaksBeforeAlone = 3;

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
      lookup(seam.resolve),
      unanswered(RelpSession::kMaxTxnr),
      backoff(theLimits.firstBackoff, theLimits.maxBackoff) {
  if (tls.on()) {
    credentials = std::make_unique<TlsCredentials>();
    if (const ForwardResult loaded = credentials->load(tls.caFile, tls.certFile, tls.keyFile);
        !loaded.ok()) {
      fatalCause = ForwardResult::fatal("forward: " + destination.text + ": " + loaded.cause());
    }
  }
  try {
    thread = std::thread([this] { run(); });
  } catch (...) {
    // No destructor runs for an object whose constructor threw: the eventfd is closed here.
    if (wakeFd >= 0) ::close(wakeFd);
    throw;
  }
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
  if (message.size() > limits.maxMessageBytes) {
    ++tally.tooLong;
    ++tally.refused;  // the thread's count of refusals and this one, published together
    reports.push_back(SyslogMessage::tooLong(destination.text, limits.maxMessageBytes));
    return;
  }
  if (finished) {
    // After the thread's last count: counted at once, as it would have been left in the backlog.
    ++tally.unacknowledged;
    ++tally.neverSent;
    ++tally.held;
    return;
  }
  std::string full =
      backlog.push(Line{std::move(message)}, 0, tally.dropped, windowLines, windowBytes);
  if (!full.empty()) reports.push_back(std::move(full));
  tally.held = backlog.size() + windowLines;
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
      connect();
    } else if (step == Step::kServe) {
      serve(seam.now(), wakeAt);
    } else {
      waitForWake(wakeAt);
    }
  }
  end();
}

void RelpForwarder::publish() {
  tally.acknowledged = local.acknowledged;
  tally.refused = local.refused + tally.tooLong;
  tally.sentAgain = local.sentAgain;
  tally.sessions = local.sessions;
  tally.givenUp = local.givenUp;
  tally.timedOut = local.timedOut;
  if (!fatalCause.ok() && fatalError.ok()) fatalError = fatalCause;
}

RelpForwarder::Step RelpForwarder::next(Clock::time_point& wakeAt) {
  MutexLock lock(mutex);
  publish();
  tally.held = backlog.size() + windowLines;
  if (backlog.empty()) backlog.taken();
  const Clock::time_point now = seam.now();
  if (finishing && !stopSeen) {
    // A stop tries at once, from the backoff's first step, whatever wait the last failure set.
    stopSeen = true;
    backoff.startOver();
    nextAttempt = std::min(nextAttempt, now);
  }
  // At the end, a broken session is opened again for the lines it had not answered.
  const bool handedOver = backlog.empty() && unanswered.empty();
  if (!fatalCause.ok() || (finishing && (now >= deadline || handedOver))) return Step::kEnd;
  wakeAt = finishing ? deadline : Clock::time_point::max();
  // A new line is worth a wake only when the window has room for it: a full window waits for
  // answers, and no session for its next attempt.
  wanting = session && unanswered.span() < static_cast<std::size_t>(limits.window);
  if (session) {
    if (!unanswered.empty()) {
      wakeAt = std::min({wakeAt, answerDue, unanswered.oldestDue(timeout())});
    }
    return Step::kServe;
  }
  if (now >= nextAttempt) return Step::kConnect;
  wakeAt = std::min(wakeAt, nextAttempt);
  return Step::kWait;
}

void RelpForwarder::waitForWake(Clock::time_point until) {
  seam.sleep(std::min(until, wakeLimit()), wakeFd);
}

RelpForwarder::Clock::time_point RelpForwarder::stopDeadline() const {
  MutexLock lock(mutex);
  return finishing ? deadline : Clock::time_point::max();
}

std::chrono::seconds RelpForwarder::timeout() const {
  return std::chrono::seconds(limits.timeoutSeconds);
}

RelpForwarder::Clock::time_point RelpForwarder::wakeLimit() const {
  // Without an eventfd (the process ran out of descriptors) nothing wakes the thread: it looks
  // for lines and for the end every 100 ms instead.
  if (wakeFd >= 0) return Clock::time_point::max();
  return seam.now() + std::chrono::milliseconds(100);
}

void RelpForwarder::connect() {
  const std::string peer = tls.peerName.empty() ? destination.host : tls.peerName;
  auto fresh =
      std::make_unique<RelpSession>(RelpSession::Peer{&destination, &lookup, limits.timeoutSeconds,
                                                      credentials.get(), peer, tls.fingerprints},
                                    seam.connect());
  const ForwardResult opened = fresh->open([this] { return stopDeadline(); });
  local.timedOut += static_cast<std::uint64_t>(fresh->timeouts());
  if (failedAttempts == 0) {
    for (const std::string& why : fresh->passedOver()) {
      report("forward: " + destination.text + ": " + why + " (trying the next address)");
    }
  }
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
  acknowledgedOnSession = false;
  if (failedAttempts > 0 || openedBefore) {
    std::size_t again = 0;
    {
      MutexLock lock(mutex);
      again = static_cast<std::size_t>(std::count_if(
          backlog.begin(), backlog.end(), [](const Line& line) { return line.sentBefore; }));
    }
    report("forward: connected to " + destination.text + " again after " +
           std::to_string(failedAttempts) + " failed attempts; " + std::to_string(again) +
           " unanswered lines go again first");
  }
  openedBefore = true;
  failedAttempts = 0;
}

void RelpForwarder::failed(Clock::time_point now, const std::string& why) {
  if (failedAttempts++ == 0) {
    std::size_t held = 0;
    {
      MutexLock lock(mutex);
      held = backlog.size();
    }
    report("forward: " + destination.text + ": " + why + " (retrying; " + std::to_string(held) +
           " lines are held for the next session, at most " + std::to_string(limits.maxLines) +
           ")");
  }
  nextAttempt = now + backoff.failed();
}

void RelpForwarder::broke(Clock::time_point now, const std::string& why) {
  session.reset();
  std::vector<Line> open = unanswered.takeOpen();
  const std::size_t count = open.size();
  if (!open.empty() && ++open.front().breaks > kBreaksBeforeAlone) {
    // It broke this session too, sent alone: the target will not take it.
    ++local.refused;
    ++local.givenUp;
    report("forward: " + destination.text + " broke " + std::to_string(kBreaksBeforeAlone + 1) +
           " sessions in a row on a line of " + std::to_string(open.front().size()) +
           " bytes, the last time sent alone: given up, counted as refused (is it over the "
           "target's largest message?)");
    open.erase(open.begin());
  }
  {
    MutexLock lock(mutex);
    for (auto it = open.rbegin(); it != open.rend(); ++it) {
      it->sentBefore = true;
      backlog.pushFront(std::move(*it));
    }
    windowLines = 0;
    windowBytes = 0;
  }
  report("forward: " + destination.text + ": " + why + " (reconnecting; " + std::to_string(count) +
         " unanswered lines go again first)");
  failedAttempts = 0;
  nextAttempt = now + backoff.failed();
}

void RelpForwarder::fillWindow(Clock::time_point now) {
  // The lines are taken under the lock and framed outside it, so that enqueue() waits for no
  // framing; they count against the bound as window lines from the moment they are taken.
  std::vector<Line> taken = takeForWindow();
  for (Line& line : taken) {
    if (line.sentBefore && !line.countedAgain) {
      ++local.sentAgain;
      line.countedAgain = true;
    }
    if (unanswered.empty()) answerDue = now + timeout();
    const std::uint64_t txnr = session->send(line.message);
    unanswered.push(txnr, std::move(line));
  }
}

std::vector<RelpForwarder::Line> RelpForwarder::takeForWindow() {
  const auto window = static_cast<std::size_t>(limits.window);
  std::vector<Line> taken;
  MutexLock lock(mutex);
  // A line in the window is held twice, as a message and as a frame in the session's output:
  // both count against the bound (a window of one line always goes, whatever its size).
  std::size_t held = backlog.byteSize() + unanswered.openBytes() + session->held();
  std::size_t framed = 0;
  while (!backlog.empty() && unanswered.span() + taken.size() < window) {
    const Line* oldest = !taken.empty() ? &taken.front() : unanswered.oldest();
    const Line& next = backlog.front();
    // A line that broke sessions before goes alone, and nothing goes beside it.
    if (oldest && (oldest->breaks >= kBreaksBeforeAlone || next.breaks >= kBreaksBeforeAlone)) {
      break;
    }
    if (oldest && held + next.size() > limits.maxBytes) break;
    held += next.size();
    framed += next.size();
    taken.push_back(backlog.takeFront());
  }
  windowLines = unanswered.open() + taken.size();
  windowBytes = unanswered.openBytes() + session->held() + 2 * framed;
  return taken;
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
  } else if (!unanswered.empty() && now >= unanswered.oldestDue(timeout())) {
    broke(now, "no answer to a line within " + std::to_string(limits.timeoutSeconds) +
                   " s while later lines were answered");
  }
}

void RelpForwarder::answered(Clock::time_point now, std::uint64_t txnr, int code,
                             std::string_view text) {
  // Not a line of ours, or one answered before: nothing to settle.
  if (!unanswered.settle(txnr, now)) return;
  if (code == RelpSession::kAcknowledged) {
    ++local.acknowledged;
    // The backoff starts over only once the target took a line on this session: a session that
    // opens and breaks on every line keeps backing off.
    if (!acknowledgedOnSession) backoff.startOver();
    acknowledgedOnSession = true;
  } else {
    ++local.refused;
    report("forward: " + destination.text + " refused a line: " +
           (code < 0 ? std::string("an answer without a code,") : std::to_string(code)) + " " +
           shownValue(text) + " (counted, not sent again)");
  }
  answerDue = now + timeout();
}

void RelpForwarder::end() {
  if (session && unanswered.empty()) {
    const Clock::time_point now = session->now();
    // The close, too, ends by the stop's deadline and one time-out.
    (void)session->close(std::min(now, stopDeadline()) + timeout(),
                         [this, now](std::uint64_t txnr, int code, std::string_view text) {
                           answered(now, txnr, code, text);
                         });
  }
  session.reset();
  MutexLock lock(mutex);
  publish();
  tally.neverSent = static_cast<std::uint64_t>(std::count_if(
      backlog.begin(), backlog.end(), [](const Line& line) { return !line.sentBefore; }));
  tally.unacknowledged = backlog.size() + unanswered.open();
  tally.held = tally.unacknowledged;
  finished = true;
  done.notify_all();
}
