// A small RELP target of the tests' own on a loopback port, plain or in TLS, that misbehaves on
// request: it closes the connection after each answer, goes silent after a number of answers,
// answers one line with an error or not at all, floods answers to a number never sent, reads
// slowly, or closes the first connections during the TLS handshake. It
// keeps every syslog message it received, in order. Its thread serves one connection at a time;
// the test's thread reads what it received.
#pragma once

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "udplog-recv/forward/RelpFraming.h"

namespace testsupport {

class RelpTestPeer {
 public:
  struct Behaviour {
    bool closeAfterEachAnswer = false;
    int answersBeforeSilence = -1;  // syslog frames answered in all; -1: every one
    std::string refuseContaining;   // a line holding this is answered 500
    std::string abortContaining;    // a line holding this closes the connection unanswered
    std::string skipContaining;     // a line holding this is kept and never answered
    int floodAfter = -1;  // after this many lines, answers to txnr 999999999 for ever (plain)
    std::size_t bytesPerSecond = 0;  // reads at most this fast; 0: as fast as it can
    bool silentOpen = false;         // the open offer is never answered
    std::string openAnswer = "200 OK\nrelp_version=0\nrelp_software=peer\ncommands=syslog";
    std::string lineAnswer = "200 OK";  // to every line not refused
    int handshakesToDrop = 0;           // TLS connections closed before the handshake ends
    std::string certFile, keyFile;      // TLS when set
  };

  // port 0: any free one.
  explicit RelpTestPeer(const Behaviour& theBehaviour, unsigned short port = 0)
      : behaviour(theBehaviour) {
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof(address);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener, 16);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    boundPort = ntohs(address.sin_port);
    if (!behaviour.certFile.empty()) {
      gnutls_certificate_allocate_credentials(&credentials);
      gnutls_certificate_set_x509_key_file(credentials, behaviour.certFile.c_str(),
                                           behaviour.keyFile.c_str(), GNUTLS_X509_FMT_PEM);
    }
    thread = std::thread([this] { serve(); });
  }
  ~RelpTestPeer() {
    stopping = true;
    thread.join();
    ::close(listener);
    if (credentials) gnutls_certificate_free_credentials(credentials);
  }
  RelpTestPeer(const RelpTestPeer&) = delete;
  RelpTestPeer& operator=(const RelpTestPeer&) = delete;

  std::string target() const { return "relp://127.0.0.1:" + std::to_string(boundPort); }
  std::vector<std::string> received() const {
    std::lock_guard<std::mutex> lock(mutex);
    return messages;
  }
  int connections() const { return accepted; }
  // The bytes read from every connection.
  std::size_t bytesRead() const { return readInAll; }
  // The bytes received on plain connections, in order, the first kRawKept of them.
  std::string raw() const {
    std::lock_guard<std::mutex> lock(mutex);
    return rawBytes;
  }
  static constexpr std::size_t kRawKept = 1 << 16;

 private:
  // A connection as the peer sees it: plain, or a TLS session on it.
  struct Connection {
    int fd;
    gnutls_session_t tls = nullptr;
    long read(char* data, std::size_t size) {
      return tls ? static_cast<long>(gnutls_record_recv(tls, data, size))
                 : static_cast<long>(::recv(fd, data, size, 0));
    }
    void write(const std::string& bytes) {
      if (tls) {
        gnutls_record_send(tls, bytes.data(), bytes.size());
      } else {
        (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      }
    }
  };

  bool readable(int fd) const {
    pollfd watch{fd, POLLIN, 0};
    return ::poll(&watch, 1, 20) > 0;
  }

  void serve() {
    while (!stopping) {
      if (!readable(listener)) continue;
      const int fd = ::accept(listener, nullptr, nullptr);
      if (fd < 0) continue;
      ++accepted;
      Connection connection{fd};
      if (credentials && !handshake(connection)) {
        ::close(fd);
        continue;
      }
      talk(connection);
      if (connection.tls) gnutls_deinit(connection.tls);
      ::close(fd);
    }
  }

  bool handshake(Connection& connection) {
    if (dropped < behaviour.handshakesToDrop) {
      // The client's hello is read, and the connection closed without an answer.
      ++dropped;
      char hello[4096];
      if (readable(connection.fd)) (void)!::recv(connection.fd, hello, sizeof(hello), 0);
      return false;
    }
    gnutls_init(&connection.tls, GNUTLS_SERVER | GNUTLS_NO_SIGNAL);
    gnutls_set_default_priority(connection.tls);
    gnutls_credentials_set(connection.tls, GNUTLS_CRD_CERTIFICATE, credentials);
    gnutls_transport_set_int(connection.tls, connection.fd);
    gnutls_handshake_set_timeout(connection.tls, 5000);
    int rc;
    do {
      rc = gnutls_handshake(connection.tls);
    } while (rc < 0 && !gnutls_error_is_fatal(rc));
    return rc == 0;
  }

  void talk(Connection& connection) {
    RelpFraming reader;
    char buffer[65536];
    while (!stopping) {
      if (!(connection.tls && gnutls_record_check_pending(connection.tls)) &&
          !readable(connection.fd)) {
        continue;
      }
      const long got = connection.read(buffer, sizeof(buffer));
      if (got <= 0) return;
      readInAll += static_cast<std::size_t>(got);
      if (behaviour.bytesPerSecond > 0) {
        std::this_thread::sleep_for(
            std::chrono::microseconds(static_cast<long long>(got) * 1000000 /
                                      static_cast<long long>(behaviour.bytesPerSecond)));
      }
      if (!connection.tls) keepRaw(buffer, static_cast<std::size_t>(got));
      reader.feed(buffer, static_cast<std::size_t>(got));
      RelpFraming::Frame frame;
      while (reader.next(frame)) {
        if (!answer(connection, frame)) return;
      }
    }
  }

  void keepRaw(const char* bytes, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex);
    rawBytes.append(bytes, std::min(size, kRawKept - rawBytes.size()));
  }

  // The answer to txnr as RELP puts it on the wire, written out here rather than framed by the
  // code under test: "7 rsp 6 200 OK\n".
  static std::string rsp(std::uint64_t txnr, const std::string& data) {
    return std::to_string(txnr) + " rsp " + std::to_string(data.size()) + " " + data + "\n";
  }

  // False when the connection is to be closed.
  bool answer(Connection& connection, const RelpFraming::Frame& frame) {
    std::string out;
    if (frame.command == "open") {
      if (behaviour.silentOpen) return true;
      out = rsp(frame.txnr, behaviour.openAnswer);
    } else if (frame.command == "close") {
      connection.write(rsp(frame.txnr, "200 OK"));
      return false;
    } else if (frame.command == "syslog") {
      if (!behaviour.abortContaining.empty() &&
          frame.data.find(behaviour.abortContaining) != std::string_view::npos) {
        return false;  // as imrelp's oversizeMode="abort" does with a frame over its limit
      }
      {
        std::lock_guard<std::mutex> lock(mutex);
        messages.emplace_back(frame.data);
        if (static_cast<int>(messages.size()) == behaviour.floodAfter) {
          flood(connection);
          return false;
        }
      }
      if (!behaviour.skipContaining.empty() &&
          frame.data.find(behaviour.skipContaining) != std::string_view::npos) {
        return true;
      }
      if (behaviour.answersBeforeSilence >= 0 && answers >= behaviour.answersBeforeSilence) {
        return true;
      }
      ++answers;
      const bool refuse = !behaviour.refuseContaining.empty() &&
                          frame.data.find(behaviour.refuseContaining) != std::string_view::npos;
      connection.write(rsp(frame.txnr, refuse ? "500 not taken here" : behaviour.lineAnswer));
      return !behaviour.closeAfterEachAnswer;
    }
    connection.write(out);
    return true;
  }

  // Answers to a number never sent, as fast as the connection takes them, until it is closed
  // or the peer stops.
  void flood(Connection& connection) {
    std::string burst;
    while (burst.size() < 65536) burst += rsp(999999999, "200 OK");
    while (!stopping) {
      pollfd watch{connection.fd, POLLOUT, 0};
      if (::poll(&watch, 1, 20) <= 0) continue;
      if ((watch.revents & (POLLERR | POLLHUP)) != 0) return;
      if (::send(connection.fd, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0 &&
          errno != EAGAIN) {
        return;
      }
    }
  }

  const Behaviour behaviour;
  int listener = -1;
  unsigned short boundPort = 0;
  gnutls_certificate_credentials_t credentials = nullptr;
  std::atomic<bool> stopping{false};
  std::atomic<int> accepted{0};
  std::atomic<std::size_t> readInAll{0};
  int dropped = 0;
  int answers = 0;
  mutable std::mutex mutex;
  std::vector<std::string> messages;
  std::string rawBytes;
  std::thread thread;
};

}  // namespace testsupport
