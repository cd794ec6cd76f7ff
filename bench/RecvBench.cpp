// udplog-recv's receiving path against the bare limit, and forwarding into rsyslog against a file.
//
// Receiving: the datagrams of M lines are sent into a loopback socket with a receive buffer large
// enough to hold them all while nobody reads; then the clock runs while they are drained, once by
// a plain recv() loop that discards them (the limit) and once by the receiver's own parts
// (DatagramSource batches, DatagramParser, SenderStreams, a LineOutput to /dev/null). Both read
// the same socket kind with the same datagrams, so the ratio is the cost of reassembly.
//
// Forwarding: N lines of 120 bytes through TcpForwarder into a real rsyslogd (imtcp, omfile),
// timed until rsyslog's file holds them all, beside the same lines written by LineOutput to a file.
//
// Usage: recv_bench [--runs R]      (the forwarding part is skipped when rsyslogd is absent)

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/TcpForwarderInto.h"
#include "tests/support/TestSupport.h"
#include "tests/udplog-recv/RsyslogDaemon.h"
#include "udplog-recv/LineOutput.h"
#include "udplog-recv/forward/TcpForwarder.h"
#include "udplog-recv/reassembly/DatagramParser.h"
#include "udplog-recv/reassembly/DatagramSource.h"
#include "udplog-recv/reassembly/SenderStreams.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The datagrams of `lines` lines of `size` bytes, as the UDP medium cuts them.
std::vector<std::string> datagramsOf(std::size_t lines, std::size_t size) {
  std::vector<std::string> out;
  const std::string line(size, 'l');
  for (std::size_t n = 1; n <= lines; ++n) {
    const std::size_t parts = (size + 49999) / 50000;
    for (std::size_t p = 1; p <= parts; ++p) {
      out.push_back(std::to_string(n) + ":" + std::to_string(p) + "/" + std::to_string(parts) +
                    "|" + line.substr((p - 1) * 50000, 50000));
    }
  }
  return out;
}

struct CountingSink : SenderStreams::Sink {
  explicit CountingSink(LineOutput& output) : out(output) {}
  void line(const std::string&, unsigned, std::uint32_t, std::string_view text) override {
    ++lines;
    out.write(text);
  }
  void report(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
  LineOutput& out;
  std::size_t lines = 0;
};

class Loopback {
 public:
  Loopback() {
    std::string error;
    if (!source.open("127.0.0.1", 0, error)) std::fprintf(stderr, "%s\n", error.c_str());
    int size = 1 << 30;
    ::setsockopt(source.fd(), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size));
    socklen_t length = sizeof(to);
    ::getsockname(source.fd(), reinterpret_cast<sockaddr*>(&to), &length);
    sender = ::socket(AF_INET, SOCK_DGRAM, 0);
  }
  ~Loopback() { ::close(sender); }
  // Sends every datagram; false if the kernel dropped any.
  bool fill(const std::vector<std::string>& datagrams) {
    const std::uint32_t before = source.readKernelDrops();
    for (const auto& d : datagrams) {
      ::sendto(sender, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    return source.readKernelDrops() == before;
  }
  DatagramSource source;
  sockaddr_in to{};
  int sender;
};

void receiving(std::size_t lines, std::size_t size, int runs) {
  const auto datagrams = datagramsOf(lines, size);
  Loopback loop;
  std::vector<double> plain, ours;
  for (int run = 0; run < runs; ++run) {
    if (!loop.fill(datagrams)) std::fprintf(stderr, "warning: the kernel dropped datagrams\n");
    std::vector<char> buffer(65536);
    auto start = Clock::now();
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
      ::recv(loop.source.fd(), buffer.data(), buffer.size(), 0);
    }
    plain.push_back(lines / seconds(Clock::now() - start));

    if (!loop.fill(datagrams)) std::fprintf(stderr, "warning: the kernel dropped datagrams\n");
    LineOutput out;
    out.open("/dev/null");
    CountingSink sink(out);
    SenderStreams streams(sink, SenderStreams::Limits());
    start = Clock::now();
    std::size_t received = 0;
    while (received < datagrams.size()) {
      const std::size_t n = loop.source.receive();
      const auto now = Clock::now();
      for (std::size_t i = 0; i < n; ++i) {
        const auto& view = loop.source.datagram(i);
        Datagram d;
        std::string reason;
        if (DatagramParser::parse(view.data, view.size, d, reason)) {
          streams.accept(view.from, view.fromLength, d, now);
        }
      }
      received += n;
    }
    out.flush();
    ours.push_back(lines / seconds(Clock::now() - start));
    if (sink.lines != lines) std::fprintf(stderr, "warning: %zu lines of %zu\n", sink.lines, lines);
  }
  std::printf("| %zu bytes | %zu | %.0f | %.0f | %.2f |\n", size, lines, median(ours),
              median(plain), median(ours) / median(plain));
}

std::size_t countLines(const std::string& path) {
  const std::string text = testsupport::readFile(path);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

void forwarding(std::size_t lines, int runs) {
  const std::string line =
      "2026-12-07 10:00:00.000\vT1\vINFO\vbench\v" + std::string(85, 'm') + "\v-";  // 120 bytes
  std::vector<double> rsyslogRates, fileRates;
  for (int run = 0; run < runs; ++run) {
    testsupport::TempDir dir;
    testsupport::RsyslogDaemon rsyslog(dir.str());
    if (!rsyslog.start()) {
      std::fprintf(stderr, "rsyslogd did not start\n");
      return;
    }
    TcpForwarder forwarder = tcpForwarderInto(rsyslog, lines);
    const std::string host = "127.0.0.1";
    auto start = Clock::now();
    const auto when = std::chrono::system_clock::now();
    for (std::size_t n = 0; n < lines; ++n) {
      forwarder.enqueue(host, 40000, line, when);
      if (n % 256 == 0) forwarder.pump(Clock::now(), 0);
      if (forwarder.fd() >= 0 && n % 256 == 0) {
        pollfd watch{forwarder.fd(), forwarder.events(), 0};
        if (::poll(&watch, 1, 0) > 0) forwarder.pump(Clock::now(), watch.revents);
      }
    }
    forwarder.finish(Clock::now() + std::chrono::seconds(60));
    testsupport::waitFor([&] { return countLines(rsyslog.output()) >= lines; },
                         std::chrono::seconds(120));
    rsyslogRates.push_back(lines / seconds(Clock::now() - start));

    LineOutput out;
    out.open(dir.file("lines.txt"));
    start = Clock::now();
    for (std::size_t n = 0; n < lines; ++n) out.write(line);
    out.close();
    fileRates.push_back(lines / seconds(Clock::now() - start));
  }
  std::printf("| into rsyslog (imtcp -> omfile) | %zu | %.0f |\n", lines, median(rsyslogRates));
  std::printf("| into a file (LineOutput) | %zu | %.0f |\n", lines, median(fileRates));
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 5;
  if (argc == 3 && std::strcmp(argv[1], "--runs") == 0) runs = std::max(1, std::atoi(argv[2]));
  std::printf("| line size | lines | receiver lines/s | plain recv loop lines/s | ratio |\n");
  std::printf("|---|---|---|---|---|\n");
  receiving(100000, 120, runs);
  receiving(1500, 120000, runs);
  if (!testsupport::RsyslogDaemon::available()) {
    std::printf("rsyslogd is not installed: forwarding not measured\n");
    return 0;
  }
  std::printf("\n| forwarding 120-byte lines | lines | lines/s |\n|---|---|---|\n");
  forwarding(200000, runs);
  return 0;
}
