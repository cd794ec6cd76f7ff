// udplog-recv beside rsyslogd as collectors of the same datagrams: one sender on 127.0.0.1 sends
// single-datagram lines of 120 bytes to each in turn, the collector writes every line to a file
// (rsyslogd: imudp, omfile with a 256 KiB buffer written asynchronously, the raw message written
// back). Paced at a rate both hold, it measures the collector's CPU time (user + system, all
// threads, from /proc) per line delivered; unpaced, the lines each delivers of those offered by
// T sending threads (a sender each) that take the machine's cores from it, so that the collector
// needing less CPU per line keeps more of them. With --baseline, another build of udplog-recv
// takes its turn too, so that a change is measured side by side.
//
// Usage: collector_bench [--rate R] [--lines N] [--full-lines N] [--full-threads T] [--runs R]
//                        [--baseline PATH]
// Prints one "system=..." line per system and mode (medians of the runs), then a table.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/CollectorUnderTest.h"
#include "bench/PacedSenders.h"
#include "tests/support/TestSupport.h"

namespace {

using benchlines::CollectorUnderTest;

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

struct System {
  std::string name, program;  // an empty program is rsyslogd
  std::vector<double> cpuPerLine, pacedDelivered, fullDelivered, fullSeconds;
};

std::unique_ptr<CollectorUnderTest> start(const System& system, const std::string& dir) {
  return system.program.empty() ? CollectorUnderTest::rsyslog(dir)
                                : CollectorUnderTest::receiver(system.program, dir);
}

// One paced trial from one sender, or an unpaced one from `threads` senders on threads of their
// own; false when the collector did not start.
bool trial(System& system, std::size_t lines, double rate, unsigned threads) {
  testsupport::TempDir dir;
  auto collector = start(system, dir.str());
  if (!collector) {
    std::fprintf(stderr, "%s did not start\n", system.name.c_str());
    return false;
  }
  const double before = collector->cpuSeconds();
  double seconds = 0;
  if (rate > 0) {
    benchlines::PacedSenders senders(collector->port(), 1, 120);
    seconds = senders.send(lines, rate);
  } else {
    std::vector<std::thread> senders;
    std::vector<double> taken(threads);
    for (unsigned t = 0; t < threads; ++t) {
      senders.emplace_back([&, t] {
        benchlines::PacedSenders sender(collector->port(), 1, 120);
        taken[t] = sender.send(lines / threads, 0);
      });
    }
    for (auto& thread : senders) thread.join();
    seconds = *std::max_element(taken.begin(), taken.end());
    lines = lines / threads * threads;
  }
  collector->settle(lines, std::chrono::milliseconds(2000));
  const double cpu = collector->cpuSeconds() - before;
  collector->stop();
  const double delivered = static_cast<double>(collector->lines());
  if (rate > 0) {
    system.cpuPerLine.push_back(delivered > 0 ? cpu / delivered * 1e6 : 0);
    system.pacedDelivered.push_back(delivered);
  } else {
    system.fullDelivered.push_back(delivered);
    system.fullSeconds.push_back(seconds);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  double rate = 150000;
  std::size_t lines = 750000, fullLines = 1000000;
  unsigned fullThreads = 2;
  int runs = 3;
  std::string baseline;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--rate") rate = std::atof(argv[i + 1]);
    if (option == "--lines") lines = std::strtoull(argv[i + 1], nullptr, 10);
    if (option == "--full-lines") fullLines = std::strtoull(argv[i + 1], nullptr, 10);
    if (option == "--full-threads") fullThreads = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (option == "--baseline") baseline = argv[i + 1];
  }
  if (!testsupport::RsyslogDaemon::available()) {
    std::fprintf(stderr, "collector_bench: rsyslogd is not installed: nothing to compare with\n");
    return 1;
  }
  std::vector<System> systems{{"udplog-recv", UDPLOG_RECV_PATH, {}, {}, {}, {}}};
  if (!baseline.empty()) systems.push_back({"baseline", baseline, {}, {}, {}, {}});
  systems.push_back({"rsyslogd", "", {}, {}, {}, {}});

  // The systems take turns within each run, so that the machine's load reaches them alike.
  for (int run = 0; run < runs; ++run) {
    for (auto& system : systems) {
      if (!trial(system, lines, rate, 1) || !trial(system, fullLines, 0, fullThreads)) return 1;
    }
  }
  const System& peer = systems.back();
  for (const auto& s : systems) {
    std::printf(
        "system=%s mode=paced rate=%.0f lines=%zu runs=%d delivered=%.0f cpu_us_per_line=%.3f "
        "vs_rsyslogd=%.2f\n",
        s.name.c_str(), rate, lines, runs, median(s.pacedDelivered), median(s.cpuPerLine),
        median(s.cpuPerLine) / median(peer.cpuPerLine));
    std::printf(
        "system=%s mode=full lines=%zu threads=%u runs=%d delivered=%.0f sender_s=%.2f "
        "vs_rsyslogd=%.2f\n",
        s.name.c_str(), fullLines, fullThreads, runs, median(s.fullDelivered),
        median(s.fullSeconds), median(s.fullDelivered) / median(peer.fullDelivered));
  }
  std::printf(
      "\n| collector | CPU per line at %.0f lines/s (us) | vs rsyslogd | lines delivered of %zu "
      "from %u senders at full speed | offered lines/s | vs rsyslogd |\n"
      "|---|---|---|---|---|---|\n",
      rate, fullLines, fullThreads);
  for (const auto& s : systems) {
    std::printf("| %s | %.2f | %.2f | %.0f | %.0f | %.2f |\n", s.name.c_str(), median(s.cpuPerLine),
                median(s.cpuPerLine) / median(peer.cpuPerLine), median(s.fullDelivered),
                fullLines / median(s.fullSeconds),
                median(s.fullDelivered) / median(peer.fullDelivered));
  }
  return 0;
}
