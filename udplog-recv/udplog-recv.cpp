// udplog-recv: receives the logger's UDP datagrams from any number of senders, puts each sender's
// lines back together and writes them one per line, to a file or standard output, and/or forwards
// them to a syslog target. What went missing on the way is reported on standard error.
//
// Signals: SIGINT, SIGTERM and the other signals that would end it (SIGUSR2, SIGALRM, ...) end the
// run cleanly, as the end of input does: incomplete lines are reported, the backlog is handed to
// the target, the summary is printed, exit status as usual. A second one ends it at once with
// 128 + its number, also while it lingers for a target or waits on a full output. SIGHUP
// reopens the --output file (logrotate renamed it away); SIGUSR1 prints the summary's counts so
// far in one line. The handlers do not restart interrupted calls: ppoll() returns at once, and
// LineOutput carries on with a write that a signal interrupted.

//
// main() reads as its phases: the options, the forwarders, the output, listening, then the
// Collector's receive loop and its summary.

#include <exception>
#include <memory>
#include <string>

#include "logger/core/ReportLimiter.h"
#include "platform/StopSignals.h"
#include "platform/StreamMode.h"
#include "udplog-recv/Collector.h"
#include "udplog-recv/LineOutput.h"
#include "udplog-recv/ReceiverOptions.h"
#include "udplog-recv/Report.h"
#include "udplog-recv/forward/RelpForwarder.h"
#include "udplog-recv/forward/TcpForwarder.h"
#include "udplog-recv/reassembly/DatagramSource.h"

namespace {

// A set-up phase that cannot go on: its one line and the exit status (2: configuration found
// wrong before the first line; 1: what may work on the next start).
struct SetupFailure {
  int status;
  std::string text;
};

// The one forwarder that --forward names, if any.
struct Forwarders {
  std::unique_ptr<TcpForwarder> syslog;
  std::unique_ptr<RelpForwarder> relp;
};

ForwardTarget forwardTarget(const ReceiverOptions& options, const std::string& scheme) {
  ForwardTarget target;
  if (const ForwardResult parsed = ForwardTarget::parse(options.forward, scheme, target);
      !parsed.ok()) {
    throw SetupFailure{2, parsed.cause() + "; try --help"};
  }
  return target;
}

bool forwardsOverRelp(const ReceiverOptions& options) {
  return options.forward.rfind(std::string(RelpForwarder::kScheme) + "://", 0) == 0;
}

RelpForwarder::Tls tlsOf(const ReceiverOptions& options) {
  return {options.tlsCa, options.tlsCert, options.tlsKey, options.tlsPeer, options.tlsFingerprints};
}

// A target or a TLS file that cannot work is configuration found wrong before the first line,
// said before anything is opened or started.
void checkForwarding(const ReceiverOptions& options) {
  if (options.forward.empty()) return;
  if (!forwardsOverRelp(options)) {
    (void)forwardTarget(options, TcpForwarder::kScheme);
    return;
  }
  (void)forwardTarget(options, RelpForwarder::kScheme);
  std::string note;
  if (const ForwardResult checked = RelpForwarder::checkTls(tlsOf(options), &note); !checked.ok()) {
    throw SetupFailure{2, checked.cause()};
  }
  if (!note.empty()) report("warning: " + note);
}

std::unique_ptr<RelpForwarder> startRelp(const ReceiverOptions& options) {
  RelpForwarder::Limits limits;
  limits.maxLines = static_cast<std::size_t>(options.backlogLines);
  limits.maxBytes = static_cast<std::size_t>(options.backlogBytes);
  limits.maxMessageBytes = static_cast<std::size_t>(options.maxLineBytes);
  limits.window = options.relpWindow;
  limits.timeoutSeconds = options.forwardTimeoutSeconds;
  return std::make_unique<RelpForwarder>(forwardTarget(options, RelpForwarder::kScheme),
                                         tlsOf(options), limits);
}

Forwarders startForwarders(const ReceiverOptions& options, ReportLimiter& reports) {
  Forwarders forwarders;
  if (forwardsOverRelp(options)) {
    forwarders.relp = startRelp(options);
  } else if (!options.forward.empty()) {
    TcpForwarder::Limits limits;
    limits.maxLines = static_cast<std::size_t>(options.backlogLines);
    limits.maxBytes = static_cast<std::size_t>(options.backlogBytes);
    limits.maxMessageBytes = static_cast<std::size_t>(options.maxLineBytes);
    limits.timeout = std::chrono::seconds(options.forwardTimeoutSeconds);
    forwarders.syslog = std::make_unique<TcpForwarder>(
        forwardTarget(options, TcpForwarder::kScheme), limits,
        [&reports](const std::string& text) { reports.report(text); });
  }
  return forwarders;
}

// The file or standard output; none when the lines are only forwarded.
std::unique_ptr<LineOutput> openOutput(const ReceiverOptions& options, bool forwarding) {
  if (forwarding && options.output.empty()) return nullptr;
  auto out = std::make_unique<LineOutput>();
  if (options.hasSeparator) out->showTabsAs(options.separator);
  if (!options.output.empty() && !out->open(options.output)) {
    // A stop while a FIFO waited for its reader ends a run that had not begun, cleanly.
    if (StopSignals::received() != 0) {
      throw SetupFailure{0, "stopped by a signal while waiting to open " + options.output};
    }
    throw SetupFailure{1, out->error()};
  }
  if (const std::string notice = out->takeNotice(); !notice.empty()) report(notice);
  return out;
}

void listen(DatagramSource& source, const ReceiverOptions& options) {
  std::string error;
  if (!source.open(options.listen, options.port, error)) {
    // A setting that cannot work is final (2); a port in use or an address not yet on an
    // interface may work on the next start (1, which the service retries).
    const bool setting = source.openFailure() == DatagramSource::Failure::kSetting;
    throw SetupFailure{setting ? 2 : 1,
                       error.rfind("--listen", 0) == 0 ? error + "; try --help" : error};
  }
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

}  // namespace

int main(int argc, char** argv) {
  StreamMode::holdClosedStreams();
  const ReceiverOptions options = ReceiverOptions::parse(argc, argv);
  try {
    StopSignals::install(StopSignals::Hangup::kReopen);
    // Reports that may come per datagram, line or sender: a flood of one kind is counted, not
    // printed line by line. The summary's counts do not depend on it.
    ReportLimiter reports(printReport);
    for (const std::string& warning : options.warnings) report("warning: " + warning);
    checkForwarding(options);
    const std::unique_ptr<LineOutput> out = openOutput(options, !options.forward.empty());
    DatagramSource source;
    listen(source, options);
    // Started last, so that a run that cannot begin (a port in use) does not wait for a
    // connection attempt to end.
    const Forwarders forwarders = startForwarders(options, reports);
    Collector collector(
        options, {source, out.get(), forwarders.syslog.get(), forwarders.relp.get(), reports});
    report(startLine(options, out.get(),
                     forwarders.syslog ? forwarders.syslog->target()
                     : forwarders.relp ? forwarders.relp->target()
                                       : std::string()));
    collector.run();
    return collector.finish();
  } catch (const SetupFailure& failure) {
    report(failure.text);
    return failure.status;
  } catch (const std::exception& e) {
    report(e.what());
    return 1;
  }
}
