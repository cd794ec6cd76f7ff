// A real rsyslogd in the foreground for tests and benchmarks: its own configuration and work
// directory in a temporary folder, imtcp or imrelp (plain or in TLS) on a free loopback port, and
// one omfile action that writes "<PROCID> <MSG>" per message; or, with imudp (the collector peer
// of udplog-recv), each datagram as it came, one per line. It loads no module that touches
// /dev/log or the kernel log. Used from the test's thread.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class RsyslogDaemon {
 public:
  static constexpr const char* kProgram = "/usr/sbin/rsyslogd";

  static bool available() { return ::access(kProgram, X_OK) == 0; }
  // rsyslog's RELP input (Debian package rsyslog-relp).
  static bool relpAvailable() {
    return available() && (::access("/usr/lib/x86_64-linux-gnu/rsyslog/imrelp.so", R_OK) == 0 ||
                           ::access("/usr/lib/aarch64-linux-gnu/rsyslog/imrelp.so", R_OK) == 0 ||
                           ::access("/usr/lib/rsyslog/imrelp.so", R_OK) == 0);
  }

  enum class Protocol { kTcp, kRelp, kUdp };
  // RELP in TLS: rsyslogd's own certificate and key, the CA its clients' certificates chain to,
  // and the one client name it lets in.
  struct Tls {
    std::string caFile, certFile, keyFile, clientName;
  };

  // address is "127.0.0.1" or "::1"; dir is a folder of the caller's, which it owns. The omfile
  // action keeps control characters as they came. Over RELP it runs before the acknowledgement
  // goes out (a direct queue), so an acknowledged line is in the file even when rsyslogd is killed.
  RsyslogDaemon(const std::string& theDir, const std::string& theAddress = "127.0.0.1",
                Protocol theProtocol = Protocol::kTcp, const Tls& tls = {})
      : dir(theDir),
        address(theAddress),
        protocol(theProtocol),
        boundPort(freePort(theAddress, theProtocol)) {
    const bool relp = protocol == Protocol::kRelp;
    std::ofstream conf(dir + "/rsyslog.conf");
    if (protocol == Protocol::kUdp) {
      conf << "global(workDirectory=\"" << dir << "\" maxMessageSize=\"64k\")\n"
           << "module(load=\"imudp\")\n"
           << "template(name=\"raw\" type=\"string\" string=\"%rawmsg%\\n\")\n"
           << "ruleset(name=\"udplog\") {\n"
           << "  action(type=\"omfile\" file=\"" << output()
           << "\" template=\"raw\" ioBufferSize=\"256k\" asyncWriting=\"on\""
           << " flushOnTXEnd=\"off\")\n"
           << "}\n"
           << "input(type=\"imudp\" theAddress=\"" << address << "\" port=\"" << boundPort
           << "\" ruleset=\"udplog\" rcvbufSize=\"8m\")\n";
      return;
    }
    conf << "global(workDirectory=\"" << dir
         << "\" maxMessageSize=\"256k\" parser.escapeControlCharactersOnReceive=\"off\")\n"
         << (relp ? "module(load=\"imrelp\" tls.tlslib=\"gnutls\")\n" : "module(load=\"imtcp\")\n")
         << "template(name=\"fields\" type=\"string\" string=\"%procid% %msg%\\n\")\n"
         << "ruleset(name=\"udplog\"" << (relp ? " queue.type=\"Direct\"" : "") << ") {\n"
         << "  action(type=\"omfile\" file=\"" << output() << "\" template=\"fields\")\n"
         << "}\n"
         << "input(type=\"" << (relp ? "imrelp" : "imtcp") << "\" theAddress=\"" << address
         << "\" port=\"" << boundPort << "\" ruleset=\"udplog\"";
    if (relp) conf << " maxDataSize=\"256k\"";
    if (!tls.caFile.empty()) {
      conf << " tls=\"on\" tls.cacert=\"" << tls.caFile << "\" tls.mycert=\"" << tls.certFile
           << "\" tls.myprivkey=\"" << tls.keyFile
           << "\" tls.authmode=\"name\" tls.permittedpeer=[\"" << tls.clientName << "\"]";
    }
    conf << ")\n";
  }
  ~RsyslogDaemon() { stop(); }
  RsyslogDaemon(const RsyslogDaemon&) = delete;
  RsyslogDaemon& operator=(const RsyslogDaemon&) = delete;

  unsigned short port() const { return boundPort; }
  std::string output() const { return dir + "/received.log"; }
  std::string target() const {
    const std::string scheme = protocol == Protocol::kRelp ? "relp://" : "tcp://";
    return address.find(':') == std::string::npos
               ? scheme + address + ":" + std::to_string(boundPort)
               : scheme + "[" + address + "]:" + std::to_string(boundPort);
  }

  // While it runs; -1 otherwise.
  pid_t pid() const { return childPid; }

  // Starts it and waits until it accepts connections (over UDP: until its port is taken); false
  // if it did not within the deadline. start(), stop() and kill() may be called again, so a test
  // can take the target away and bring it back on the same port.
  bool start() {
    const std::string conf = dir + "/rsyslog.conf", pid = dir + "/rsyslogd.pid";
    std::vector<std::string> args{kProgram, "-n", "-f", conf, "-i", pid};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const std::string log = dir + "/rsyslogd.out";
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int rc = posix_spawn(&childPid, kProgram, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
      childPid = -1;
      return false;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      if (accepting()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  // SIGTERM, and waits for the end.
  void stop() { end(SIGTERM); }
  // SIGKILL: it goes at once, with whatever it had not answered yet.
  void kill() { end(SIGKILL); }

 private:
  void end(int signal) {
    if (childPid <= 0) return;
    ::kill(childPid, signal);
    ::waitpid(childPid, nullptr, 0);
    childPid = -1;
  }

  static unsigned short freePort(const std::string& address, Protocol protocol) {
    const bool v6 = address.find(':') != std::string::npos;
    int fd =
        ::socket(v6 ? AF_INET6 : AF_INET, protocol == Protocol::kUdp ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_storage storage{};
    socklen_t length = fill(address, 0, storage);
    ::bind(fd, reinterpret_cast<sockaddr*>(&storage), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
    ::close(fd);
    return ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                    : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  }

  static socklen_t fill(const std::string& address, unsigned short port, sockaddr_storage& out) {
    if (address.find(':') != std::string::npos) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&out);
      a->sin6_family = AF_INET6;
      a->sin6_port = htons(port);
      ::inet_pton(AF_INET6, address.c_str(), &a->sin6_addr);
      return sizeof(*a);
    }
    auto* a = reinterpret_cast<sockaddr_in*>(&out);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &a->sin_addr);
    return sizeof(*a);
  }

  bool accepting() const {
    sockaddr_storage storage{};
    const socklen_t length = fill(address, boundPort, storage);
    if (protocol == Protocol::kUdp) {
      int fd = ::socket(storage.ss_family, SOCK_DGRAM, 0);
      const bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0;
      ::close(fd);
      return taken;
    }
    int fd = ::socket(storage.ss_family, SOCK_STREAM, 0);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0;
    ::close(fd);
    return ok;
  }

  const std::string dir;
  const std::string address;
  const Protocol protocol;
  const unsigned short boundPort;
  pid_t childPid = -1;
};

}  // namespace testsupport
