// One udplog-recv against 1, 10, 100 and 1 000 concurrent senders (each a socket of its own on
// 127.0.0.1, so a source port of its own), at increasing offered rates: lines of 120 bytes in one
// datagram, and lines of 100 120 bytes in three. Each trial offers the lines of about two seconds
// to a fresh udplog-recv writing to a file and reports the lines delivered per second of sending,
// the lines lost (offered and not written) with the kernel's drops for a full receive buffer
// apart (udplog-recv's own count, in datagrams), the collector's peak resident memory and its CPU
// time per line delivered. "Asked" is the rate the senders aimed at (0: as fast as the one sending
// thread can), "offered" the rate they reached; delivered lines per second are over the time of
// sending. With --runs, every figure is the median of that many trials; with --baseline, another
// build of udplog-recv takes its turn after each trial of this one, so that both meet the same
// load on a shared machine and the ratios between them hold.
//
// Usage: scale_bench [--seconds S] [--senders 1,10,100,1000] [--parts 1,3] [--rates R,...]
//                    [--runs N] [--baseline PATH] [--program PATH]
//   (--rates replaces the asked rates of the kinds chosen by --parts; 0 is full speed;
//    --program: the build measured instead of this one's)
// Prints one "system=udplog-recv senders=..." line per setting (and "system=baseline ..." with
// --baseline), then a table, then CPU per line at each sender count against that at the first.

#include <algorithm>
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

struct Options {
  double seconds = 2;
  int runs = 1;
  std::vector<std::size_t> senders{1, 10, 100, 1000};
  std::vector<std::size_t> parts{1, 3};
  std::vector<double> rates;  // empty: each kind's own
  std::vector<std::pair<std::string, std::string>> programs{{"udplog-recv", UDPLOG_RECV_PATH}};
};

// What one trial measured, or the medians of several.
struct Figures {
  std::size_t parts = 0;
  std::vector<double> offeredPerS, deliveredPerS, lost, drops, rssKb, cpuUsPerLine;
  void add(const Figures& other) {
    for (auto [to, from] : {std::pair{&offeredPerS, &other.offeredPerS},
                            {&deliveredPerS, &other.deliveredPerS},
                            {&lost, &other.lost},
                            {&drops, &other.drops},
                            {&rssKb, &other.rssKb},
                            {&cpuUsPerLine, &other.cpuUsPerLine}}) {
      to->insert(to->end(), from->begin(), from->end());
    }
  }
};

using benchlines::median;

// The number before `label` in udplog-recv's summary ("..., 12 dropped by the kernel; ...").
unsigned long long countBefore(const std::string& summary, const std::string& label) {
  const std::size_t at = summary.rfind(" " + label);
  if (at == std::string::npos) return 0;
  const std::size_t begin = summary.find_last_of(" ,", at - 1);
  return std::strtoull(summary.c_str() + (begin == std::string::npos ? 0 : begin + 1), nullptr, 10);
}

template <typename T>
std::vector<T> listOf(const char* text) {
  std::vector<T> values;
  std::istringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) values.push_back(static_cast<T>(std::stod(item)));
  return values;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const char* value = argv[i + 1];
    if (option == "--seconds") o.seconds = std::atof(value);
    if (option == "--runs") o.runs = std::max(1, std::atoi(value));
    if (option == "--program") o.programs[0].second = value;
    if (option == "--baseline" && *value) o.programs.emplace_back("baseline", value);
    if (option == "--senders") o.senders = listOf<std::size_t>(value);
    if (option == "--parts") o.parts = listOf<std::size_t>(value);
    if (option == "--rates") o.rates = listOf<double>(value);
  }
  return o;
}

// One fresh collector offered `lines` lines at `rate` from `senderCount` senders; false when it
// did not start.
bool trial(const std::string& program, const Kind& kind, std::size_t senderCount, double rate,
           std::size_t lines, Figures& out) {
  testsupport::TempDir dir;
  auto collector = benchlines::CollectorUnderTest::receiver(program, dir.str());
  if (!collector) {
    std::fprintf(stderr, "scale_bench: %s did not start\n", program.c_str());
    return false;
  }
  const double before = collector->cpuSeconds();
  benchlines::PacedSenders senders(collector->port(), senderCount, kind.size);
  const double sent = senders.send(lines, rate);
  collector->settle(lines, std::chrono::milliseconds(1000));
  const double cpu = collector->cpuSeconds() - before;
  const long rss = collector->peakRssKb();
  const std::string summary = collector->stop();
  const auto delivered = static_cast<double>(collector->lines());
  out.parts = senders.partsPerLine();
  out.offeredPerS.push_back(lines / sent);
  out.deliveredPerS.push_back(delivered / sent);
  out.lost.push_back(static_cast<double>(lines) - delivered);
  out.drops.push_back(static_cast<double>(countBefore(summary, "dropped by the kernel")));
  out.rssKb.push_back(static_cast<double>(rss));
  out.cpuUsPerLine.push_back(delivered > 0 ? cpu / delivered * 1e6 : 0.0);
  return true;
}

void printLine(const std::string& system, std::size_t senderCount, const Kind& kind, double rate,
               std::size_t lines, int runs, const Figures& f) {
  std::printf(
      "system=%s senders=%zu parts=%zu size=%zu asked_per_s=%.0f offered_per_s=%.0f lines=%zu "
      "delivered=%.0f delivered_per_s=%.0f lost=%.0f kernel_drops=%.0f peak_rss_kb=%.0f "
      "cpu_us_per_line=%.2f runs=%d\n",
      system.c_str(), senderCount, f.parts, kind.size, rate, median(f.offeredPerS), lines,
      static_cast<double>(lines) - median(f.lost), median(f.deliveredPerS), median(f.lost),
      median(f.drops), median(f.rssKb), median(f.cpuUsPerLine), runs);
  std::fflush(stdout);
}

std::string row(std::size_t senderCount, double rate, const std::vector<Figures>& figures) {
  const Figures& f = figures[0];
  char asked[32] = "full speed";
  if (rate > 0) std::snprintf(asked, sizeof(asked), "%.0f", rate);
  char text[384];
  int n = std::snprintf(
      text, sizeof(text), "| %zu | %zu | %s | %.0f | %.0f | %.0f | %.0f | %.1f | %.2f |",
      senderCount, f.parts, asked, median(f.offeredPerS), median(f.deliveredPerS), median(f.lost),
      median(f.drops), median(f.rssKb) / 1024, median(f.cpuUsPerLine));
  if (figures.size() > 1) {
    const Figures& b = figures[1];
    std::snprintf(text + n, sizeof(text) - n, " %.0f / %.1f / %.2f |", median(b.lost),
                  median(b.rssKb) / 1024, median(b.cpuUsPerLine));
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  std::vector<Kind> kinds;
  for (const Kind& kind : {Kind{120, {25000, 50000, 100000, 200000, 0}, 400000},
                           Kind{100120, {500, 1000, 2000, 5000, 0}, 10000}}) {
    const std::size_t parts =
        (kind.size + benchlines::PacedSenders::kPart - 1) / benchlines::PacedSenders::kPart;
    if (std::find(o.parts.begin(), o.parts.end(), parts) == o.parts.end()) continue;
    kinds.push_back(kind);
    if (!o.rates.empty()) kinds.back().rates = o.rates;
  }
  std::vector<std::string> table, ratios;
  for (const Kind& kind : kinds) {
    for (double rate : kind.rates) {
      std::vector<double> first(o.programs.size());
      for (std::size_t senderCount : o.senders) {
        const std::size_t lines =
            rate > 0 ? static_cast<std::size_t>(rate * o.seconds) : kind.unpacedLines;
        std::vector<Figures> figures(o.programs.size());
        // The builds take turns within each run, so that the machine's load reaches them alike.
        for (int run = 0; run < o.runs; ++run) {
          for (std::size_t p = 0; p < o.programs.size(); ++p) {
            if (!trial(o.programs[p].second, kind, senderCount, rate, lines, figures[p])) return 1;
          }
        }
        std::string ratio;
        for (std::size_t p = 0; p < o.programs.size(); ++p) {
          printLine(o.programs[p].first, senderCount, kind, rate, lines, o.runs, figures[p]);
          const double cpu = median(figures[p].cpuUsPerLine);
          if (senderCount == o.senders.front()) first[p] = cpu;
          char cell[64];
          std::snprintf(cell, sizeof(cell), " %.2f / %.2f = %.2f |", cpu, first[p],
                        first[p] > 0 ? cpu / first[p] : 0.0);
          ratio += cell;
        }
        table.push_back(row(senderCount, rate, figures));
        ratios.push_back("| " + std::to_string(senderCount) + " | " +
                         std::to_string(figures[0].parts) + " | " +
                         std::to_string(static_cast<long>(rate)) + " |" + ratio);
      }
    }
  }
  const bool before = o.programs.size() > 1;
  std::printf(
      "\n| senders | parts a line | asked lines/s | offered lines/s | delivered lines/s | lines "
      "lost | kernel drops (datagrams) | peak RSS (MiB) | CPU us a line |%s\n"
      "|---|---|---|---|---|---|---|---|---|%s\n",
      before ? " before: lost / peak RSS (MiB) / CPU us a line |" : "", before ? "---|" : "");
  for (const auto& line : table) std::printf("%s\n", line.c_str());
  std::printf("\nCPU us a line at each sender count / at %zu sender(s), medians of %d:\n",
              o.senders.front(), o.runs);
  std::printf("| senders | parts a line | asked lines/s | this build |%s\n|---|---|---|---|%s\n",
              before ? " baseline |" : "", before ? "---|" : "");
  for (const auto& line : ratios) std::printf("%s\n", line.c_str());
  return 0;
}
