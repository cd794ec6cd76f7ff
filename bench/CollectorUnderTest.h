// One UDP collector run by a benchmark as a child process: udplog-recv (any build of it) or a
// test rsyslogd with imudp, either listening on a free port of 127.0.0.1 and writing every line
// it receives to a file in the caller's folder. The benchmark reads the child's CPU time (user and
// system, every thread) and peak resident memory while it runs, and counts the lines
// in its file. Used from the benchmark's thread; Linux only, as /proc is.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/Subprocess.h"
#include "tests/udplog-recv/RsyslogDaemon.h"

namespace benchlines {

class CollectorUnderTest final {
 public:
  CollectorUnderTest(const CollectorUnderTest&) = delete;
  CollectorUnderTest& operator=(const CollectorUnderTest&) = delete;

  // udplog-recv at program; starts it and waits until its port is taken.
  static std::unique_ptr<CollectorUnderTest> receiver(const std::string& program,
                                                      const std::string& dir) {
    std::unique_ptr<CollectorUnderTest> c(new CollectorUnderTest(dir + "/lines.txt"));
    c->boundPort = freeUdpPort();
    c->receiverProcess = std::make_unique<testsupport::Subprocess>(
        program, std::vector<std::string>{"--listen", "127.0.0.1", "--port",
                                          std::to_string(c->boundPort), "--output", c->outputPath});
    c->pid = c->receiverProcess->id();
    return c->ready() ? std::move(c) : nullptr;
  }

  // rsyslogd with imudp and a buffered, asynchronous omfile (testsupport::RsyslogDaemon).
  static std::unique_ptr<CollectorUnderTest> rsyslog(const std::string& dir) {
    auto daemon = std::make_unique<testsupport::RsyslogDaemon>(
        dir, "127.0.0.1", testsupport::RsyslogDaemon::Protocol::kUdp);
    std::unique_ptr<CollectorUnderTest> c(new CollectorUnderTest(daemon->output()));
    if (!daemon->start()) return nullptr;
    c->boundPort = daemon->port();
    c->pid = daemon->pid();
    c->rsyslogDaemon = std::move(daemon);
    return c;
  }

  unsigned short port() const { return boundPort; }
  const std::string& output() const { return outputPath; }

  // User + system CPU seconds of every thread so far, those that ended included: the process's
  // CPU-time clock, which counts in nanoseconds where /proc/PID/stat counts in ticks of 10 ms.
  double cpuSeconds() const {
    clockid_t clock;
    timespec now{};
    if (::clock_getcpuclockid(static_cast<pid_t>(pid), &clock) != 0 ||
        ::clock_gettime(clock, &now) != 0) {
      return 0;
    }
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  }

  // The peak resident set (VmHWM) in KiB.
  long peakRssKb() const {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value = 0;
    while (in >> key) {
      if (key == "VmHWM:" && in >> value) return value;
      in.ignore(1 << 16, '\n');
    }
    return 0;
  }

  // Lines in the output file now.
  std::size_t lines() const {
    const int fd = ::open(outputPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    static char buffer[1 << 20];
    std::size_t count = 0;
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof(buffer))) > 0) {
      for (ssize_t i = 0; i < n; ++i) count += buffer[i] == '\n';
    }
    ::close(fd);
    return count;
  }

  // Waits until the file holds `expected` lines or has not grown for `quiet`; the lines then.
  std::size_t settle(std::size_t expected, std::chrono::milliseconds quiet) const {
    std::size_t seen = lines();
    auto still = std::chrono::steady_clock::now();
    while (seen < expected && std::chrono::steady_clock::now() - still < quiet) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const std::size_t now = lines();
      if (now != seen) still = std::chrono::steady_clock::now();
      seen = now;
    }
    return seen;
  }

  // Ends the collector (SIGTERM: it writes what it holds); udplog-recv's standard error then.
  std::string stop() {
    if (rsyslogDaemon) {
      rsyslogDaemon->stop();
      return "";
    }
    receiverProcess->signal(SIGTERM);
    receiverProcess->wait();
    return receiverProcess->err();
  }

 private:
  explicit CollectorUnderTest(std::string output) : outputPath(std::move(output)) {}

  static unsigned short freeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof(address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
  }

  static sockaddr_in loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  // The port is taken once the collector listens.
  bool ready() const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
      const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in address = loopback(boundPort);
      const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0;
      ::close(fd);
      if (taken) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  const std::string outputPath;
  unsigned short boundPort = 0;
  long pid = -1;
  std::unique_ptr<testsupport::Subprocess> receiverProcess;
  std::unique_ptr<testsupport::RsyslogDaemon> rsyslogDaemon;
};

}  // namespace benchlines
