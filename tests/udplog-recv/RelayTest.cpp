// The two-tier set-up with real processes on loopback: loghosts -> udplog-recv -> RELP -> an
// rsyslogd running examples/rsyslog-relay.conf -> RELP in TLS -> the central rsyslogd. The
// central one is stopped for a minute while 20 000 lines/s flow, then started again: no line may
// be missing. A line is missing when it is neither at the central one nor, on a machine too slow
// to drain the relay within the test's 3 minutes, still saved in the relay's disk queue (counted
// and printed apart). Lines that came twice (the relay's own resends) and lines out of order are
// counted and printed with the relay's peak disk queue and the time the backlog took to drain.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/UdpReceiver.h"
#include "tests/udplog-recv/ForwardingSupport.h"
#include "tests/udplog-recv/RsyslogDaemon.h"
#include "tests/udplog-recv/TestCertificates.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kSenders = 2;
constexpr int kLinesPerSecond = 20000;  // all senders together
constexpr auto kBefore = 5s;            // flowing while the central one is up
constexpr auto kOutage = 60s;
constexpr auto kAfter = 5s;         // flowing after it is back
constexpr auto kDrainLimit = 100s;  // the whole test stays within 3 minutes

// One sender: a loghost reading its lines from a FIFO that a thread fills at an even rate, line n
// of sender s being "... INFO relay s n ...".
class PacedSender {
 public:
  PacedSender(const std::string& dir, int id, unsigned short port)
      : fifo(dir + "/sender" + std::to_string(id) + ".fifo") {
    ::mkfifo(fifo.c_str(), 0600);
    loghost =
        std::make_unique<testsupport::Subprocess>(LOGHOST, testsupport::loghostArgs(port, fifo));
    feeder = std::thread([this, id] { feed(id); });
  }
  ~PacedSender() {
    stop();
    if (loghost) loghost->wait();
  }
  PacedSender(const PacedSender&) = delete;
  PacedSender& operator=(const PacedSender&) = delete;

  // Ends the input; the lines written so far.
  int stop() {
    stopping = true;
    if (feeder.joinable()) feeder.join();
    return written;
  }
  int wait() { return loghost->wait(); }

 private:
  void feed(int id) {
    // O_CLOEXEC: the rsyslogd processes started later must not hold the FIFO open.
    const int out = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    constexpr auto kStep = 10ms;
    constexpr int kPerStep = kLinesPerSecond / kSenders / 100;
    auto next = Clock::now();
    while (!stopping) {
      std::string batch;
      for (int i = 0; i < kPerStep; ++i) {
        ++written;
        batch += "2026-12-07 10:00:00\vT1\vINFO\vrelay\v" + std::to_string(id) + " " +
                 std::to_string(written) + "\v-\n";
      }
      if (::write(out, batch.data(), batch.size()) != static_cast<ssize_t>(batch.size())) break;
      next += kStep;
      std::this_thread::sleep_until(next);
    }
    ::close(out);
  }

  const std::string fifo;
  std::unique_ptr<testsupport::Subprocess> loghost;
  std::atomic<bool> stopping{false};
  std::atomic<int> written{0};
  std::thread feeder;
};

// Counts the lines of a growing file, reading only what was added since the last call.
class LineCounter {
 public:
  explicit LineCounter(std::string thePath) : path(std::move(thePath)) {}
  std::size_t count() {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    char buffer[1 << 16];
    while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0) {
      offset += static_cast<std::size_t>(in.gcount());
      lines += static_cast<std::size_t>(std::count(buffer, buffer + in.gcount(), '\n'));
    }
    return lines;
  }

 private:
  const std::string path;
  std::size_t offset = 0;
  std::size_t lines = 0;
};

// The bytes of the relay's disk queue files now.
std::uintmax_t diskQueueBytes(const std::string& dir) {
  std::uintmax_t bytes = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    if (entry.path().filename().string().rfind("udplog-central.", 0) == 0) {
      bytes += entry.file_size(error);
    }
  }
  return bytes;
}

// The example file with this run's folders, ports and certificates. Each value it replaces must
// be there, so that the test follows the example's changes.
::testing::AssertionResult adaptExample(const std::string& relayDir, unsigned short relayPort,
                                        unsigned short centralPort,
                                        const testsupport::TestCertificates& certificates) {
  std::string text = testsupport::readFile(RELAY_EXAMPLE);
  const std::pair<std::string, std::string> changes[] = {
      {"/var/spool/udplog-relay", relayDir},
      {"port=\"2514\"", "port=\"" + std::to_string(relayPort) + "\""},
      {"port=\"2515\"", "port=\"" + std::to_string(centralPort) + "\""},
      {"target=\"central.example.org\"", "target=\"127.0.0.1\""},
      {"[\"central.example.org\"]",
       std::string("[\"") + testsupport::TestCertificates::kTargetName + "\"]"},
      {"/etc/udplog-relay/ca.pem", certificates.pem("ca")},
      {"/etc/udplog-relay/relay.pem", certificates.pem("client")},
      {"/etc/udplog-relay/relay.key", certificates.key("client")}};
  for (const auto& change : changes) {
    const std::size_t at = text.find(change.first);
    if (at == std::string::npos) {
      return ::testing::AssertionFailure() << RELAY_EXAMPLE << " has no " << change.first;
    }
    text.replace(at, change.first.size(), change.second);
  }
  std::ofstream(relayDir + "/rsyslog.conf") << text;
  return ::testing::AssertionSuccess();
}

// What the central rsyslogd wrote, against what udplog-recv received.
struct Tally {
  std::size_t received = 0, missing = 0, held = 0, duplicates = 0, outOfOrder = 0;
};

// Line n of sender s, from "PROCID 2026-... INFO\vrelay\vS N\v-".
bool senderAndNumber(const std::string& row, int& sender, int& number) {
  const std::size_t at = row.find("\vrelay\v");
  if (at == std::string::npos) return false;
  return std::sscanf(row.c_str() + at + 7, "%d %d", &sender, &number) == 2 && sender >= 0 &&
         sender < kSenders && number > 0;
}

// Marks in seen the lines that the stopped relay saved in its disk queue: each message's text is
// stored there as it came.
void markHeld(const std::string& relayDir, std::vector<std::vector<int>>& held) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(relayDir, error)) {
    if (entry.path().filename().string().rfind("udplog-central.", 0) != 0) continue;
    const std::string text = testsupport::readFile(entry.path().string());
    int sender, number;
    for (std::size_t at = text.find("\vrelay\v"); at != std::string::npos;
         at = text.find("\vrelay\v", at + 1)) {
      if (!senderAndNumber(text.substr(at, 32), sender, number)) continue;
      auto& marks = held[sender];
      if (marks.size() <= static_cast<std::size_t>(number)) marks.resize(number + 1, 0);
      marks[number] = 1;
    }
  }
}

bool marked(const std::vector<int>& marks, int number) {
  return static_cast<std::size_t>(number) < marks.size() && marks[number] != 0;
}

// Every line udplog-recv received is at the central one, or else still held on the relay's disk.
Tally compare(const std::string& copy, const std::string& central, const std::string& relayDir) {
  Tally tally;
  std::vector<std::vector<int>> held(kSenders);
  markHeld(relayDir, held);
  std::vector<std::vector<int>> seen(kSenders);
  std::vector<int> last(kSenders, 0);
  std::ifstream atCentral(central, std::ios::binary);
  int sender, number;
  for (std::string row; std::getline(atCentral, row);) {
    if (!senderAndNumber(row, sender, number)) continue;
    auto& counts = seen[sender];
    if (counts.size() <= static_cast<std::size_t>(number)) counts.resize(number + 1, 0);
    if (counts[number]++ > 0) {
      ++tally.duplicates;
    } else if (number < last[sender]) {
      ++tally.outOfOrder;
    }
    last[sender] = std::max(last[sender], number);
  }
  std::ifstream atReceiver(copy, std::ios::binary);
  for (std::string row; std::getline(atReceiver, row);) {
    if (!senderAndNumber(row, sender, number)) continue;
    ++tally.received;
    if (marked(seen[sender], number)) continue;
    ++(marked(held[sender], number) ? tally.held : tally.missing);
  }
  return tally;
}

// The central rsyslogd (imrelp in TLS), the relay running the example, and udplog-recv forwarding
// to the relay, all started and on loopback.
class RelayTest : public ::testing::Test {
 protected:
  using Daemon = testsupport::RsyslogDaemon;

  void SetUp() override {
    if (!Daemon::relpAvailable() || !testsupport::TestCertificates::available()) {
      GTEST_SKIP() << "needs rsyslogd with RELP (rsyslog, rsyslog-relp) and certtool (gnutls-bin)";
    }
    std::filesystem::create_directories(relayDir);
    std::filesystem::create_directories(centralDir);
    ASSERT_EQ("", certificates.error());
    central = std::make_unique<Daemon>(
        centralDir, "127.0.0.1", Daemon::Protocol::kRelp,
        Daemon::Tls{certificates.pem("ca"), certificates.pem("server"), certificates.key("server"),
                    testsupport::TestCertificates::kClientName});
    relay = std::make_unique<Daemon>(relayDir, "127.0.0.1", Daemon::Protocol::kRelp);
    ASSERT_TRUE(adaptExample(relayDir, relay->port(), central->port(), certificates));
    ASSERT_TRUE(central->start()) << testsupport::readFile(centralDir + "/rsyslogd.out");
    ASSERT_TRUE(relay->start()) << testsupport::readFile(relayDir + "/rsyslogd.out");
    receiver = std::make_unique<testsupport::Subprocess>(
        UDPLOG_RECV_PATH,
        std::vector<std::string>{"--port", std::to_string(port), "--forward",
                                 "relp://127.0.0.1:" + std::to_string(relay->port()), "--output",
                                 copy, "--linger", "30"});
    ASSERT_TRUE(testsupport::waitUntilListening(port, *receiver));
  }

  // Samples the relay's disk queue until end.
  void sampleUntil(Clock::time_point end) {
    while (Clock::now() < end) {
      peakDisk = std::max(peakDisk, diskQueueBytes(relayDir));
      std::this_thread::sleep_for(200ms);
    }
  }

  // Until the central one has as many lines as udplog-recv received and no more come, or the
  // limit; when its last line came.
  Clock::time_point drain(Clock::time_point from) {
    LineCounter atCentral(central->output()), atReceiver(copy);
    std::size_t lastCount = 0;
    auto drained = from;
    while (Clock::now() < from + kDrainLimit) {
      peakDisk = std::max(peakDisk, diskQueueBytes(relayDir));
      const std::size_t count = atCentral.count();
      if (count != lastCount) drained = Clock::now();
      if (count >= atReceiver.count() && count == lastCount && Clock::now() > drained + 2s) break;
      lastCount = count;
      std::this_thread::sleep_for(250ms);
    }
    return drained;
  }

  testsupport::TempDir dir;
  const std::string relayDir = dir.file("relay"), centralDir = dir.file("central");
  const std::string copy = dir.file("copy.txt");
  const testsupport::TestCertificates certificates{dir.str()};
  const unsigned short port = testsupport::UdpReceiver().port();
  std::unique_ptr<Daemon> central, relay;
  std::unique_ptr<testsupport::Subprocess> receiver;
  std::uintmax_t peakDisk = 0;
};

TEST_F(RelayTest, TheCentralRsyslogAwayForAMinuteUnderLoadMissesNoLine) {
  std::vector<std::unique_ptr<PacedSender>> senders;
  for (int id = 0; id < kSenders; ++id) {
    senders.push_back(std::make_unique<PacedSender>(dir.str(), id, port));
  }
  std::this_thread::sleep_for(kBefore);
  central->stop();
  sampleUntil(Clock::now() + kOutage);
  ASSERT_TRUE(central->start()) << testsupport::readFile(centralDir + "/rsyslogd.out");
  const auto restarted = Clock::now();
  sampleUntil(restarted + kAfter);
  std::size_t sent = 0;
  for (auto& sender : senders) sent += static_cast<std::size_t>(sender->stop());
  for (auto& sender : senders) EXPECT_EQ(0, sender->wait());
  const auto drained = drain(restarted);
  receiver->signal(SIGTERM);
  EXPECT_EQ(0, receiver->wait()) << receiver->err();
  relay->stop();  // saves what it still holds in its disk queue
  central->stop();

  const Tally tally = compare(copy, central->output(), relayDir);
  const double drainSeconds = std::chrono::duration<double>(drained - restarted).count();
  std::cout << "relay: " << sent << " lines sent, " << tally.received
            << " received by udplog-recv, " << tally.missing << " missing at the central one, "
            << tally.held << " still held on the relay's disk, " << tally.duplicates
            << " duplicates, " << tally.outOfOrder << " out of order; peak disk queue "
            << (peakDisk >> 20) << " MiB; drained " << drainSeconds
            << " s after the central one came back" << std::endl;
  EXPECT_GT(tally.received, 0u);
  EXPECT_EQ(0u, tally.missing) << receiver->err()
                               << testsupport::readFile(relayDir + "/rsyslogd.out");
}

}  // namespace
