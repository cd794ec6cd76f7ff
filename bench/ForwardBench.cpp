// udplog-recv's three ways to a collector side by side: N lines of 120 bytes forwarded into a real
// rsyslogd (omfile) over plain TCP (TcpForwarder, imtcp), over RELP (RelpForwarder, imrelp)
// and over RELP in TLS (certificates made by certtool); beside them rsyslogd's own RELP client
// (a relay rsyslogd: imudp -> omrelp, window 1024) into the same kind of rsyslogd. Each run times
// one target from the first send until rsyslog's file holds every line (and, over RELP, every
// line was acknowledged); the targets take turns within each run, so that the machine's load
// reaches them alike.
//
// With --memory SECONDS it measures instead the resident memory of a RELP forwarder whose target
// takes 5 MB/s while lines are offered at twice that: it must stay flat, bounded by --backlog.
//
// Usage: forward_bench [--lines N] [--runs R]   (needs rsyslogd, imrelp, omrelp and certtool)
//        forward_bench --memory SECONDS       (at least 60; needs nothing)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/TcpForwarderInto.h"
#include "tests/support/TestSupport.h"
#include "tests/udplog-recv/LoopbackListener.h"
#include "tests/udplog-recv/RsyslogDaemon.h"
#include "tests/udplog-recv/TestCertificates.h"
#include "udplog-recv/forward/RelpForwarder.h"
#include "udplog-recv/forward/RelpFraming.h"
#include "udplog-recv/forward/SyslogMessage.h"
#include "udplog-recv/forward/TcpForwarder.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::RsyslogDaemon;

const std::string kLine =
    "2026-12-07 10:00:00.000\vT1\vINFO\vbench\v" + std::string(85, 'm') + "\v-";  // 120 bytes

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::size_t countLines(const std::string& path) {
  const std::string text = testsupport::readFile(path);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Lines per second into rsyslog over TCP; 0 when not all arrived.
double overTcp(std::size_t lines) {
  testsupport::TempDir dir;
  RsyslogDaemon rsyslog(dir.str());
  if (!rsyslog.start()) return 0;
  TcpForwarder forwarder = tcpForwarderInto(rsyslog, lines);
  const auto start = Clock::now();
  const auto when = std::chrono::system_clock::now();
  for (std::size_t n = 0; n < lines; ++n) {
    forwarder.enqueue("127.0.0.1", 40000, kLine, when);
    if (n % 256 == 0) {
      pollfd watch{forwarder.fd(), forwarder.events(), 0};
      const bool ready = forwarder.fd() >= 0 && ::poll(&watch, 1, 0) > 0;
      forwarder.pump(Clock::now(), ready ? watch.revents : 0);
    }
  }
  forwarder.finish(Clock::now() + std::chrono::seconds(60));
  if (!testsupport::waitFor([&] { return countLines(rsyslog.output()) >= lines; },
                            std::chrono::seconds(120))) {
    return 0;
  }
  return lines / std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU seconds (user and system) of a process's threads named comm, or of all when comm is "".
double cpuSeconds(pid_t pid, const std::string& comm) {
  double ticks = 0;
  boost::system::error_code error;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (boost::filesystem::directory_iterator it(tasks, error), end; !error && it != end; ++it) {
    const std::string stat = testsupport::readFile(it->path().string() + "/stat");
    const std::size_t open = stat.find('('), close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    if (!comm.empty() && stat.substr(open + 1, close - open - 1) != comm) continue;
    // Fields after the name: state is the 3rd of the line, utime the 14th and stime the 15th.
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    for (int n = 3; n <= 15 && rest >> field; ++n) {
      if (n >= 14) ticks += std::stod(field);
    }
  }
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// CPU seconds of this process so far, its ended threads included.
double processCpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU microseconds per line over RELP in the latest run: ours (the whole bench process, the
// lines' formatting included) and rsyslogd's (its imrelp thread, which reads, writes the file
// through the direct queue and answers; and all its threads).
struct RelpCpu {
  double ours = 0, imrelp = 0, rsyslogd = 0;
};
RelpCpu lastRelpCpu;

// The runs' CPU figures of one kind of RELP, printed as medians.
struct CpuFigures {
  std::vector<double> ours, imrelp, rsyslogd;
  void add(const RelpCpu& run) {
    ours.push_back(run.ours);
    imrelp.push_back(run.imrelp);
    rsyslogd.push_back(run.rsyslogd);
  }
  void print(const char* what) const {
    std::printf(
        "CPU per line over %s, medians: ours %.1f us (the whole process, formatting "
        "included), rsyslogd's imrelp thread %.1f us (%.1f us in all its threads): one core "
        "carries at most %.0f lines/s through imrelp\n",
        what, median(ours), median(imrelp), median(rsyslogd), 1e6 / median(imrelp));
  }
};

// Lines per second into rsyslog over RELP, in TLS when certificates are given; 0 when not all
// were acknowledged.
double overRelp(std::size_t lines, const testsupport::TestCertificates* certificates) {
  testsupport::TempDir dir;
  RsyslogDaemon::Tls collectorTls;
  RelpForwarder::Tls tls;
  if (certificates) {
    collectorTls = {certificates->pem("ca"), certificates->pem("server"),
                    certificates->key("server"), testsupport::TestCertificates::kClientName};
    tls = {certificates->pem("ca"),
           certificates->pem("client"),
           certificates->key("client"),
           testsupport::TestCertificates::kTargetName,
           {}};
  }
  RsyslogDaemon rsyslog(dir.str(), "127.0.0.1", RsyslogDaemon::Protocol::kRelp, collectorTls);
  if (!rsyslog.start()) return 0;
  ForwardTarget target;
  (void)ForwardTarget::parse(rsyslog.target(), RelpForwarder::kScheme, target);
  RelpForwarder::Limits limits;
  limits.maxLines = lines;
  limits.maxBytes = 1u << 30;
  RelpForwarder forwarder(target, tls, limits);
  const double oursBefore = processCpuSeconds();
  const auto start = Clock::now();
  const auto when = std::chrono::system_clock::now();
  for (std::size_t n = 0; n < lines; ++n) forwarder.enqueue("127.0.0.1", 40000, kLine, when);
  forwarder.finish(Clock::now() + std::chrono::seconds(120));
  const auto counts = forwarder.counts();
  if (counts.acknowledged != lines || !forwarder.status().ok()) {
    std::fprintf(stderr, "%s: %llu of %zu acknowledged %s\n", rsyslog.target().c_str(),
                 static_cast<unsigned long long>(counts.acknowledged), lines,
                 forwarder.status().cause().c_str());
    return 0;
  }
  if (!testsupport::waitFor([&] { return countLines(rsyslog.output()) >= lines; },
                            std::chrono::seconds(120))) {
    return 0;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double perLine = 1e6 / static_cast<double>(lines);
  lastRelpCpu = {(processCpuSeconds() - oursBefore) * perLine,
                 cpuSeconds(rsyslog.pid(), "in:imrelp") * perLine,
                 cpuSeconds(rsyslog.pid(), "") * perLine};
  return lines / seconds;
}

// CPU microseconds per line of the same messages written only to a file (formatted as over RELP,
// through a buffered stream): what forwarding is weighed against.
double fileCpuPerLine(std::size_t lines) {
  testsupport::TempDir dir;
  std::FILE* file = std::fopen((dir.str() + "/lines.txt").c_str(), "w");
  if (!file) return 0;
  const double before = processCpuSeconds();
  const auto when = std::chrono::system_clock::now();
  for (std::size_t n = 0; n < lines; ++n) {
    const std::string message = SyslogMessage::message("127.0.0.1", 40000, kLine, when);
    std::fwrite(message.data(), 1, message.size(), file);
    std::fputc('\n', file);
  }
  std::fclose(file);
  return (processCpuSeconds() - before) * 1e6 / static_cast<double>(lines);
}

// Lines per second through rsyslogd's own RELP client into the sink: the lines go as UDP
// datagrams to a relay rsyslogd (imudp -> omrelp, window 1024), paced at 200 000 a second so
// that imudp drops none, and at most 100 000 of them, which its main queue holds. Counted until
// the sink holds every line, or no more arrive for 5 s (then the lines that arrived).
double throughOmrelp(std::size_t lines) {
  lines = std::min<std::size_t>(lines, 100000);
  testsupport::TempDir sinkDir, relayDir;
  RsyslogDaemon sink(sinkDir.str(), "127.0.0.1", RsyslogDaemon::Protocol::kRelp);
  if (!sink.start()) return 0;
  RsyslogDaemon relay(relayDir.str(), "127.0.0.1", RsyslogDaemon::Protocol::kUdp);
  // The relay's configuration in place of the one it wrote: the same input, one omrelp action.
  std::ofstream(relayDir.str() + "/rsyslog.conf")
      << "global(workDirectory=\"" << relayDir.str() << "\" maxMessageSize=\"64k\")\n"
      << "module(load=\"imudp\")\nmodule(load=\"omrelp\")\n"
      << "ruleset(name=\"relay\") { action(type=\"omrelp\" target=\"127.0.0.1\" port=\""
      << sink.port() << "\" windowSize=\"1024\") }\n"
      << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << relay.port()
      << "\" ruleset=\"relay\" rcvbufSize=\"8m\")\n";
  if (!relay.start()) return 0;
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(relay.port());
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  const std::string datagram = "<14>" + kLine;
  const auto start = Clock::now();
  for (std::size_t n = 0; n < lines; ++n) {
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    if (n % 1000 == 999) std::this_thread::sleep_until(start + std::chrono::microseconds(5 * n));
  }
  ::close(fd);
  std::size_t arrived = 0;
  auto last = Clock::now();
  while (arrived < lines && Clock::now() - last < std::chrono::seconds(5)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::size_t now = countLines(sink.output());
    if (now != arrived) last = Clock::now();
    arrived = now;
  }
  if (arrived < lines) std::fprintf(stderr, "omrelp: %zu of %zu lines arrived\n", arrived, lines);
  return arrived / std::chrono::duration<double>(last - start).count();
}

// A RELP target of the bench's own that takes at most rate bytes a second, and answers every
// frame it has read at once. One connection at a time, on its own thread.
class SlowTarget {
 public:
  explicit SlowTarget(double bytesPerSecond) : rate(bytesPerSecond) {
    listener.listen(4);
    thread = std::thread([this] { serve(); });
  }
  ~SlowTarget() {
    stopping = true;
    thread.join();
  }
  std::string target() const { return "relp://" + listener.hostPort(); }

 private:
  void serve() {
    while (!stopping) {
      pollfd watch{listener.fd(), POLLIN, 0};
      if (::poll(&watch, 1, 100) <= 0) continue;
      const int fd = ::accept(listener.fd(), nullptr, nullptr);
      if (fd >= 0) talk(fd);
      if (fd >= 0) ::close(fd);
    }
  }
  void talk(int fd) {
    RelpFraming reader;
    char buffer[65536];
    const auto start = Clock::now();
    double taken = 0;
    while (!stopping) {
      const double allowed = rate * std::chrono::duration<double>(Clock::now() - start).count();
      if (taken >= allowed) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      pollfd watch{fd, POLLIN, 0};
      if (::poll(&watch, 1, 100) <= 0) continue;
      const ssize_t got = ::recv(fd, buffer, sizeof(buffer), 0);
      if (got <= 0) return;
      taken += static_cast<double>(got);
      reader.feed(buffer, static_cast<std::size_t>(got));
      std::string answers;
      for (RelpFraming::Frame frame; reader.next(frame);) {
        RelpFraming::frame(answers, frame.txnr, "rsp",
                           frame.command == "open" ? "200 OK\ncommands=syslog" : "200 OK");
      }
      if (!answers.empty()) (void)!::send(fd, answers.data(), answers.size(), MSG_NOSIGNAL);
    }
  }

  const double rate;
  testsupport::LoopbackListener listener;
  std::atomic<bool> stopping{false};
  std::thread thread;
};

// The process's resident memory in MiB, from /proc.
double residentMiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024;
  }
  return 0;
}

// 20 kB lines offered at 10 MB/s to a RELP forwarder with the defaults of udplog-recv, its target
// taking 5 MB/s: the resident memory at 10 s and at the end.
int memoryUnderASlowTarget(int seconds) {
  SlowTarget slow(5e6);
  ForwardTarget target;
  (void)ForwardTarget::parse(slow.target(), RelpForwarder::kScheme, target);
  RelpForwarder forwarder(target, {}, RelpForwarder::Limits());
  const std::string line(20000, 'm');
  const auto when = std::chrono::system_clock::now();
  const auto start = Clock::now();
  double atTen = 0;
  for (long n = 0; Clock::now() - start < std::chrono::seconds(seconds); ++n) {
    forwarder.enqueue("127.0.0.1", 40000, line, when);
    std::this_thread::sleep_until(start + std::chrono::microseconds(2000 * n));
    if (atTen == 0 && Clock::now() - start >= std::chrono::seconds(10)) atTen = residentMiB();
  }
  const double atEnd = residentMiB();
  const RelpForwarder::Counts counts = forwarder.counts();
  std::printf(
      "resident memory, 20 kB lines at 10 MB/s over RELP to a target taking 5 MB/s (default "
      "bounds: 100000 lines, 64 MiB): %.0f MiB at 10 s, %.0f MiB at %d s (%.2fx); %llu "
      "acknowledged, %llu dropped from the full backlog, %llu held\n",
      atTen, atEnd, seconds, atEnd / atTen, static_cast<unsigned long long>(counts.acknowledged),
      static_cast<unsigned long long>(counts.dropped),
      static_cast<unsigned long long>(counts.held));
  forwarder.finish(Clock::now());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--memory") == 0) {
      return memoryUnderASlowTarget(std::max(60, std::atoi(argv[i + 1])));
    }
  }
  std::size_t lines = 200000;
  int runs = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--lines") == 0) lines = std::stoul(argv[i + 1]);
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::max(1, std::atoi(argv[i + 1]));
  }
  if (!RsyslogDaemon::relpAvailable() || !testsupport::TestCertificates::available()) {
    std::printf("rsyslogd with imrelp (rsyslog-relp) or certtool (gnutls-bin) is missing\n");
    return 1;
  }
  testsupport::TempDir dir;
  const testsupport::TestCertificates certificates(dir.str());
  if (!certificates.error().empty()) {
    std::printf("%s\n", certificates.error().c_str());
    return 1;
  }
  std::vector<double> tcp, relp, relpTls, omrelp, file;
  CpuFigures plainCpu, tlsCpu;
  for (int run = 0; run < runs; ++run) {
    tcp.push_back(overTcp(lines));
    relp.push_back(overRelp(lines, nullptr));
    plainCpu.add(lastRelpCpu);
    relpTls.push_back(overRelp(lines, &certificates));
    tlsCpu.add(lastRelpCpu);
    omrelp.push_back(throughOmrelp(lines));
    file.push_back(fileCpuPerLine(lines));
  }
  std::printf(
      "| forwarding %zu lines of 120 bytes into rsyslogd (omfile) | lines/s, median of %d "
      "| vs TCP |\n|---|---|---|\n",
      lines, runs);
  std::printf("| TCP (imtcp, octet counting) | %.0f | 1.00 |\n", median(tcp));
  std::printf("| RELP (imrelp, window 1024) | %.0f | %.2f |\n", median(relp),
              median(relp) / median(tcp));
  std::printf("| RELP in TLS (GnuTLS, ECDSA) | %.0f | %.2f |\n", median(relpTls),
              median(relpTls) / median(tcp));
  std::printf(
      "| rsyslogd's omrelp (imudp -> omrelp, window 1024; at most 100 000 lines) | %.0f "
      "| %.2f |\n",
      median(omrelp), median(omrelp) / median(tcp));
  std::printf("\nRELP against omrelp: %.2fx; RELP in TLS against RELP: %.2fx\n",
              median(relp) / median(omrelp), median(relpTls) / median(relp));
  plainCpu.print("plain RELP");
  std::printf(
      "CPU per line of the same messages written only to a file: %.2f us; forwarding over RELP "
      "costs %.1fx that\n",
      median(file), median(plainCpu.ours) / median(file));
  tlsCpu.print("RELP in TLS");
  return 0;
}
