#include "udplog-recv/ReceiverMetrics.h"

#include "udplog-recv/forward/RelpForwarder.h"
#include "udplog-recv/forward/TcpForwarder.h"
#include "udplog-recv/reassembly/SenderStreams.h"

void ReceiverMetrics::write(const Inputs& in, ReportLimiter& reports) {
  const std::error_code error = fill(in);
  if (error && file.isNewCause(error)) reports.report(file.describe(error));
}

std::string ReceiverMetrics::writeLast(const Inputs& in) {
  const std::error_code error = fill(in);
  return error ? file.describe(error, true) : std::string();
}

std::error_code ReceiverMetrics::fill(const Inputs& in) {
  const LineAssembler::Counts c = in.streams->totals();
  file.counter("udplog_recv_datagrams_received_total", "Datagrams received.", in.datagrams);
  file.counter("udplog_recv_datagrams_malformed_total", "Datagrams that were no logger datagram.",
               in.malformed);
  file.counter("udplog_recv_datagrams_refused_total",
               "Datagrams from senders outside the --allow networks.", in.refused);
  file.counter("udplog_recv_datagrams_too_old_total",
               "Datagrams too far behind their sender's newest line to be checked.", c.tooOld);
  file.counter("udplog_recv_kernel_drops_total",
               "Datagrams the kernel dropped for a full receive buffer.", in.kernelDrops);
  file.counter("udplog_recv_lines_received_total", "Lines put back together.", c.lines);
  file.counter("udplog_recv_lines_written_total", "Lines written whole to the output.", in.written);
  file.counter("udplog_recv_lines_lost_total", "Lines missing in the numbering.", c.lost);
  file.counter("udplog_recv_lines_late_total", "Lines that came after later ones.", c.late);
  file.counter("udplog_recv_lines_duplicate_total", "Lines that came again.", c.duplicates);
  file.counter("udplog_recv_lines_conflicting_total",
               "Lines whose parts disagreed with earlier ones.", c.conflicts);
  file.counter("udplog_recv_lines_incomplete_total", "Lines whose parts did not all come.",
               c.incomplete);
  file.counter("udplog_recv_resynchronisations_total",
               "Jumps in a sender's numbering too far ahead to be loss.", c.resyncs);
  file.counter("udplog_recv_sender_streams_opened_total", "Sender streams opened.",
               in.streams->streamsOpened());
  file.counter("udplog_recv_sender_streams_evicted_total",
               "Sender streams closed to make room for others (--max-senders).",
               in.streams->streamsEvicted());
  file.gauge("udplog_recv_senders_open", "Sender streams open now.", in.streams->streamsOpen());
  addForwarding(in);
  return file.write();
}

void ReceiverMetrics::addForwarding(const Inputs& in) {
  std::uint64_t forwarded = 0, acknowledged = 0, dropped = 0, backlog = 0, connections = 0,
                unconfirmed = 0, neverSent = 0, refused = 0, sentAgain = 0, givenUp = 0,
                timedOut = 0;
  if (in.forwarder) {
    const TcpForwarder::Counts& f = in.forwarder->counts();
    forwarded = f.forwarded;
    dropped = f.dropped;
    connections = f.connections;
    unconfirmed = f.unconfirmed;
    refused = f.tooLong;
    timedOut = f.timedOut;
    backlog = in.forwarder->backlog();
    neverSent = in.undelivered;  // TCP lines left at the end were never written
  }
  if (in.relp) {
    const RelpForwarder::Counts r = in.relp->counts();
    forwarded = acknowledged = r.acknowledged;
    dropped = r.dropped;
    connections = r.sessions;
    backlog = r.held;
    neverSent = r.neverSent;
    refused = r.refused;
    sentAgain = r.sentAgain;
    givenUp = r.givenUp;
    timedOut = r.timedOut;
  }
  file.counter("udplog_recv_lines_forwarded_total", "Lines handed to the target.", forwarded);
  file.counter("udplog_recv_lines_acknowledged_total", "Lines the target acknowledged (RELP).",
               acknowledged);
  file.counter("udplog_recv_lines_dropped_total",
               "Lines dropped from the full backlog for the target.", dropped);
  file.counter("udplog_recv_lines_unconfirmed_total",
               "Lines written on TCP connections that the target ended or that broke: an upper "
               "bound of the lines it may not have (plain TCP cannot tell).",
               unconfirmed);
  file.counter("udplog_recv_lines_refused_total",
               "Lines the target answered with an error (RELP), given up (RELP) or over "
               "--max-line-bytes: never sent again.",
               refused);
  file.counter("udplog_recv_lines_given_up_total",
               "Of the refused lines, those given up after breaking every session they went on, "
               "the last time alone (RELP).",
               givenUp);
  file.counter("udplog_recv_lines_sent_again_total",
               "Lines sent again on a new session, unanswered on a broken one (RELP).", sentAgain);
  file.counter("udplog_recv_lines_undelivered_total",
               "Lines the target had not taken when the run ended.", in.undelivered);
  file.counter("udplog_recv_lines_never_sent_total",
               "Lines left at the end that were never handed to the target.", neverSent);
  file.counter("udplog_recv_forward_timeouts_total",
               "Name lookups and connections to the target that ran out of --forward-timeout.",
               timedOut);
  file.counter("udplog_recv_forward_connections_total",
               "Connections (TCP) or sessions (RELP) opened to the target.", connections);
  file.gauge("udplog_recv_backlog_lines", "Lines waiting for the target.", backlog);
}
