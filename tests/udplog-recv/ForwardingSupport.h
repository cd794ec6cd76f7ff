// What the forwarding tests share: input files of logger lines for loghost, a loghost that sends
// them over UDP, a wait until udplog-recv listens, and the target's file read back per sender.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Subprocess.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UdpReceiver.h"

namespace testsupport {

// Lines of six vertical-tab fields, one of them 120 000 bytes long (three datagrams).
inline std::vector<std::string> makeLines(const std::string& source, int count) {
  std::vector<std::string> lines;
  for (int n = 1; n <= count; ++n) {
    std::string message = "line " + std::to_string(n) + " of " + source;
    if (n == count / 2) message += " " + std::string(120000, 'x');
    lines.push_back("2026-12-07 10:00:00\vT1\v" + std::string(n % 7 ? "INFO" : "ERROR") + "\v" +
                    source + "\v" + message + "\vseq=" + std::to_string(n));
  }
  return lines;
}

inline void writeLines(const std::string& path, const std::vector<std::string>& lines) {
  std::ofstream out(path, std::ios::binary);
  for (const auto& line : lines) out << line << '\n';
}

inline std::size_t countLines(const std::string& path) {
  const std::string text = readFile(path);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The target's file as one list of messages per PROCID (the sender's port).
inline std::map<std::string, std::vector<std::string>> bySender(const std::string& path) {
  std::map<std::string, std::vector<std::string>> senders;
  std::ifstream in(path, std::ios::binary);
  std::string row;
  while (std::getline(in, row)) {
    const std::size_t space = row.find(' ');
    senders[row.substr(0, space)].push_back(row.substr(space + 1));
  }
  return senders;
}

// Whether the target wrote exactly two senders' lines, each in its order: first's (whose source
// is "sender_a") and second's. Says which sender differs otherwise.
inline ::testing::AssertionResult eachSendersLines(const std::string& path,
                                                   const std::vector<std::string>& first,
                                                   const std::vector<std::string>& second) {
  const auto senders = bySender(path);
  if (senders.size() != 2) {
    return ::testing::AssertionFailure() << senders.size() << " senders, not 2";
  }
  for (const auto& sender : senders) {
    const auto& expected =
        sender.second.front().find("sender_a") != std::string::npos ? first : second;
    if (sender.second != expected) {
      return ::testing::AssertionFailure() << "lines of port " << sender.first << " differ";
    }
  }
  return ::testing::AssertionSuccess();
}

// A UDP port nobody listens on now.
inline unsigned short freeUdpPort() {
  UdpReceiver probe;
  return probe.port();
}

// udplog-recv's arguments: port, forwarding to target, a copy of the lines in dir, and more.
inline std::vector<std::string> receiverArgs(unsigned short port, const std::string& target,
                                             const TempDir& dir,
                                             const std::vector<std::string>& more = {}) {
  std::vector<std::string> args{"--port", std::to_string(port), "--forward",
                                target,   "--output",           dir.file("copy.txt")};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

inline std::vector<std::string> loghostArgs(unsigned short port, const std::string& input) {
  return {"-P", "TarvoLogger/StorageFormat=udp",
          "-P", "TarvoLogger/Ip=127.0.0.1",
          "-P", "TarvoLogger/Port=" + std::to_string(port),
          input};
}

inline int runLoghost(unsigned short port, const std::string& input) {
  return run(LOGHOST, loghostArgs(port, input));
}

// True once the receiver on port reports a probe datagram as malformed: it listens.
inline bool waitUntilListening(unsigned short port, const Subprocess& receiver) {
  return waitFor([&] {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ::sendto(fd, "probe", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return receiver.err().find("malformed") != std::string::npos;
  });
}

}  // namespace testsupport
