#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/Subprocess.h"
#include "tests/support/UdpReceiver.h"
#include "tests/support/UdpSender.h"
#include "udplog-recv/reassembly/DatagramParser.h"

namespace {

using Sender = testsupport::UdpSender;

void sendTo(unsigned short port, const std::string& datagram) { Sender(port).send(datagram); }

unsigned short freePort() {
  testsupport::UdpReceiver probe;
  return probe.port();
}

// The bytes waiting in the receive queue of the UDP socket bound to port, IPv4 or IPv6, from the
// kernel's tables (/proc/net/udp, udp6); -1 while no socket is bound to it.
long receiveQueue(unsigned short port) {
  char wanted[8];
  std::snprintf(wanted, sizeof(wanted), ":%04X", port);
  for (const char* path : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream table(path);
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues;
      fields >> slot >> local >> remote >> state >> queues;
      if (local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) {
        return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
      }
    }
  }
  return -1;
}

// Waits until the receiver on port has taken every datagram sent to it.
bool drained(unsigned short port) {
  return testsupport::waitFor([&] { return receiveQueue(port) == 0; });
}

std::string numbered(int from, int to) {
  std::string lines;
  for (int n = from; n <= to; ++n) lines += "line " + std::to_string(n) + "\n";
  return lines;
}

void sendNumbered(Sender& sender, int from, int to) {
  for (int n = from; n <= to; ++n) {
    sender.send(std::to_string(n) + ":1/1|line " + std::to_string(n));
  }
}

// Waits until a receiver listens: a probe datagram is reported as malformed once it is there.
template <typename Errors>
bool waitUntilListening(unsigned short port, Errors errors) {
  return testsupport::waitFor([&] {
    sendTo(port, "probe");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return errors().find("malformed") != std::string::npos;
  });
}

// The value of a metric in a metrics file's text; all ones when it is not there.
std::uint64_t metric(const std::string& text, const std::string& name) {
  const std::size_t at = text.find("\n" + name + " ");
  return at == std::string::npos ? ~0ull : std::stoull(text.substr(at + name.size() + 2));
}

TEST(UdplogRecvTest, WritesReassembledLinesAndReportsWhatWentWrong) {
  const unsigned short port = freePort();
  testsupport::TempDir dir;
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH, {"--port", std::to_string(port), "--output", dir.file("lines.txt"),
                         "--count", "3", "--idle", "20", "--metrics-file", dir.file("recv.prom")});
  ASSERT_TRUE(waitUntilListening(port, [&] { return receiver.err(); }));
  Sender sender(port);
  sender.send("1:1/1|first");
  sender.send("2:2/2|" + std::string(10, 'z'));
  sender.send("2:1/2|" + std::string(50000, 'y'));
  sender.send("4:0/2|bad part");
  sender.send("5:1/1|fifth\x0bwith a tab");
  EXPECT_EQ(0, receiver.wait());
  EXPECT_EQ("first\n" + std::string(50000, 'y') + std::string(10, 'z') + "\nfifth\x0bwith a tab\n",
            testsupport::readFile(dir.file("lines.txt")));
  const std::string err = receiver.err();
  EXPECT_NE(std::string::npos, err.find("lost lines 3 to 4 (2)")) << err;
  EXPECT_NE(std::string::npos, err.find("malformed datagram of 14 bytes: part 0 of 2")) << err;
  EXPECT_NE(std::string::npos, err.find("3 lines, 2 lost")) << err;
  // The metrics written at the end hold the summary's counts (the probes that found the receiver
  // listening are malformed datagrams too).
  const std::string metrics = testsupport::readFile(dir.file("recv.prom"));
  const std::size_t end = err.find(" malformed, ");
  ASSERT_NE(std::string::npos, end) << err;
  const std::uint64_t malformed = std::stoull(err.substr(err.rfind(' ', end - 1) + 1));
  for (const std::string& line :
       {"\nudplog_recv_datagrams_received_total " + std::to_string(4 + malformed) + "\n",
        "\nudplog_recv_datagrams_malformed_total " + std::to_string(malformed) + "\n",
        std::string("\nudplog_recv_lines_received_total 3\n"),
        std::string("\nudplog_recv_lines_written_total 3\n"),
        std::string("\nudplog_recv_lines_lost_total 2\n"),
        std::string("# TYPE udplog_recv_senders_open gauge\n")}) {
    EXPECT_NE(std::string::npos, metrics.find(line)) << line << metrics;
  }
  // Every count of the summary line is in the metrics, with the same value.
  const std::string summary = err.substr(err.rfind("udplog-recv: ", end));
  for (const auto& [words, name] : std::vector<std::pair<std::string, std::string>>{
           {" lines,", "lines_received_total"},
           {" lost,", "lines_lost_total"},
           {" late,", "lines_late_total"},
           {" duplicate,", "lines_duplicate_total"},
           {" conflicting,", "lines_conflicting_total"},
           {" too old,", "datagrams_too_old_total"},
           {" resynchronised,", "resynchronisations_total"},
           {" incomplete,", "lines_incomplete_total"},
           {" malformed,", "datagrams_malformed_total"},
           {" dropped by the kernel;", "kernel_drops_total"},
           {" sender stream", "sender_streams_opened_total"}}) {
    const std::size_t at = summary.find(words);
    ASSERT_NE(std::string::npos, at) << words << " in " << summary;
    const std::uint64_t value = std::stoull(summary.substr(summary.rfind(' ', at - 1) + 1));
    EXPECT_EQ(value, metric(metrics, "udplog_recv_" + name)) << name << "\n" << metrics;
  }
  if (!testsupport::promtool().empty()) {
    std::string out, check;
    EXPECT_EQ(0, testsupport::run(
                     "/bin/sh",
                     {"-c", testsupport::promtool() + " check metrics < " + dir.file("recv.prom")},
                     &out, &check))
        << out << check;
  }
}

TEST(UdplogRecvTest, TakesOptionsAsGnuToolsDo) {
  const unsigned short port = freePort();
  testsupport::TempDir dir;
  testsupport::Subprocess receiver(UDPLOG_RECV_PATH,
                                   {"--port=" + std::to_string(port), "--cou=1", "--idle=20",
                                    "--output=" + dir.file("lines.txt"), "-s", "|"});
  ASSERT_TRUE(waitUntilListening(port, [&] { return receiver.err(); }));
  sendTo(port, "1:1/1|first\x0bline");
  EXPECT_EQ(0, receiver.wait()) << receiver.err();
  EXPECT_EQ("first|line\n", testsupport::readFile(dir.file("lines.txt")));
  // It reads no files: an operand is refused, and so is a value given to a flag.
  std::string out, err;
  EXPECT_EQ(2, testsupport::run(UDPLOG_RECV_PATH, {"-", "--port=4444"}, &out, &err));
  EXPECT_NE(std::string::npos, err.find("unexpected argument '-'")) << err;
  EXPECT_EQ(2, testsupport::run(UDPLOG_RECV_PATH, {"--version=2"}, &out, &err));
  EXPECT_NE(std::string::npos, err.find("--version takes no value; try --help")) << err;
}

TEST(UdplogRecvTest, StopsCleanlyOnSignalsAndExplainsItsUse) {
  std::string out, err;
  EXPECT_EQ(0, testsupport::run(UDPLOG_RECV_PATH, {"--help"}, &out));
  EXPECT_NE(std::string::npos, out.find("--listen ADDR")) << out;
  // Every refused value is one line naming the option and the value, and exit status 2.
  const std::vector<std::vector<std::string>> refused = {{"--port", "0x10"},
                                                         {"--port", "65536"},
                                                         {"--count", "-1"},
                                                         {"--count", "0"},
                                                         {"--count", "1e3"},
                                                         {"--count", "99999999999999999999"},
                                                         {"--timeout", "1e30"},
                                                         {"--timeout", "inf"},
                                                         {"--timeout", "0"},
                                                         {"--idle", "nan"},
                                                         {"--idle", "-2"},
                                                         {"--idle", " 1"},
                                                         {"--listen", "localhost"},
                                                         {"--allow", "10.0.0.0/33"},
                                                         {"--allow", "host"},
                                                         {"--allow", ""},
                                                         {"--allow", "1.2.3.4/"},
                                                         {"--allow", "::1/129"},
                                                         {"--tls-fingerprint", "SHA256:0b40"},
                                                         {"--relp-window", "0"},
                                                         {"--relp-window", "65536"},
                                                         {"--relp-timeout", "0"},
                                                         {"--relp-timeout", "1.5"},
                                                         {"--max-sender-bytes", "1000"},
                                                         {"--max-pending-bytes", "2T"},
                                                         {"--max-pending-bytes", "17179869185G"}};
  for (const auto& args : refused) {
    EXPECT_EQ(2, testsupport::run(UDPLOG_RECV_PATH, args, &out, &err)) << args[0] << args[1];
    EXPECT_NE(std::string::npos, err.find(args[0] + " '" + args[1] + "'")) << err;
    EXPECT_NE(std::string::npos, err.find("try --help")) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
  }
  // A value with a line end, or thousands of bytes, is still shown on one line: escaped and cut.
  for (const std::string option : {"--allow", "--listen", "--forward"}) {
    EXPECT_EQ(2, testsupport::run(UDPLOG_RECV_PATH, {option, "1.0.0.1\n" + std::string(300, '1')},
                                  &out, &err));
    EXPECT_NE(std::string::npos, err.find(option + " '1.0.0.1\\x0a1111")) << err;
    EXPECT_NE(std::string::npos, err.find("'... (308 bytes) is not")) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
  }

  const unsigned short port = freePort();
  testsupport::Subprocess receiver(UDPLOG_RECV_PATH, {"--port", std::to_string(port)});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait());
  EXPECT_NE(std::string::npos, receiver.err().find("0 lines")) << receiver.err();
}

// Options that a run would ignore or that contradict each other stop it before it starts.
TEST(UdplogRecvTest, OptionsThatCannotWorkTogetherAreRefused) {
  const std::string tcp = "--forward=tcp://127.0.0.1:1";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{tcp, "--relp-window", "8"}, "--relp-window is for a --forward relp:// target"},
      {{"--relp-timeout", "9"}, "--relp-timeout is for a --forward relp:// target"},
      {{tcp, "--tls-ca", "ca.pem"}, "the --tls- options are for a --forward relp:// target"},
      {{"--max-pending-bytes", "1M", "--max-sender-bytes", "2M"}, "is more than"},
  };
  for (const auto& c : cases) {
    // A run that took them would be ended by timeout, with its status 124.
    std::vector<std::string> args = {"5", UDPLOG_RECV_PATH, "--port", std::to_string(freePort())};
    args.insert(args.end(), c.first.begin(), c.first.end());
    std::string out, err;
    EXPECT_EQ(2, testsupport::run("/usr/bin/timeout", args, &out, &err)) << c.second;
    EXPECT_NE(std::string::npos, err.find(c.second)) << err;
  }
}

// What may work on the next start is a failure of the run (1, which the service retries), not a
// usage error (2, final): a port in use, a target's name that does not resolve yet. A port
// that needs a capability the process lacks is a setting (2).
TEST(UdplogRecvTest, APortInUseFailsTheRunAndAnUnresolvedTargetIsRetried) {
  testsupport::UdpReceiver holder;
  std::string out, err;
  EXPECT_EQ(
      1, testsupport::run(UDPLOG_RECV_PATH, {"--port", std::to_string(holder.port())}, &out, &err));
  EXPECT_NE(std::string::npos, err.find("Address already in use")) << err;
  // A port below 1024 without the capability cannot work on any start: 2. Root drops the
  // capability with capsh to try it.
  if (::geteuid() == 0 && ::access("/usr/sbin/capsh", X_OK) == 0) {
    EXPECT_EQ(2, testsupport::run("/usr/sbin/capsh",
                                  {"--drop=cap_net_bind_service", "--", "-c",
                                   std::string(UDPLOG_RECV_PATH) + " --port 80"},
                                  &out, &err));
    EXPECT_NE(std::string::npos, err.find("CAP_NET_BIND_SERVICE")) << err;
  }

  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH, {"--port", std::to_string(freePort()), "--forward",
                         "tcp://" + testsupport::unresolvableName() + ":514", "--linger", "0"});
  EXPECT_TRUE(testsupport::waitFor([&] {
    return receiver.err().find("cannot resolve '" + testsupport::unresolvableName() + "'") !=
           std::string::npos;
  })) << receiver.err();
  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait()) << receiver.err();
}

TEST(UdplogRecvTest, SighupReopensTheRenamedOutputAndSigusrOneGivesTheCountsSoFar) {
  const unsigned short port = freePort();
  testsupport::TempDir dir;
  const std::string path = dir.file("lines.txt"), renamed = dir.file("lines.txt.1");
  testsupport::Subprocess receiver(UDPLOG_RECV_PATH,
                                   {"--port", std::to_string(port), "--output", path});
  ASSERT_TRUE(testsupport::waitFor([&] { return receiveQueue(port) >= 0; }));
  Sender sender(port);
  sendNumbered(sender, 1, 100);
  sender.send("not a datagram");
  ASSERT_TRUE(
      testsupport::waitFor([&] { return testsupport::readFile(path) == numbered(1, 100); }));

  // Renamed away as logrotate does: the lines go on to the old file until SIGHUP. A line whose
  // first part came before it is written whole to the new file.
  ASSERT_EQ(0, std::rename(path.c_str(), renamed.c_str()));
  sendNumbered(sender, 101, 150);
  const std::string longLine(DatagramParser::kMaxPayload, 'p');
  sender.send("151:1/2|" + longLine);
  ASSERT_TRUE(drained(port));
  receiver.signal(SIGHUP);
  ASSERT_TRUE(testsupport::waitFor([&] { return ::access(path.c_str(), F_OK) == 0; }))
      << receiver.err();
  sender.send("151:2/2|end");
  sendNumbered(sender, 152, 200);
  ASSERT_TRUE(drained(port));

  receiver.signal(SIGUSR1);
  const std::string status =
      "udplog-recv: status: 200 lines, 0 lost, 0 late, 0 duplicate, 0 conflicting, 0 too old, 0 "
      "resynchronised, 0 incomplete, 1 malformed, 0 dropped by the kernel; 1 sender stream\n";
  ASSERT_TRUE(testsupport::waitFor([&] {
    return receiver.err().find(status) != std::string::npos;
  })) << receiver.err();
  sendNumbered(sender, 201, 202);
  const std::string after = longLine + "end\n" + numbered(152, 202);
  ASSERT_TRUE(testsupport::waitFor([&] { return testsupport::readFile(path) == after; }))
      << receiver.err();

  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait()) << receiver.err();
  EXPECT_EQ(numbered(1, 150), testsupport::readFile(renamed));
  const std::string err = receiver.err();
  EXPECT_EQ(err.find("status:"), err.rfind("status:")) << "one line for one request: " << err;
  EXPECT_NE(std::string::npos, err.find("udplog-recv: 202 lines, 0 lost")) << err;
}

TEST(UdplogRecvTest, OtherStoppingSignalsEndItLikeSigtermAndARestartAppends) {
  testsupport::TempDir dir;
  const std::string path = dir.file("lines.txt");
  // SIGPIPE from another process, too: only the one a write raises itself is ignored (below).
  for (int number : {SIGUSR2, SIGALRM, SIGPIPE}) {
    const unsigned short port = freePort();
    testsupport::Subprocess receiver(UDPLOG_RECV_PATH,
                                     {"--port", std::to_string(port), "--output", path});
    ASSERT_TRUE(testsupport::waitFor([&] { return receiveQueue(port) >= 0; }));
    Sender sender(port);
    sender.send("1:1/1|stopped by signal " + std::to_string(number));
    sender.send("2:1/2|" + std::string(DatagramParser::kMaxPayload, 'h'));  // never finished
    ASSERT_TRUE(drained(port));
    receiver.signal(number);
    EXPECT_EQ(0, receiver.wait()) << "signal " << number;
    const std::string err = receiver.err();
    EXPECT_NE(std::string::npos,
              err.find("line 2 incomplete (1 of 2 parts), still incomplete at the end"))
        << err;
    EXPECT_NE(std::string::npos, err.find("udplog-recv: 1 lines, 0 lost, 0 late, 0 duplicate, 0 "
                                          "conflicting, 0 too old, 0 resynchronised, 1 incomplete"))
        << err;
  }
  EXPECT_EQ("stopped by signal " + std::to_string(SIGUSR2) + "\nstopped by signal " +
                std::to_string(SIGALRM) + "\nstopped by signal " + std::to_string(SIGPIPE) + "\n",
            testsupport::readFile(path));
}

TEST(UdplogRecvTest, AFloodOfMalformedDatagramsIsCountedExactlyInAFewLines) {
  const unsigned short port = freePort();
  testsupport::Subprocess receiver(UDPLOG_RECV_PATH,
                                   {"--port", std::to_string(port), "--output", "/dev/null"});
  ASSERT_TRUE(testsupport::waitFor([&] { return receiveQueue(port) >= 0; }));
  Sender sender(port);
  for (int n = 1; n <= 100000; ++n) {
    // Numbers and sizes differ from one to the next; the kind of report stays the same.
    sender.send(std::to_string(n) + ":0/" + std::to_string(n % 97 + 1) + "|x");
    // In steps the receive buffer holds, so that the kernel drops none.
    if (n % 200 == 0) {
      ASSERT_TRUE(drained(port)) << n;
    }
  }
  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait());
  const std::string err = receiver.err();
  EXPECT_LT(std::count(err.begin(), err.end(), '\n'), 50) << err.substr(0, 2000);
  EXPECT_NE(std::string::npos, err.find("more like this")) << err.substr(0, 2000);
  EXPECT_NE(std::string::npos, err.find(" 0 incomplete, 100000 malformed, 0 dropped by the kernel"))
      << err.substr(err.size() > 2000 ? err.size() - 2000 : 0);
}

// Starts udplog-recv with its standard output on output and its standard error in errorFile;
// the child's process id, or -1.
pid_t spawnWithOutput(const std::vector<std::string>& args, int output,
                      const std::string& errorFile) {
  std::vector<std::string> all{UDPLOG_RECV_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output, 1);
  posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid;
  int rc = posix_spawn(&pid, UDPLOG_RECV_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int exitStatus(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs udplog-recv with its standard output on a pipe whose reader has gone.
int runIntoClosedPipe(const std::vector<std::string>& args, const std::string& errorFile) {
  int ends[2];
  if (::pipe(ends) != 0) return -1;
  ::close(ends[0]);
  const pid_t pid = spawnWithOutput(args, ends[1], errorFile);
  ::close(ends[1]);
  return pid < 0 ? -1 : exitStatus(pid);
}

// Whether a signal sent to the process waits to be delivered, from /proc/PID/status.
bool signalPending(pid_t pid, int number) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::uint64_t pending = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("ShdPnd:", 0) == 0 || line.rfind("SigPnd:", 0) == 0) {
      pending |= std::stoull(line.substr(7), nullptr, 16);
    }
  }
  return (pending >> (number - 1)) & 1;
}

// An --output FIFO's open waits for its reader; a status request meanwhile does not fail the run.
TEST(UdplogRecvTest, AFifoOutputWaitsForItsReaderThroughAStatusRequest) {
  testsupport::TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  testsupport::Subprocess receiver(UDPLOG_RECV_PATH,
                                   {"--port", std::to_string(freePort()), "--output", fifo});
  ASSERT_TRUE(testsupport::waitUntilOpeningAFifo(receiver.id()));
  receiver.signal(SIGUSR1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_TRUE(
      testsupport::waitFor([&] { return receiver.err().find("listening on") != std::string::npos; },
                           std::chrono::seconds(5)))
      << receiver.err();
  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait()) << receiver.err();
  ::close(reader);

  // A stop in that wait ends the run that had not begun as a stop, saying so.
  testsupport::Subprocess stopped(UDPLOG_RECV_PATH,
                                  {"--port", std::to_string(freePort()), "--output", fifo});
  ASSERT_TRUE(testsupport::waitUntilOpeningAFifo(stopped.id()));
  stopped.signal(SIGTERM);
  EXPECT_EQ(0, stopped.wait()) << stopped.err();
  EXPECT_NE(std::string::npos, stopped.err().find("stopped by a signal while waiting to open"))
      << stopped.err();
}

TEST(UdplogRecvTest, AWriteIntoAFullPipeGoesOnAfterTheStopSignal) {
  // The pipe is full before the receiver writes, so its write waits, and the signal comes then.
  int ends[2];
  ASSERT_EQ(0, ::pipe2(ends, O_CLOEXEC | O_NONBLOCK));
  std::string filler;
  for (const std::string block(4096, 'f'); ::write(ends[1], block.data(), block.size()) > 0;) {
    filler += block;
  }
  for (const char byte = 'f'; ::write(ends[1], &byte, 1) == 1;) filler += byte;
  ::fcntl(ends[1], F_SETFL, 0);
  ::fcntl(ends[0], F_SETFL, 0);
  testsupport::TempDir dir;
  const unsigned short port = freePort();
  // Killed and reaped, and the pipe closed, when the test ends early.
  struct Child {
    ~Child() {
      if (pid > 0) {
        ::kill(pid, SIGKILL);
        exitStatus(pid);
      }
      ::close(output);
    }
    pid_t pid;
    int output;
  } child{spawnWithOutput({"--port", std::to_string(port)}, ends[1], dir.file("err")), ends[0]};
  ::close(ends[1]);
  ASSERT_GT(child.pid, 0);
  ASSERT_TRUE(testsupport::waitFor([&] { return receiveQueue(port) >= 0; }));
  Sender sender(port);
  sendNumbered(sender, 1, 2);
  ASSERT_TRUE(drained(port));
  const std::string inWrite = std::to_string(SYS_write) + " ";
  const std::string calls = "/proc/" + std::to_string(child.pid) + "/syscall";
  ASSERT_TRUE(testsupport::waitFor(
      [&] { return testsupport::readFile(calls).compare(0, inWrite.size(), inWrite) == 0; }));
  ::kill(child.pid, SIGTERM);
  // Delivered (no longer pending) means the write was interrupted: only then is the pipe read.
  ASSERT_TRUE(testsupport::waitFor([&] { return !signalPending(child.pid, SIGTERM); }));

  std::string out;
  char buffer[65536];
  for (ssize_t n; (n = ::read(ends[0], buffer, sizeof(buffer))) > 0;) {
    out.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(0, exitStatus(child.pid)) << testsupport::readFile(dir.file("err"));
  child.pid = -1;
  EXPECT_TRUE(out == filler + numbered(1, 2)) << out.size() << " bytes";
}

TEST(UdplogRecvTest, AnOutputThatCannotBeWrittenIsAFailureWithItsSummary) {
  // A full device: the lines do not count as written.
  const unsigned short port = freePort();
  testsupport::Subprocess full(UDPLOG_RECV_PATH, {"--port", std::to_string(port), "--output",
                                                  "/dev/full", "--count", "2", "--idle", "20"});
  ASSERT_TRUE(waitUntilListening(port, [&] { return full.err(); }));
  sendTo(port, "1:1/1|first line for a full disk");
  sendTo(port, "2:1/1|second line for a full disk");
  EXPECT_EQ(1, full.wait());
  EXPECT_NE(std::string::npos, full.err().find("cannot write /dev/full: No space left on device"))
      << full.err();

  // A reader that went away: no death by SIGPIPE, the summary and the cause on standard error.
  testsupport::TempDir dir;
  const unsigned short second = freePort();
  int status = -1;
  std::thread receiver([&] {
    status = runIntoClosedPipe({"--port", std::to_string(second), "--idle", "20"}, dir.file("err"));
  });
  ASSERT_TRUE(waitUntilListening(second, [&] { return testsupport::readFile(dir.file("err")); }));
  sendTo(second, "1:1/1|a line nobody reads");
  receiver.join();
  EXPECT_EQ(1, status);
  const std::string err = testsupport::readFile(dir.file("err"));
  EXPECT_NE(std::string::npos, err.find("cannot write standard output: Broken pipe")) << err;
  EXPECT_NE(std::string::npos, err.find("1 lines")) << err;
}

// A tmpfs of 64 KiB mounted on a folder for the life of the object; why() says what stopped the
// mount (it needs root, or CAP_SYS_ADMIN, which a container may withhold).
class SmallFilesystem {
 public:
  explicit SmallFilesystem(const std::string& theFolder) : folder(theFolder) {
    mkdir(folder.c_str(), 0755);
    if (::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0) {
      cause = std::string("cannot mount a tmpfs on ") + folder + ": " + std::strerror(errno) +
              " (the test needs root or CAP_SYS_ADMIN)";
    }
  }
  ~SmallFilesystem() {
    if (cause.empty()) ::umount2(folder.c_str(), MNT_DETACH);
  }
  const std::string& why() const { return cause; }
  bool grow() {
    return ::mount("tmpfs", folder.c_str(), "tmpfs", MS_REMOUNT | MS_NOSUID | MS_NODEV,
                   "size=1m") == 0;
  }

 private:
  std::string folder, cause;
};

TEST(UdplogRecvTest, AFullDiskKeepsWholeLinesCountedExactlyAndARestartAppendsWholeLines) {
  testsupport::TempDir dir;
  SmallFilesystem small(dir.file("small"));
  if (!small.why().empty()) GTEST_SKIP() << small.why();
  const std::string path = dir.file("small/lines.txt");
  const unsigned short port = freePort();
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH, {"--port", std::to_string(port), "--output", path, "--idle", "20",
                         "--metrics-file", dir.file("recv.prom")});
  ASSERT_TRUE(waitUntilListening(port, [&] { return receiver.err(); }));
  // Lines of 100 bytes with their line end, which no page of the tmpfs holds a whole number of:
  // the disk fills in the middle of a line. Sent in rounds the receiver takes whole, so that each
  // round is a write of its own, until the receiver gave up and closed its socket.
  Sender sender(port);
  const std::string padding(89, '.');
  for (int n = 1; n < 4000 && receiveQueue(port) >= 0; n += 50) {
    for (int k = n; k < n + 50; ++k) {
      char text[16];
      std::snprintf(text, sizeof(text), "line %05d", k);
      sender.send(std::to_string(k) + ":1/1|" + text + padding);
    }
    testsupport::waitFor([&] { return receiveQueue(port) <= 0; });
  }
  EXPECT_EQ(1, receiver.wait());
  EXPECT_NE(std::string::npos, receiver.err().find("No space left on device")) << receiver.err();
  const std::string lines = testsupport::readFile(path);
  ASSERT_GT(lines.size(), 60000u);
  EXPECT_EQ('\n', lines.back()) << "the file ends in a cut line";
  EXPECT_EQ(0u, lines.size() % 100) << "a line is cut or glued to another";
  const std::uint64_t count =
      static_cast<std::uint64_t>(std::count(lines.begin(), lines.end(), '\n'));
  EXPECT_EQ(count, metric(testsupport::readFile(dir.file("recv.prom")),
                          "udplog_recv_lines_written_total"));

  // Room made, and a line cut by hand (as by a crash) at its end: the next run gives the file its
  // line end, says so, and appends whole lines.
  ASSERT_TRUE(small.grow()) << std::strerror(errno);
  std::ofstream(path, std::ios::app) << "a cut line";
  const unsigned short again = freePort();
  testsupport::Subprocess restarted(UDPLOG_RECV_PATH, {"--port", std::to_string(again), "--output",
                                                       path, "--count", "1", "--idle", "20"});
  ASSERT_TRUE(waitUntilListening(again, [&] { return restarted.err(); }));
  sendTo(again, "1:1/1|after the restart");
  EXPECT_EQ(0, restarted.wait()) << restarted.err();
  EXPECT_TRUE(testsupport::readFile(path) == lines + "a cut line\nafter the restart\n");
  EXPECT_NE(std::string::npos, restarted.err().find(path + " did not end in a line end: one was "
                                                           "added before the new lines"))
      << restarted.err();
}

TEST(UdplogRecvTest, TimeOutsIdleAndKernelDropsFollowTheTrafficNotTheStart) {
  // --idle counts from the last datagram: a sender that begins late is still heard.
  const unsigned short port = freePort();
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH, {"--port", std::to_string(port), "--idle", "0.3", "--timeout", "0.2",
                         "--output", "/dev/null"});
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  Sender sender(port);
  sender.send("1:1/2|" + std::string(50000, 'h'));  // half a line, never finished
  // Steady traffic does not hold the time-out back.
  std::uint32_t sequence = 2;
  EXPECT_TRUE(testsupport::waitFor([&] {
    sender.send(std::to_string(sequence++) + ":1/1|steady traffic line");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return receiver.err().find("line 1 incomplete (1 of 2 parts), timed out") != std::string::npos;
  })) << receiver.err();
  EXPECT_EQ(0, receiver.wait());

  // A receiver that is stopped while 2 000 half lines of 50 000 bytes overflow its buffer.
  const auto flooded = [](testsupport::Subprocess& process, unsigned short at) {
    if (!waitUntilListening(at, [&] { return process.err(); })) return false;
    process.signal(SIGSTOP);
    Sender flood(at);
    for (int n = 1; n <= 2000; ++n)
      flood.send(std::to_string(n) + ":1/2|" + std::string(50000, 'f'));
    return true;
  };
  // Drops after the last datagram received are counted at the end.
  const unsigned short second = freePort();
  testsupport::Subprocess stopped(UDPLOG_RECV_PATH,
                                  {"--port", std::to_string(second), "--output", "/dev/null"});
  ASSERT_TRUE(flooded(stopped, second));
  stopped.signal(SIGTERM);
  stopped.signal(SIGCONT);
  EXPECT_EQ(0, stopped.wait());
  const std::string err = stopped.err();
  EXPECT_EQ(std::string::npos, err.find(" 0 dropped by the kernel")) << err;
  EXPECT_NE(std::string::npos, err.find("counted at the end")) << err;

  // Drops behind the datagrams still queued are reported while it runs, once those are read:
  // no later datagram has to come and bring the count along.
  const unsigned short third = freePort();
  testsupport::Subprocess running(UDPLOG_RECV_PATH,
                                  {"--port", std::to_string(third), "--output", "/dev/null"});
  ASSERT_TRUE(flooded(running, third));
  running.signal(SIGCONT);
  EXPECT_TRUE(testsupport::waitFor([&] {
    return running.err().find("datagrams (receive buffer full)\n") != std::string::npos;
  })) << running.err();
  running.signal(SIGTERM);
  EXPECT_EQ(0, running.wait());
}

TEST(UdplogRecvTest, OnlyAllowedSendersAreWrittenAndTheRefusedAreCountedInAFewLines) {
  // The same rules for an IPv4 socket and a dual-stack one, where senders are IPv4-mapped.
  for (const char* listen : {"127.0.0.1", "::"}) {
    SCOPED_TRACE(listen);
    const unsigned short port = freePort();
    testsupport::TempDir dir;
    testsupport::Subprocess receiver(
        UDPLOG_RECV_PATH,
        {"--listen", listen, "--port", std::to_string(port), "--allow", "10.0.0.0/8", "--allow",
         "127.0.0.1/32", "--output", dir.file("lines.txt"), "--metrics-file", dir.file("r.prom")});
    ASSERT_TRUE(testsupport::waitFor([&] { return receiveQueue(port) >= 0; }));
    Sender allowed(port, "127.0.0.1"), refused(port, "127.0.0.2");
    ASSERT_TRUE(allowed.bound() && refused.bound());
    for (int n = 1; n <= 5000; ++n) {
      refused.send(std::to_string(n) + ":1/1|refused " + std::to_string(n));
      if (n % 10 == 0) allowed.send(std::to_string(n / 10) + ":1/1|line " + std::to_string(n / 10));
      if (n % 200 == 0) {
        ASSERT_TRUE(drained(port)) << n;
      }
    }
    ASSERT_TRUE(testsupport::waitFor([&] {
      return testsupport::readFile(dir.file("lines.txt")) == numbered(1, 500);
    })) << receiver.err();
    receiver.signal(SIGUSR1);
    ASSERT_TRUE(testsupport::waitFor([&] {
      return receiver.err().find("0 dropped by the kernel, 5000 refused; 1 sender stream") !=
             std::string::npos;
    })) << receiver.err();
    receiver.signal(SIGTERM);
    EXPECT_EQ(0, receiver.wait());
    EXPECT_EQ(numbered(1, 500), testsupport::readFile(dir.file("lines.txt")));
    // The first line says what the run does.
    EXPECT_EQ(0u, receiver.err().find(
                      "udplog-recv: listening on " + std::string(listen) + " port " +
                      std::to_string(port) + (listen[0] == ':' ? " (IPv6" : " (IPv4") +
                      ", senders of 2 --allow networks); lines to " + dir.file("lines.txt") +
                      "; metrics to " + dir.file("r.prom") + "\n"))
        << receiver.err();
    const std::string err = receiver.err();
    EXPECT_LT(std::count(err.begin(), err.end(), '\n'), 12) << err;
    EXPECT_NE(std::string::npos, err.find("127.0.0.0/24: datagrams refused (not in --allow)"))
        << err;
    EXPECT_NE(std::string::npos, err.find("udplog-recv: 500 lines, 0 lost")) << err;
    EXPECT_NE(std::string::npos, err.find("  refused: 127.0.0.0/24 5000\n")) << err;
    EXPECT_NE(std::string::npos, testsupport::readFile(dir.file("r.prom"))
                                     .find("\nudplog_recv_datagrams_refused_total 5000\n"));
  }
}

TEST(UdplogRecvTest, ASenderHoldingFirstPartsCannotCostAnotherSenderALine) {
  const unsigned short port = freePort();
  testsupport::TempDir dir;
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH,
      {"--port", std::to_string(port), "--output", dir.file("lines.txt"), "--timeout", "600",
       "--max-pending-bytes", "1M", "--max-sender-bytes", "256K"});
  ASSERT_TRUE(testsupport::waitFor([&] { return receiveQueue(port) >= 0; }));
  // Four fifths of a line held, then a flood from 16 ports of another host that never finishes a
  // line: past the cap, it is the other host whose lines go, not this one.
  Sender sender(port, "127.0.0.1");
  const std::string part(DatagramParser::kMaxPayload, 'a');
  for (int p = 1; p <= 4; ++p) sender.send("1:" + std::to_string(p) + "/5|" + part);
  ASSERT_TRUE(drained(port));
  std::vector<std::unique_ptr<Sender>> flood;
  for (int i = 0; i < 16; ++i) flood.push_back(std::make_unique<Sender>(port, "127.0.0.2"));
  for (int n = 1; n <= 10; ++n) {
    for (auto& f : flood) f->send(std::to_string(n) + ":1/3|" + part);
    ASSERT_TRUE(drained(port)) << n;
  }
  sender.send("1:5/5|" + part);
  sender.send("2:1/1|line 2");
  ASSERT_TRUE(drained(port));
  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait());
  const std::string lines = testsupport::readFile(dir.file("lines.txt"));
  EXPECT_TRUE(lines == std::string(5 * part.size(), 'a') + "\nline 2\n") << lines.size();
  const std::string err = receiver.err();
  EXPECT_NE(std::string::npos, err.find("held more than 262144 bytes")) << err;
  EXPECT_NE(std::string::npos, err.find("2 lines, 0 lost, 0 late, 0 duplicate, 0 conflicting, 0 "
                                        "too old, 0 resynchronised, 160 incomplete"))
      << err;
}

}  // namespace
