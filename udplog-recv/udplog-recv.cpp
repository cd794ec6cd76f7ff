// udplog-recv: receives the logger's UDP datagrams from any number of senders, puts each sender's
// lines back together and writes them one per line, to a file or standard output, and/or forwards
// them to a syslog collector. What went missing on the way is reported on standard error.
//
// Signals: SIGINT, SIGTERM and the other signals that would end it (SIGUSR2, SIGALRM, ...) end the
// run cleanly, as the end of input does: incomplete lines are reported, the backlog is handed to
// the collector, the summary is printed, exit status as usual. A second one ends it at once with
// 128 + its number, also while it lingers for a collector or waits on a full output. SIGHUP
// reopens the --output file (logrotate renamed it away); SIGUSR1 prints the summary's counts so
// far in one line. The handlers do not restart interrupted calls: ppoll() returns at once, and
// LineOutput carries on with a write that a signal interrupted.

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "logger/core/ReportLimiter.h"
#include "platform/StopSignals.h"
#include "platform/StreamMode.h"
#include "udplog-recv/DatagramParser.h"
#include "udplog-recv/DatagramSource.h"
#include "udplog-recv/LineOutput.h"
#include "udplog-recv/ReadPause.h"
#include "udplog-recv/ReceiverMetrics.h"
#include "udplog-recv/ReceiverOptions.h"
#include "udplog-recv/RelpForwarder.h"
#include "udplog-recv/SenderFilter.h"
#include "udplog-recv/SenderStreams.h"
#include "udplog-recv/SyslogForwarder.h"

namespace {

using Clock = LineAssembler::Clock;

// Refused networks named in the summary at the end.
constexpr std::size_t kRefusedShown = 10;

// One line on standard error, written whole: a signal that interrupts a write into a full pipe
// does not cut it short.
void report(const std::string& text) {
  const std::string line = "udplog-recv: " + text + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// How the rate-limited reports read: in full, or the count of the ones held back after the
// latest, "127.0.0.1:5000: lost line 7 (120 more like this in the last 10 s)".
void printReport(const ReportLimiter::Line& line) {
  std::string text(line.text);
  if (line.cause != ReportLimiter::Cause::kInFull) {
    const auto seconds = std::chrono::round<std::chrono::seconds>(line.span).count();
    text += " (" + std::to_string(line.counted) + " more like this" +
            (seconds > 0 ? " in the last " + std::to_string(seconds) + " s" : "") + ")";
  }
  report(text);
}

// A report about one sender, "127.0.0.1:40000: lost line 7": its kind leaves out the sender (as
// well as the numbers), so that a flood from many addresses or ports is still one kind.
void reportAboutSender(ReportLimiter& reports, const std::string& text) {
  const std::size_t name = text.find(": ");
  const std::string_view event =
      name == std::string::npos ? std::string_view(text) : std::string_view(text).substr(name + 2);
  reports.report(ReportLimiter::keyOf(event), text);
}

// Hands every delivered line to the output and the forwarder that are in use.
class Delivery final : public SenderStreams::Sink {
 public:
  Delivery(LineOutput* theOut, SyslogForwarder* theForwarder, RelpForwarder* theRelp,
           ReportLimiter& theReports)
      : out(theOut), forwarder(theForwarder), relp(theRelp), reports(theReports) {}

  void line(const std::string& host, unsigned port, std::uint32_t, std::string_view text) override {
    ++deliveredLines;
    if (out) out->write(text);
    if (forwarder) forwarder->enqueue(host, port, text, received);
    if (relp) relp->enqueue(host, port, text, received);
  }
  void report(const std::string& text) override { reportAboutSender(reports, text); }

  void setReceived(std::chrono::system_clock::time_point when) { received = when; }
  std::uint64_t lines() const { return deliveredLines; }

 private:
  LineOutput* out;
  SyslogForwarder* forwarder;
  RelpForwarder* relp;
  ReportLimiter& reports;
  std::chrono::system_clock::time_point received;
  std::uint64_t deliveredLines = 0;
};

std::string describe(const LineAssembler::Counts& c) {
  char text[320];
  std::snprintf(
      text, sizeof(text),
      "%" PRIu64 " lines, %" PRIu64 " lost, %" PRIu64 " late, %" PRIu64 " duplicate, %" PRIu64
      " conflicting, %" PRIu64 " too old, %" PRIu64 " resynchronised, %" PRIu64 " incomplete",
      c.lines, c.lost, c.late, c.duplicates, c.conflicts, c.tooOld, c.resyncs, c.incomplete);
  return text;
}

// The counts of the summary at the end, also given on request (SIGUSR1); the refused datagrams
// only when --allow is given.
std::string describe(const SenderStreams& streams, std::uint64_t malformed,
                     std::uint32_t kernelDrops, const SenderFilter& filter) {
  return describe(streams.totals()) + ", " + std::to_string(malformed) + " malformed, " +
         std::to_string(kernelDrops) + " dropped by the kernel" +
         (filter.active() ? ", " + std::to_string(filter.refused()) + " refused" : "") + "; " +
         std::to_string(streams.streamsOpened()) + " sender stream" +
         (streams.streamsOpened() == 1 ? "" : "s") +
         (streams.streamsEvicted()
              ? " (" + std::to_string(streams.streamsEvicted()) + " closed to make room)"
              : "");
}

// The TCP forwarder's counts, as the summary gives them. Plain TCP confirms nothing: the lines
// written on connections that the collector ended or that broke are only an upper bound of what
// may be missing, and the summary says so.
std::string describe(const SyslogForwarder& forwarder, std::uint64_t unsent) {
  const SyslogForwarder::Counts& c = forwarder.counts();
  std::string text = "forwarded " + std::to_string(c.forwarded) + " lines to " +
                     forwarder.target() + " over " + std::to_string(c.connections) + " connection" +
                     (c.connections == 1 ? "" : "s") + "; " + std::to_string(c.dropped) +
                     " dropped from the full backlog, " + std::to_string(unsent) +
                     " not delivered at the end";
  if (c.unconfirmed == 0) return text;
  return text + "; up to " + std::to_string(c.unconfirmed) + " lines written on " +
         std::to_string(c.unconfirmedConnections) + " connection" +
         (c.unconfirmedConnections == 1 ? "" : "s") +
         " that the collector ended are not confirmed (plain TCP cannot tell; relp:// confirms "
         "every line)";
}

// The RELP forwarder's counts, as the status line and the summary give them.
std::string describe(const RelpForwarder& relp, bool atEnd) {
  const RelpForwarder::Counts c = relp.counts();
  std::string text = std::to_string(c.acknowledged) + " lines acknowledged by " + relp.target() +
                     " over " + std::to_string(c.sessions) + " session" +
                     (c.sessions == 1 ? "" : "s") + "; " + std::to_string(c.refused) +
                     " refused, " + std::to_string(c.sentAgain) + " sent again, " +
                     std::to_string(c.dropped) + " dropped from the full backlog, ";
  if (!atEnd) return text + std::to_string(c.held) + " held";
  return text + std::to_string(c.unacknowledged) + " unacknowledged at the end" +
         (c.unacknowledged ? " (" + std::to_string(c.neverSent) + " of them never sent)" : "");
}

// The line that starts a run, so that a log (the journal) says what the collector does:
//   listening on :: port 4444 (IPv6, senders of 2 --allow networks); lines to
//   /var/log/udplog/collected.log and relp://logs.example:2514; metrics to /run/x/x.prom
std::string startLine(const ReceiverOptions& options, const LineOutput* out,
                      const std::string& forwardTarget) {
  const std::size_t allowed = options.allow.size();
  std::string text = "listening on " + options.listen + " port " + std::to_string(options.port) +
                     (options.listen.find(':') == std::string::npos ? " (IPv4, " : " (IPv6, ") +
                     (allowed == 0 ? std::string("any sender")
                                   : "senders of " + std::to_string(allowed) + " --allow network" +
                                         (allowed == 1 ? "" : "s")) +
                     "); lines to ";
  if (out) text += out->name() + (forwardTarget.empty() ? "" : " and ");
  text += forwardTarget + "; ";
  return text +
         (options.metricsFile.empty() ? "no metrics file" : "metrics to " + options.metricsFile);
}

std::chrono::milliseconds millis(double seconds) {
  // In range by construction: at most ReceiverOptions::kMaxSeconds.
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

}  // namespace

int main(int argc, char** argv) {
  StreamMode::holdClosedStreams();
  const ReceiverOptions options = ReceiverOptions::parse(argc, argv);
  try {
    StopSignals::install(StopSignals::Hangup::kReopen);
  } catch (const std::exception& e) {
    report(e.what());
    return 1;
  }
  // Reports that may come per datagram, line or sender: a flood of one kind is counted, not
  // printed line by line. The summary's counts do not depend on it.
  ReportLimiter reports(printReport);

  std::unique_ptr<SyslogForwarder> forwarder;
  std::unique_ptr<RelpForwarder> relp;
  if (options.forward.rfind(std::string(RelpForwarder::kScheme) + "://", 0) == 0) {
    SyslogForwarder::Target target;
    if (const ForwardResult parsed =
            SyslogForwarder::parseTarget(options.forward, target, RelpForwarder::kScheme);
        !parsed.ok()) {
      report(parsed.error() + "; try --help");
      return 2;
    }
    RelpForwarder::Tls tls{options.tlsCa, options.tlsCert, options.tlsKey, options.tlsPeer,
                           options.tlsFingerprints};
    // A TLS file that cannot work is configuration found wrong before the first line.
    std::string note;
    if (const ForwardResult checked = RelpForwarder::checkTls(tls, &note); !checked.ok()) {
      report(checked.error());
      return 2;
    }
    if (!note.empty()) report("warning: " + note);
    RelpForwarder::Limits limits;
    limits.maxLines = static_cast<std::size_t>(options.backlogLines);
    limits.window = options.relpWindow;
    limits.timeoutSeconds = options.relpTimeoutSeconds;
    relp = std::make_unique<RelpForwarder>(target, tls, limits);
  } else if (!options.forward.empty()) {
    SyslogForwarder::Target target;
    if (const ForwardResult parsed = SyslogForwarder::parseTarget(options.forward, target);
        !parsed.ok()) {
      report(parsed.error() + "; try --help");
      return 2;
    }
    SyslogForwarder::Limits limits;
    limits.maxLines = static_cast<std::size_t>(options.backlogLines);
    forwarder = std::make_unique<SyslogForwarder>(
        target, limits, [&reports](const std::string& text) { reports.report(text); });
  }
  std::unique_ptr<LineOutput> out;
  if ((!forwarder && !relp) || !options.output.empty()) {
    out = std::make_unique<LineOutput>();
    if (options.hasSeparator) out->showTabsAs(options.separator);
    if (!options.output.empty() && !out->open(options.output)) {
      report(out->error());
      return 1;
    }
    if (const std::string notice = out->takeNotice(); !notice.empty()) report(notice);
  }
  DatagramSource source;
  std::string error;
  if (!source.open(options.listen, options.port, error)) {
    // A setting that cannot work is final (2); a port in use or an address not yet on an
    // interface may work on the next start (1, which the service retries).
    const bool setting = source.openFailure() == DatagramSource::Failure::kSetting;
    report(error.rfind("--listen", 0) == 0 ? error + "; try --help" : error);
    return setting ? 2 : 1;
  }

  Delivery delivery(out.get(), forwarder.get(), relp.get(), reports);
  SenderStreams::Limits limits;
  limits.line.timeout = millis(options.timeoutSeconds);
  limits.maxStreams = static_cast<std::size_t>(options.maxSenders);
  limits.maxPendingBytes = static_cast<std::size_t>(options.maxPendingBytes);
  limits.maxSenderBytes = static_cast<std::size_t>(options.maxSenderBytes);
  SenderStreams streams(delivery, limits);
  SenderFilter filter;
  for (const auto& network : options.allow) filter.allow(network);
  // Rules only for the other family refuse every datagram: said once, as nothing else would tell
  // why no line arrives.
  if (const char* family = filter.familyRefusedOn(options.listen)) {
    report(std::string("warning: no --allow network is ") + family +
           " and the receiver listens on " + family + " " + options.listen +
           ": every datagram will be refused");
  }
  report(startLine(options, out.get(),
                   forwarder ? forwarder->target()
                   : relp    ? relp->target()
                             : std::string()));
  std::string refusedFrom;

  // Time-outs are checked on a clock of their own, so they fire on time under steady traffic.
  const auto checkEvery = std::clamp<std::chrono::milliseconds>(
      limits.line.timeout / 10, std::chrono::milliseconds(1), std::chrono::milliseconds(100));
  const auto idle = millis(options.idleSeconds);
  auto nextCheck = Clock::now() + checkEvery;
  Clock::time_point lastDatagram;
  bool heard = false;
  std::uint64_t malformed = 0;
  std::uint64_t datagrams = 0;
  std::uint32_t kernelDrops = 0;
  std::unique_ptr<ReceiverMetrics> metrics;
  if (!options.metricsFile.empty()) {
    metrics = std::make_unique<ReceiverMetrics>(options.metricsFile);
  }
  const auto metricsEvery = millis(options.metricsSeconds);
  auto nextMetrics = Clock::now();
  auto metricsInputs = [&] {
    ReceiverMetrics::Inputs in;
    in.datagrams = datagrams;
    in.malformed = malformed;
    in.refused = filter.refused();
    in.written = out ? out->linesWritten() : 0;
    in.kernelDrops = kernelDrops;
    in.streams = &streams;
    in.forwarder = forwarder.get();
    in.relp = relp.get();
    return in;
  };
  auto full = [&] {
    return (out && out->failed()) || (options.count != 0 && delivery.lines() >= options.count);
  };
  // A stop request ends the run after the datagrams already taken from the socket: they are
  // counted like the others.
  // A RELP collector that refused us (its certificate) ends the run: nothing can be sent.
  std::string refused;
  auto done = [&] { return StopSignals::received() != 0 || full() || !refused.empty(); };

  // A status request (SIGUSR1) prints the summary's counts so far; a reopen request (SIGHUP)
  // starts a new output file at the same path, the old one having been renamed away.
  auto serve = [&](const StopSignals::Requests& requests) {
    if (requests.reopen > 0 && out) {
      std::string why;
      if (!out->reopen(why)) reports.report(why);
      if (const std::string notice = out->takeNotice(); !notice.empty()) report(notice);
    }
    if (requests.status > 0) {
      std::string text =
          "status: " + describe(streams, malformed, source.readKernelDrops(), filter);
      if (forwarder) {
        const auto& counts = forwarder->counts();
        text += "; forwarded " + std::to_string(counts.forwarded) + " lines to " +
                forwarder->target() + ", " + std::to_string(forwarder->backlog()) + " held, " +
                std::to_string(counts.dropped) + " dropped from the full backlog, up to " +
                std::to_string(counts.unconfirmed) + " not confirmed";
      }
      if (relp) text += "; " + describe(*relp, false);
      report(text);
    }
  };

  // After a round of reads, the socket may be left alone for a moment (ReadPause) while the
  // signals, the requests and the forwarder are still watched.
  ReadPause pause(DatagramSource::kBatch, source.receiveBuffer());
  Clock::time_point resume;
  while (!done()) {
    Clock::time_point now = Clock::now();
    Clock::time_point wake = nextCheck;
    if (heard && idle.count() > 0) wake = std::min(wake, lastDatagram + idle);
    if (forwarder && forwarder->fd() < 0) wake = std::min(wake, forwarder->nextAttempt());
    if (metrics) wake = std::min(wake, nextMetrics);
    const bool pausing = resume > now;
    if (pausing) wake = std::min(wake, resume);
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::max<Clock::duration>(Clock::duration::zero(), wake - now));
    const timespec timeout{static_cast<time_t>(wait.count() / 1000000000),
                           static_cast<long>(wait.count() % 1000000000)};
    // Negative descriptors are left out by ppoll(): the forwarder's while it has no connection,
    // the source's during a pause.
    enum { kSource, kForwarder, kStop, kRequests };
    pollfd watch[] = {
        {pausing ? -1 : source.fd(), POLLIN, 0},
        {forwarder ? forwarder->fd() : -1, forwarder ? forwarder->events() : short{0}, 0},
        {static_cast<int>(StopSignals::wakeHandle()), POLLIN, 0},
        {static_cast<int>(StopSignals::requestHandle()), POLLIN, 0}};
    const int ready = ::ppoll(watch, 4, &timeout, nullptr);
    now = Clock::now();

    if (ready > 0 && (watch[kRequests].revents & POLLIN)) serve(StopSignals::takeRequests());
    if (ready > 0 && (watch[kSource].revents & POLLIN)) {
      delivery.setReceived(std::chrono::system_clock::now());
      std::size_t received = DatagramSource::kBatch;
      std::size_t roundDatagrams = 0, roundBytes = 0;
      for (int batch = 0; batch < 16 && received == DatagramSource::kBatch && !done(); ++batch) {
        received = source.receive();
        datagrams += received;
        roundDatagrams += received;
        for (std::size_t i = 0; i < received && !full(); ++i) {
          const DatagramSource::View& view = source.datagram(i);
          roundBytes += view.size;
          // Neither parsed nor given to a stream: a refused sender costs no memory but its count.
          if (!filter.admits(view.from, view.fromLength, &refusedFrom)) {
            reports.report("refused", refusedFrom + ": datagrams refused (not in --allow)");
            continue;
          }
          Datagram datagram;
          std::string reason;
          if (!DatagramParser::parse(view.data, view.size, datagram, reason)) {
            ++malformed;
            reportAboutSender(
                reports, SenderStreams::describe(view.from, view.fromLength, nullptr, nullptr) +
                             ": malformed datagram of " + std::to_string(view.size) +
                             " bytes: " + reason);
            continue;
          }
          streams.accept(view.from, view.fromLength, datagram, now);
        }
        if (received > 0) {
          heard = true;
          lastDatagram = now;
        }
      }
      // Read once per round that took datagrams: drops come with traffic.
      if (roundDatagrams > 0 && source.readKernelDrops() != kernelDrops) {
        reports.report("the kernel dropped " + std::to_string(source.kernelDrops() - kernelDrops) +
                       " datagrams (receive buffer full)");
        kernelDrops = source.kernelDrops();
      }
      if (received < DatagramSource::kBatch) {
        if (out) out->flush();
        const Clock::time_point ended = Clock::now();
        resume = ended + pause.after(roundDatagrams, roundBytes, ended);
      }
    } else if (out) {
      out->flush();
    }
    if (forwarder) forwarder->pump(now, ready > 0 ? watch[kForwarder].revents : 0);
    if (relp) {
      for (const auto& text : relp->takeReports()) reports.report(text);
      refused = relp->fatal();
    }
    if (now >= nextCheck) {
      streams.expire(now);
      reports.tick();
      nextCheck = now + checkEvery;
    }
    if (metrics && now >= nextMetrics) {
      metrics->write(metricsInputs(), reports);
      nextMetrics = now + metricsEvery;
    }
    if (heard && idle.count() > 0 && now - lastDatagram >= idle) break;
  }

  streams.finish();
  if (source.readKernelDrops() != kernelDrops) {
    reports.report("the kernel dropped " + std::to_string(source.kernelDrops() - kernelDrops) +
                   " datagrams (receive buffer full), counted at the end");
    kernelDrops = source.kernelDrops();
  }
  const bool written = !out || out->close();
  std::uint64_t unsent = 0;
  if (forwarder) unsent = forwarder->finish(Clock::now() + millis(options.lingerSeconds));
  if (relp) {
    relp->finish(refused.empty() ? Clock::now() + millis(options.lingerSeconds) : Clock::now());
    for (const auto& text : relp->takeReports()) reports.report(text);
    if (refused.empty()) refused = relp->fatal();
  }

  reports.flush();
  if (!refused.empty()) report(refused);
  std::string metricsFailure;
  if (metrics) {
    ReceiverMetrics::Inputs in = metricsInputs();
    in.undelivered = relp ? relp->counts().unacknowledged : unsent;
    metricsFailure = metrics->writeLast(in);
    if (!metricsFailure.empty()) report(metricsFailure);
  }

  report(describe(streams, malformed, kernelDrops, filter));
  if (filter.refused() > 0) {
    // The networks refused most, so that a sender left out by mistake stands out.
    const auto refusedRows = filter.refusedByNetwork();
    std::string text = "  refused:";
    for (std::size_t i = 0; i < refusedRows.size() && i < kRefusedShown; ++i) {
      text += (i ? ", " : " ") + refusedRows[i].network + " " +
              std::to_string(refusedRows[i].datagrams);
    }
    if (refusedRows.size() > kRefusedShown) {
      text += " and " + std::to_string(refusedRows.size() - kRefusedShown) + " more networks";
    }
    report(text);
  }
  if (streams.rows().size() > 1) {
    for (const auto& row : streams.rows()) report("  " + row.name + ": " + describe(row.counts));
  }
  if (forwarder) report(describe(*forwarder, unsent));
  if (relp) report(describe(*relp, true));
  if (!written) {
    report(out->error());
    return 1;
  }
  if (!metricsFailure.empty()) return 1;
  if (relp) {
    const RelpForwarder::Counts counts = relp->counts();
    if (!refused.empty() || counts.dropped > 0 || counts.unacknowledged > 0 || counts.refused > 0) {
      return 1;
    }
  }
  if (forwarder) {
    const SyslogForwarder::Counts& counts = forwarder->counts();
    if (unsent > 0 || counts.unconfirmed > 0 || counts.dropped > 0) return 1;
  }
  return 0;
}
