// udplog-recv: receives the logger's UDP datagrams, puts the lines back together and writes them
// one per line. Lost, late, incomplete and malformed datagrams are reported on standard error.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/DatagramParser.h"
#include "tools/KernelDrops.h"
#include "tools/LineAssembler.h"
#include "tools/LineOutput.h"
#include "tools/ReceiverOptions.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

int openSocket(const ReceiverOptions& options) {
  sockaddr_storage address{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, options.listen.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(options.port));
    length = sizeof(*v4);
  } else if (inet_pton(AF_INET6, options.listen.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(options.port));
    length = sizeof(*v6);
  } else {
    std::fprintf(stderr, "udplog-recv: --listen '%s' is not an IPv4 or IPv6 address; try --help\n",
                 options.listen.c_str());
    std::exit(2);
  }
  int fd = ::socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int size = 8 << 20;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  KernelDrops::enable(fd);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

class Writer final : public LineAssembler::Listener {
 public:
  explicit Writer(LineOutput& out) : out_(out) {}
  void line(std::uint32_t, const std::string& text) override { out_.write(text); }
  void report(const std::string& text) override {
    std::fprintf(stderr, "udplog-recv: %s\n", text.c_str());
  }

 private:
  LineOutput& out_;
};

}  // namespace

int main(int argc, char** argv) {
  const ReceiverOptions options = ReceiverOptions::parse(argc, argv);

  LineOutput out;
  if (!options.output.empty() && !out.open(options.output)) {
    std::fprintf(stderr, "udplog-recv: %s\n", out.error().c_str());
    return 1;
  }
  int fd = openSocket(options);
  if (fd < 0) {
    std::fprintf(stderr, "udplog-recv: cannot listen on %s port %u: %s\n", options.listen.c_str(),
                 options.port, std::strerror(errno));
    return 1;
  }

  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader that goes away is a failed write (EPIPE) reported like any other, with the summary.
  std::signal(SIGPIPE, SIG_IGN);

  Writer writer(out);
  LineAssembler::Limits limits;
  // In range by construction: at most kMaxSeconds, so the product fits easily.
  limits.timeout = std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000));
  LineAssembler assembler(writer, limits);

  std::vector<char> buffer(65536);
  std::uint64_t malformed = 0;
  std::uint32_t kernelDrops = 0;
  auto lastDatagram = LineAssembler::Clock::now();
  while (!stopRequested && !out.failed() &&
         (options.count == 0 || assembler.counts().lines < options.count)) {
    pollfd watch{fd, POLLIN, 0};
    int ready = ::poll(&watch, 1, 100);
    auto now = LineAssembler::Clock::now();
    if (ready <= 0) {
      out.flush();
      assembler.expire(now);
      if (options.idleSeconds > 0 &&
          now - lastDatagram > std::chrono::duration<double>(options.idleSeconds)) {
        break;
      }
      continue;
    }
    std::uint32_t total = kernelDrops;
    ssize_t size = KernelDrops::receive(fd, buffer.data(), buffer.size(), MSG_DONTWAIT, total);
    if (size < 0) continue;
    lastDatagram = now;
    if (total != kernelDrops) {
      std::fprintf(stderr, "udplog-recv: the kernel dropped %u datagrams (receive buffer full)\n",
                   total - kernelDrops);
      kernelDrops = total;
    }
    Datagram datagram;
    std::string reason;
    if (!DatagramParser::parse(buffer.data(), static_cast<std::size_t>(size), datagram, reason)) {
      ++malformed;
      std::fprintf(stderr, "udplog-recv: malformed datagram of %zd bytes: %s\n", size,
                   reason.c_str());
      continue;
    }
    assembler.accept(datagram, now);
  }
  assembler.finish();
  const bool written = out.close();
  ::close(fd);

  const auto& counts = assembler.counts();
  std::fprintf(stderr,
               "udplog-recv: %llu lines, %llu lost, %llu late, %llu incomplete, %llu malformed, "
               "%u dropped by the kernel\n",
               static_cast<unsigned long long>(counts.lines),
               static_cast<unsigned long long>(counts.lost),
               static_cast<unsigned long long>(counts.late),
               static_cast<unsigned long long>(counts.incomplete),
               static_cast<unsigned long long>(malformed), kernelDrops);
  if (!written) {
    std::fprintf(stderr, "udplog-recv: %s\n", out.error().c_str());
    return 1;
  }
  return 0;
}
