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

namespace {

const char kUsage[] =
    "usage: udplog-recv [options]\n"
    "Receives the logger's UDP datagrams, reassembles each line and writes it, one per line.\n"
    "  --listen ADDR     IPv4 or IPv6 address to listen on (default 127.0.0.1)\n"
    "  --port N          UDP port (default 4444)\n"
    "  --output FILE     write the lines to FILE instead of standard output\n"
    "  --count N         stop after N lines\n"
    "  --idle SECONDS    stop after SECONDS without any datagram\n"
    "  --timeout SECONDS drop a line still incomplete after SECONDS (default 5)\n"
    "  -h, --help        this text\n"
    "Standard error reports lost lines (gaps in the sequence numbers), late and incomplete lines,\n"
    "malformed datagrams and datagrams dropped by the kernel, and a summary at the end.\n"
    "SIGINT or SIGTERM stops it cleanly. Exit status: 0 done, 1 failure, 2 usage error.\n";

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

struct Options {
  std::string listen = "127.0.0.1";
  unsigned port = 4444;
  std::string output;
  unsigned long long count = 0;  // 0: no limit
  double idleSeconds = 0;        // 0: no limit
  double timeoutSeconds = 5;
};

[[noreturn]] void usageError(const std::string& message) {
  std::fprintf(stderr, "udplog-recv: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

double parseSeconds(const std::string& option, const char* text) {
  char* end = nullptr;
  double value = std::strtod(text, &end);
  if (!*text || *end || !(value >= 0)) usageError(option + " needs a number of seconds");
  return value;
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usageError(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--listen") {
      options.listen = value();
    } else if (arg == "--port") {
      std::string text = value();
      char* end = nullptr;
      unsigned long port = std::strtoul(text.c_str(), &end, 10);
      if (text.empty() || *end || port == 0 || port > 65535) usageError("bad port " + text);
      options.port = static_cast<unsigned>(port);
    } else if (arg == "--output") {
      options.output = value();
    } else if (arg == "--count") {
      std::string text = value();
      char* end = nullptr;
      options.count = std::strtoull(text.c_str(), &end, 10);
      if (text.empty() || *end || options.count == 0) usageError("bad count " + text);
    } else if (arg == "--idle") {
      options.idleSeconds = parseSeconds(arg, value());
    } else if (arg == "--timeout") {
      options.timeoutSeconds = parseSeconds(arg, value());
    } else {
      usageError("unknown option " + arg);
    }
  }
  return options;
}

int openSocket(const Options& options) {
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
    usageError("--listen needs an IPv4 or IPv6 address, not " + options.listen);
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
  explicit Writer(std::FILE* out) : out_(out) {}
  void line(std::uint32_t, const std::string& text) override {
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fputc('\n', out_);
  }
  void report(const std::string& text) override {
    std::fprintf(stderr, "udplog-recv: %s\n", text.c_str());
  }

 private:
  std::FILE* out_;
};

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);

  std::FILE* out = stdout;
  if (!options.output.empty()) {
    out = std::fopen(options.output.c_str(), "wb");
    if (!out) {
      std::fprintf(stderr, "udplog-recv: cannot open %s: %s\n", options.output.c_str(),
                   std::strerror(errno));
      return 1;
    }
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

  Writer writer(out);
  LineAssembler::Limits limits;
  limits.timeout = std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000));
  LineAssembler assembler(writer, limits);

  std::vector<char> buffer(65536);
  std::uint64_t malformed = 0;
  std::uint32_t kernelDrops = 0;
  auto lastDatagram = LineAssembler::Clock::now();
  while (!stopRequested && (options.count == 0 || assembler.counts().lines < options.count)) {
    pollfd watch{fd, POLLIN, 0};
    int ready = ::poll(&watch, 1, 100);
    auto now = LineAssembler::Clock::now();
    if (ready <= 0) {
      std::fflush(out);
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
  std::fflush(out);
  if (out != stdout) std::fclose(out);
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
  return 0;
}
