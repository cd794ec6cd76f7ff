// One udplog-recv against 1, 10, 100 and 1 000 concurrent senders (each a socket of its own on
// 127.0.0.1, so a source port of its own), at increasing offered rates: lines of 120 bytes in one
// datagram, and lines of 100 120 bytes in three. Each trial offers the lines of about two seconds
// to a fresh udplog-recv writing to a file and reports the lines delivered per second of sending,
// the lines lost (offered and not written) with the kernel's drops for a full receive buffer
// apart (udplog-recv's own count, in datagrams), the collector's peak resident memory and its CPU
// time per line delivered. "Asked" is the rate the senders aimed at (0: as fast as the one sending
// thread can), "offered" the rate they reached; delivered lines per second are over the time of
// sending.
//
// Usage: scale_bench [--seconds S] [--senders 1,10,100,1000] [--program PATH]
//   (--program: another build of udplog-recv, to compare with this one's figures)
// Prints one "system=udplog-recv senders=..." line per trial, then a table.

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "bench/CollectorUnderTest.h"
#include "bench/PacedSenders.h"
#include "tests/support/TestSupport.h"

namespace {

struct Kind {
  std::size_t size;
  std::vector<double> rates;  // lines per second; 0 unpaced
  std::size_t unpacedLines;
};

// The number before `label` in udplog-recv's summary ("..., 12 dropped by the kernel; ...").
unsigned long long countBefore(const std::string& summary, const std::string& label) {
  const std::size_t at = summary.rfind(" " + label);
  if (at == std::string::npos) return 0;
  const std::size_t begin = summary.find_last_of(" ,", at - 1);
  return std::strtoull(summary.c_str() + (begin == std::string::npos ? 0 : begin + 1), nullptr, 10);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 2;
  std::string program = UDPLOG_RECV_PATH;
  std::vector<std::size_t> senderCounts{1, 10, 100, 1000};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--seconds") seconds = std::atof(argv[i + 1]);
    if (option == "--program") program = argv[i + 1];
    if (option == "--senders") {
      senderCounts.clear();
      std::istringstream list(argv[i + 1]);
      std::string item;
      while (std::getline(list, item, ',')) senderCounts.push_back(std::stoul(item));
    }
  }
  const std::vector<Kind> kinds{{120, {25000, 50000, 100000, 200000, 0}, 400000},
                                {100120, {500, 1000, 2000, 5000, 0}, 10000}};
  std::vector<std::string> table;
  for (const Kind& kind : kinds) {
    for (std::size_t senderCount : senderCounts) {
      for (double rate : kind.rates) {
        testsupport::TempDir dir;
        auto collector = benchlines::CollectorUnderTest::receiver(program, dir.str());
        if (!collector) {
          std::fprintf(stderr, "scale_bench: udplog-recv did not start\n");
          return 1;
        }
        const std::size_t lines =
            rate > 0 ? static_cast<std::size_t>(rate * seconds) : kind.unpacedLines;
        const double before = collector->cpuSeconds();
        benchlines::PacedSenders senders(collector->port(), senderCount, kind.size);
        const double sent = senders.send(lines, rate);
        collector->settle(lines, std::chrono::milliseconds(1000));
        const double cpu = collector->cpuSeconds() - before;
        const long rss = collector->peakRssKb();
        const std::string summary = collector->stop();
        const std::size_t delivered = collector->lines();
        const unsigned long long drops = countBefore(summary, "dropped by the kernel");
        std::printf(
            "system=udplog-recv senders=%zu parts=%zu size=%zu asked_per_s=%.0f offered_per_s=%.0f "
            "lines=%zu "
            "delivered=%zu delivered_per_s=%.0f lost=%zu kernel_drops=%llu peak_rss_kb=%ld "
            "cpu_us_per_line=%.2f\n",
            senderCount, senders.partsPerLine(), kind.size, rate, lines / sent, lines, delivered,
            delivered / sent, lines - delivered, drops, rss,
            delivered ? cpu / delivered * 1e6 : 0.0);
        std::fflush(stdout);
        char row[256];
        char asked[32] = "full speed";
        if (rate > 0) std::snprintf(asked, sizeof(asked), "%.0f", rate);
        std::snprintf(
            row, sizeof(row), "| %zu | %zu | %s | %.0f | %.0f | %zu | %llu | %.1f | %.2f |",
            senderCount, senders.partsPerLine(), asked, lines / sent, delivered / sent,
            lines - delivered, drops, rss / 1024.0, delivered ? cpu / delivered * 1e6 : 0.0);
        table.push_back(row);
      }
    }
  }
  std::printf(
      "\n| senders | parts a line | asked lines/s | offered lines/s | delivered lines/s | lines "
      "lost | kernel drops (datagrams) | peak RSS (MiB) | CPU us a line |\n"
      "|---|---|---|---|---|---|---|---|---|\n");
  for (const auto& row : table) std::printf("%s\n", row.c_str());
  return 0;
}
