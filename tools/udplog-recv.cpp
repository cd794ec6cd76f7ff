// udplog-recv: receives the logger's UDP datagrams from any number of senders, puts each sender's
// lines back together and writes them one per line, to a file or standard output, and/or forwards
// them to a syslog collector. What went missing on the way is reported on standard error.

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/StreamMode.h"
#include "tools/DatagramParser.h"
#include "tools/DatagramSource.h"
#include "tools/LineOutput.h"
#include "tools/ReceiverOptions.h"
#include "tools/SenderStreams.h"
#include "tools/SyslogForwarder.h"

namespace {

using Clock = LineAssembler::Clock;

volatile std::sig_atomic_t stopRequested = 0;
// The first SIGINT or SIGTERM ends the run cleanly (summary, backlog handed over); a second one
// ends the process at once, also while it lingers for a collector or waits on a full output.
void onSignal(int number) {
  if (stopRequested) ::_exit(128 + number);
  stopRequested = 1;
}

void report(const std::string& text) { std::fprintf(stderr, "udplog-recv: %s\n", text.c_str()); }

// Hands every delivered line to the output and the forwarder that are in use.
class Delivery final : public SenderStreams::Sink {
 public:
  Delivery(LineOutput* out, SyslogForwarder* forwarder) : out_(out), forwarder_(forwarder) {}

  void line(const std::string& host, unsigned port, std::uint32_t, std::string_view text) override {
    ++lines_;
    if (out_) out_->write(text);
    if (forwarder_) forwarder_->send(host, port, text, received_);
  }
  void report(const std::string& text) override { ::report(text); }

  void setReceived(std::chrono::system_clock::time_point when) { received_ = when; }
  std::uint64_t lines() const { return lines_; }

 private:
  LineOutput* out_;
  SyslogForwarder* forwarder_;
  std::chrono::system_clock::time_point received_;
  std::uint64_t lines_ = 0;
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

std::chrono::milliseconds millis(double seconds) {
  // In range by construction: at most ReceiverOptions::kMaxSeconds.
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

}  // namespace

int main(int argc, char** argv) {
  StreamMode::holdClosedStreams();
  const ReceiverOptions options = ReceiverOptions::parse(argc, argv);

  std::unique_ptr<SyslogForwarder> forwarder;
  if (!options.forward.empty()) {
    SyslogForwarder::Target target;
    std::string error;
    if (!SyslogForwarder::parseTarget(options.forward, target, error)) {
      std::fprintf(stderr, "udplog-recv: %s; try --help\n", error.c_str());
      return 2;
    }
    SyslogForwarder::Limits limits;
    limits.maxLines = static_cast<std::size_t>(options.backlogLines);
    forwarder = std::make_unique<SyslogForwarder>(target, limits, report);
  }
  std::unique_ptr<LineOutput> out;
  if (!forwarder || !options.output.empty()) {
    out = std::make_unique<LineOutput>();
    if (options.hasSeparator) out->showTabsAs(options.separator);
    if (!options.output.empty() && !out->open(options.output)) {
      report(out->error());
      return 1;
    }
  }
  DatagramSource source;
  std::string error;
  if (!source.open(options.listen, options.port, error)) {
    const bool usage = error.rfind("--listen", 0) == 0;
    report(usage ? error + "; try --help" : error);
    return usage ? 2 : 1;
  }

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  // A write into a full output goes on after the signal instead of failing with EINTR; the wait
  // for datagrams is not restarted, so the loop sees the request at once.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader that goes away is a failed write (EPIPE) reported like any other, with the summary.
  std::signal(SIGPIPE, SIG_IGN);

  Delivery delivery(out.get(), forwarder.get());
  SenderStreams::Limits limits;
  limits.line.timeout = millis(options.timeoutSeconds);
  limits.maxStreams = static_cast<std::size_t>(options.maxSenders);
  SenderStreams streams(delivery, limits);

  // Time-outs are checked on a clock of their own, so they fire on time under steady traffic.
  const auto checkEvery = std::clamp<std::chrono::milliseconds>(
      limits.line.timeout / 10, std::chrono::milliseconds(1), std::chrono::milliseconds(100));
  const auto idle = millis(options.idleSeconds);
  auto nextCheck = Clock::now() + checkEvery;
  Clock::time_point lastDatagram;
  bool heard = false;
  std::uint64_t malformed = 0;
  std::uint32_t kernelDrops = 0;
  auto done = [&] {
    return stopRequested || (out && out->failed()) ||
           (options.count != 0 && delivery.lines() >= options.count);
  };

  while (!done()) {
    Clock::time_point now = Clock::now();
    Clock::time_point wake = nextCheck;
    if (heard && idle.count() > 0) wake = std::min(wake, lastDatagram + idle);
    if (forwarder && forwarder->fd() < 0) wake = std::min(wake, forwarder->nextAttempt());
    const long long wait =
        std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(wake - now).count());
    pollfd watch[2] = {{source.fd(), POLLIN, 0}, {-1, 0, 0}};
    if (forwarder) watch[1] = pollfd{forwarder->fd(), forwarder->events(), 0};
    const int ready = ::poll(watch, forwarder ? 2 : 1, static_cast<int>(wait));
    now = Clock::now();

    if (ready > 0 && (watch[0].revents & POLLIN)) {
      delivery.setReceived(std::chrono::system_clock::now());
      std::size_t received = DatagramSource::kBatch;
      for (int batch = 0; batch < 16 && received == DatagramSource::kBatch && !done(); ++batch) {
        received = source.receive();
        for (std::size_t i = 0; i < received && !done(); ++i) {
          const DatagramSource::View& view = source.datagram(i);
          Datagram datagram;
          std::string reason;
          if (!DatagramParser::parse(view.data, view.size, datagram, reason)) {
            ++malformed;
            report(SenderStreams::describe(view.from, view.fromLength, nullptr, nullptr) +
                   ": malformed datagram of " + std::to_string(view.size) + " bytes: " + reason);
            continue;
          }
          streams.accept(view.from, view.fromLength, datagram, now);
        }
        if (received > 0) {
          heard = true;
          lastDatagram = now;
        }
      }
      if (source.kernelDrops() != kernelDrops) {
        report("the kernel dropped " + std::to_string(source.kernelDrops() - kernelDrops) +
               " datagrams (receive buffer full)");
        kernelDrops = source.kernelDrops();
      }
      if (received < DatagramSource::kBatch && out) out->flush();
    } else if (out) {
      out->flush();
    }
    if (forwarder) forwarder->pump(now, ready > 0 ? watch[1].revents : 0);
    if (now >= nextCheck) {
      streams.expire(now);
      nextCheck = now + checkEvery;
    }
    if (heard && idle.count() > 0 && now - lastDatagram >= idle) break;
  }

  streams.finish();
  if (source.readKernelDrops() != kernelDrops) {
    report("the kernel dropped " + std::to_string(source.kernelDrops() - kernelDrops) +
           " datagrams (receive buffer full), counted at the end");
    kernelDrops = source.kernelDrops();
  }
  const bool written = !out || out->close();
  std::uint64_t unsent = 0;
  if (forwarder) unsent = forwarder->finish(Clock::now() + millis(options.lingerSeconds));

  const LineAssembler::Counts totals = streams.totals();
  report(describe(totals) + ", " + std::to_string(malformed) + " malformed, " +
         std::to_string(kernelDrops) + " dropped by the kernel; " +
         std::to_string(streams.streamsOpened()) + " sender stream" +
         (streams.streamsOpened() == 1 ? "" : "s") +
         (streams.streamsEvicted()
              ? " (" + std::to_string(streams.streamsEvicted()) + " closed to make room)"
              : ""));
  if (streams.rows().size() > 1) {
    for (const auto& row : streams.rows()) report("  " + row.name + ": " + describe(row.counts));
  }
  if (forwarder) {
    const auto& counts = forwarder->counts();
    report("forwarded " + std::to_string(counts.forwarded) + " lines to " + forwarder->target() +
           " over " + std::to_string(counts.connections) + " connection" +
           (counts.connections == 1 ? "" : "s") + "; " + std::to_string(counts.dropped) +
           " dropped from the full backlog, " + std::to_string(unsent) +
           " not delivered at the end, " + std::to_string(counts.unconfirmed) +
           " written to connections that broke before the collector confirmed them");
  }
  if (!written) {
    report(out->error());
    return 1;
  }
  return unsent > 0 || (forwarder && forwarder->counts().unconfirmed > 0) ? 1 : 0;
}
