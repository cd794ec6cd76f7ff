#include "udplog-recv/Collector.h"

#include <poll.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "udplog-recv/Report.h"
#include "udplog-recv/reassembly/DatagramParser.h"

namespace {

// Refused networks named in the summary at the end.
constexpr std::size_t kRefusedShown = 10;

std::chrono::milliseconds millis(double seconds) {
  // In range by construction: at most ReceiverOptions::kMaxSeconds.
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

SenderStreams::Limits streamLimits(const ReceiverOptions& options) {
  SenderStreams::Limits limits;
  limits.line.timeout = millis(options.timeoutSeconds);
  limits.maxStreams = static_cast<std::size_t>(options.maxSenders);
  limits.maxPendingBytes = static_cast<std::size_t>(options.maxPendingBytes);
  limits.maxSenderBytes = static_cast<std::size_t>(options.maxSenderBytes);
  return limits;
}

std::string describe(const LineAssembler::Counts& c) {
  char text[320];
  std::snprintf(
      text, sizeof(text),
      "%" PRIu64 " lines, %" PRIu64 " lost, %" PRIu64 " late, %" PRIu64 " duplicate, %" PRIu64
      " conflicting, %" PRIu64 " too old, %" PRIu64 " resynchronised, %" PRIu64 " incomplete",
      c.lines, c.lost, c.late, c.duplicates, c.conflicts, c.tooOld, c.resyncs, c.incomplete);
  return text;
}

// The attempts that ran out of --forward-timeout, when there were any.
std::string timedOut(std::uint64_t count) {
  if (count == 0) return "";
  return "; " + std::to_string(count) + " name lookups or connections ran out of --forward-timeout";
}

// The TCP forwarder's counts, as the summary gives them. Plain TCP confirms nothing: the lines
// written on connections that the target ended or that broke are only an upper bound of what
// may be missing, and the summary says so.
std::string describe(const TcpForwarder& forwarder, std::uint64_t unsent) {
  const TcpForwarder::Counts& c = forwarder.counts();
  std::string text =
      "forwarded " + std::to_string(c.forwarded) + " lines to " + forwarder.target() + " over " +
      std::to_string(c.connections) + " connection" + (c.connections == 1 ? "" : "s") + "; " +
      std::to_string(c.dropped) + " dropped from the full backlog, " + std::to_string(unsent) +
      " not delivered at the end" +
      (c.tooLong ? ", " + std::to_string(c.tooLong) + " refused as over --max-line-bytes"
                 : std::string()) +
      timedOut(c.timedOut);
  if (c.unconfirmed == 0) return text;
  return text + "; up to " + std::to_string(c.unconfirmed) + " lines written on " +
         std::to_string(c.unconfirmedConnections) + " connection" +
         (c.unconfirmedConnections == 1 ? "" : "s") +
         " that the target ended are not confirmed (plain TCP cannot tell; relp:// confirms "
         "every line)";
}

// The RELP forwarder's counts, as the status line and the summary give them.
std::string describe(const RelpForwarder& relp, bool atEnd) {
  const RelpForwarder::Counts c = relp.counts();
  std::string text =
      std::to_string(c.acknowledged) + " lines acknowledged by " + relp.target() + " over " +
      std::to_string(c.sessions) + " session" + (c.sessions == 1 ? "" : "s") + "; " +
      std::to_string(c.refused) + " refused" +
      (c.givenUp ? " (" + std::to_string(c.givenUp) + " of them given up)" : "") +
      (c.tooLong ? " (" + std::to_string(c.tooLong) + " of them over --max-line-bytes, never sent)"
                 : "") +
      ", " + std::to_string(c.sentAgain) + " sent again, " + std::to_string(c.dropped) +
      " dropped from the full backlog, ";
  if (!atEnd) return text + std::to_string(c.held) + " held" + timedOut(c.timedOut);
  return text + std::to_string(c.unacknowledged) + " unacknowledged at the end" +
         (c.unacknowledged ? " (" + std::to_string(c.neverSent) + " of them never sent)" : "") +
         timedOut(c.timedOut);
}

// The networks refused most, so that a sender left out by mistake stands out.
std::string describeRefused(const SenderFilter& filter) {
  const auto rows = filter.refusedByNetwork();
  std::string text = "  refused:";
  for (std::size_t i = 0; i < rows.size() && i < kRefusedShown; ++i) {
    text += (i ? ", " : " ") + rows[i].network + " " + std::to_string(rows[i].datagrams);
  }
  if (rows.size() > kRefusedShown) {
    text += " and " + std::to_string(rows.size() - kRefusedShown) + " more networks";
  }
  return text;
}

}  // namespace

Collector::Collector(const ReceiverOptions& theOptions, Parts theParts)
    : options(theOptions),
      parts(theParts),
      idle(millis(options.idleSeconds)),
      checkEvery(std::clamp<std::chrono::milliseconds>(millis(options.timeoutSeconds) / 10,
                                                       std::chrono::milliseconds(1),
                                                       std::chrono::milliseconds(100))),
      metricsEvery(millis(options.metricsSeconds)),
      delivery(parts.out, parts.forwarder, parts.relp, parts.reports),
      streams(delivery, streamLimits(options)),
      pause(DatagramSource::kBatch, parts.source.receiveBuffer()),
      nextCheck(Clock::now() + checkEvery),
      nextMetrics(Clock::now()) {
  for (const auto& network : options.allow) filter.allow(network);
  // Rules only for the other family refuse every datagram: said once, as nothing else would tell
  // why no line arrives.
  if (const char* family = filter.familyRefusedOn(options.listen)) {
    report(std::string("warning: no --allow network is ") + family +
           " and the receiver listens on " + family + " " + options.listen +
           ": every datagram will be refused");
  }
  if (!options.metricsFile.empty()) {
    metrics = std::make_unique<ReceiverMetrics>(options.metricsFile);
  }
}

bool Collector::full() const {
  return (parts.out && parts.out->failed()) ||
         (options.count != 0 && delivery.lines() >= options.count);
}

// A stop request ends the run after the datagrams already taken from the socket: they are
// counted like the others. A RELP target that refused us (its certificate) ends the run:
// nothing can be sent.
bool Collector::done() const { return StopSignals::received() != 0 || full() || !refused.empty(); }

// After a round of reads, the socket may be left alone for a moment (ReadPause) while the
// signals, the requests and the forwarder are still watched.
void Collector::run() {
  while (!done()) {
    Clock::time_point now = Clock::now();
    const bool pausing = resume > now;
    const timespec timeout = untilWake(now, pausing);
    // Negative descriptors are left out by ppoll(): the forwarder's while it has no connection,
    // the source's during a pause.
    enum { kSource, kForwarder, kStop, kRequests };
    pollfd watch[] = {{pausing ? -1 : parts.source.fd(), POLLIN, 0},
                      {parts.forwarder ? parts.forwarder->fd() : -1,
                       parts.forwarder ? parts.forwarder->events() : short{0}, 0},
                      {static_cast<int>(StopSignals::wakeHandle()), POLLIN, 0},
                      {static_cast<int>(StopSignals::requestHandle()), POLLIN, 0}};
    const int ready = ::ppoll(watch, 4, &timeout, nullptr);
    now = Clock::now();

    if (ready > 0 && (watch[kRequests].revents & POLLIN)) serve(StopSignals::takeRequests());
    if (ready > 0 && (watch[kSource].revents & POLLIN)) {
      receiveRound(now);
    } else if (parts.out) {
      parts.out->flush();
    }
    tend(now, ready > 0 ? watch[kForwarder].revents : 0);
    if (heard && idle.count() > 0 && now - lastDatagram >= idle) break;
  }
}

timespec Collector::untilWake(Clock::time_point now, bool pausing) const {
  Clock::time_point wake = nextCheck;
  if (heard && idle.count() > 0) wake = std::min(wake, lastDatagram + idle);
  if (parts.forwarder) {
    wake = std::min(wake, parts.forwarder->nextDue());
  }
  if (metrics) wake = std::min(wake, nextMetrics);
  if (pausing) wake = std::min(wake, resume);
  const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::max<Clock::duration>(Clock::duration::zero(), wake - now));
  return timespec{static_cast<time_t>(wait.count() / 1000000000),
                  static_cast<long>(wait.count() % 1000000000)};
}

// Up to 16 batches while the socket has more; then the output is flushed and the pause set.
void Collector::receiveRound(Clock::time_point now) {
  delivery.setReceived(std::chrono::system_clock::now());
  std::size_t received = DatagramSource::kBatch;
  std::size_t roundDatagrams = 0, roundBytes = 0;
  for (int batch = 0; batch < 16 && received == DatagramSource::kBatch && !done(); ++batch) {
    received = parts.source.receive();
    datagrams += received;
    roundDatagrams += received;
    for (std::size_t i = 0; i < received && !full(); ++i) {
      const DatagramSource::View& view = parts.source.datagram(i);
      roundBytes += view.size;
      take(view, now);
    }
    if (received > 0) {
      heard = true;
      lastDatagram = now;
    }
  }
  // Read once per round that took datagrams: drops come with traffic.
  if (roundDatagrams > 0) countKernelDrops("");
  if (received < DatagramSource::kBatch) {
    if (parts.out) parts.out->flush();
    const Clock::time_point ended = Clock::now();
    resume = ended + pause.after(roundDatagrams, roundBytes, ended);
  }
}

void Collector::take(const DatagramSource::View& view, Clock::time_point now) {
  // Neither parsed nor given to a stream: a refused sender costs no memory but its count.
  if (!filter.admits(view.from, view.fromLength, &refusedFrom)) {
    parts.reports.report("refused", refusedFrom + ": datagrams refused (not in --allow)");
    return;
  }
  Datagram datagram;
  std::string reason;
  if (!DatagramParser::parse(view.data, view.size, datagram, reason)) {
    ++malformed;
    reportAboutSender(parts.reports,
                      SenderStreams::describe(view.from, view.fromLength, nullptr, nullptr) +
                          ": malformed datagram of " + std::to_string(view.size) +
                          " bytes: " + reason);
    return;
  }
  streams.accept(view.from, view.fromLength, datagram, now);
}

// when: "" during the run, ", counted at the end" at the end.
void Collector::countKernelDrops(const char* when) {
  if (parts.source.readKernelDrops() == kernelDrops) return;
  parts.reports.report("the kernel dropped " +
                       std::to_string(parts.source.kernelDrops() - kernelDrops) +
                       " datagrams (receive buffer full)" + when);
  kernelDrops = parts.source.kernelDrops();
}

// What the loop does after every wake-up, datagrams or not.
void Collector::tend(Clock::time_point now, short forwarderEvents) {
  if (parts.forwarder) parts.forwarder->pump(now, forwarderEvents);
  if (parts.relp) {
    for (const auto& text : parts.relp->takeReports()) parts.reports.report(text);
    refused = parts.relp->status().cause();
  }
  if (now >= nextCheck) {
    streams.expire(now);
    parts.reports.tick();
    nextCheck = now + checkEvery;
  }
  if (metrics && now >= nextMetrics) {
    metrics->write(metricsInputs(), parts.reports);
    nextMetrics = now + metricsEvery;
  }
}

// A status request (SIGUSR1) prints the summary's counts so far; a reopen request (SIGHUP)
// starts a new output file at the same path, the old one having been renamed away.
void Collector::serve(const StopSignals::Requests& requests) {
  if (requests.reopen > 0 && parts.out) {
    std::string why;
    if (!parts.out->reopen(why)) parts.reports.report(why);
    if (const std::string notice = parts.out->takeNotice(); !notice.empty()) report(notice);
  }
  if (requests.status > 0) {
    parts.source.readKernelDrops();
    std::string text = "status: " + counts();
    if (parts.forwarder) {
      const auto& c = parts.forwarder->counts();
      text += "; forwarded " + std::to_string(c.forwarded) + " lines to " +
              parts.forwarder->target() + ", " + std::to_string(parts.forwarder->backlog()) +
              " held, " + std::to_string(c.dropped) + " dropped from the full backlog, up to " +
              std::to_string(c.unconfirmed) + " not confirmed";
    }
    if (parts.relp) text += "; " + describe(*parts.relp, false);
    report(text);
  }
}

ReceiverMetrics::Inputs Collector::metricsInputs() const {
  ReceiverMetrics::Inputs in;
  in.datagrams = datagrams;
  in.malformed = malformed;
  in.refused = filter.refused();
  in.written = parts.out ? parts.out->linesWritten() : 0;
  in.kernelDrops = kernelDrops;
  in.streams = &streams;
  in.forwarder = parts.forwarder;
  in.relp = parts.relp;
  return in;
}

int Collector::finish() {
  streams.finish();
  countKernelDrops(", counted at the end");
  const bool written = !parts.out || parts.out->close();
  std::uint64_t unsent = 0;
  const auto linger = Clock::now() + millis(options.lingerSeconds);
  if (parts.forwarder) unsent = parts.forwarder->finish(linger);
  if (parts.relp) {
    parts.relp->finish(refused.empty() ? linger : Clock::now());
    for (const auto& text : parts.relp->takeReports()) parts.reports.report(text);
    if (refused.empty()) refused = parts.relp->status().cause();
  }
  parts.reports.flush();
  if (!refused.empty()) report(refused);
  std::string metricsFailure;
  if (metrics) {
    ReceiverMetrics::Inputs in = metricsInputs();
    in.undelivered = parts.relp ? parts.relp->counts().unacknowledged : unsent;
    metricsFailure = metrics->writeLast(in);
    if (!metricsFailure.empty()) report(metricsFailure);
  }
  summarise(unsent);
  if (!written) report(parts.out->error());
  return status(written && metricsFailure.empty(), unsent);
}

// The counts of the summary at the end, also given on request (SIGUSR1); the refused datagrams
// only when --allow is given.
std::string Collector::counts() const {
  const std::uint64_t opened = streams.streamsOpened(), evicted = streams.streamsEvicted();
  return describe(streams.totals()) + ", " + std::to_string(malformed) + " malformed, " +
         std::to_string(parts.source.kernelDrops()) + " dropped by the kernel" +
         (filter.active() ? ", " + std::to_string(filter.refused()) + " refused" : "") + "; " +
         std::to_string(opened) + " sender stream" + (opened == 1 ? "" : "s") +
         (evicted ? " (" + std::to_string(evicted) + " closed to make room)" : "");
}

void Collector::summarise(std::uint64_t unsent) const {
  report(counts());
  if (filter.refused() > 0) report(describeRefused(filter));
  if (streams.rows().size() > 1) {
    for (const auto& row : streams.rows()) report("  " + row.name + ": " + describe(row.counts));
  }
  if (parts.forwarder) report(describe(*parts.forwarder, unsent));
  if (parts.relp) report(describe(*parts.relp, true));
}

// written: the output and the last metrics, whose failures were reported.
int Collector::status(bool written, std::uint64_t unsent) const {
  if (!written) return 1;
  if (parts.relp) {
    const RelpForwarder::Counts c = parts.relp->counts();
    if (!refused.empty() || c.dropped > 0 || c.unacknowledged > 0 || c.refused > 0) return 1;
  }
  if (parts.forwarder) {
    const TcpForwarder::Counts& c = parts.forwarder->counts();
    if (unsent > 0 || c.unconfirmed > 0 || c.dropped > 0 || c.tooLong > 0) return 1;
  }
  return 0;
}
