#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "tests/support/Subprocess.h"
#include "tests/support/UdpReceiver.h"
#include "tests/support/UdpSender.h"

namespace {

using Sender = testsupport::UdpSender;

void sendTo(unsigned short port, const std::string& datagram) { Sender(port).send(datagram); }

unsigned short freePort() {
  testsupport::UdpReceiver probe;
  return probe.port();
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

TEST(UdplogRecvTest, WritesReassembledLinesAndReportsWhatWentWrong) {
  const unsigned short port = freePort();
  testsupport::TempDir dir;
  testsupport::Subprocess receiver(
      UDPLOG_RECV_PATH, {"--port", std::to_string(port), "--output", dir.file("lines.txt"),
                         "--count", "3", "--idle", "20"});
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
}

TEST(UdplogRecvTest, StopsCleanlyOnSignalsAndExplainsItsUse) {
  std::string out, err;
  EXPECT_EQ(0, testsupport::run(UDPLOG_RECV_PATH, {"--help"}, &out));
  EXPECT_NE(std::string::npos, out.find("--listen ADDR")) << out;
  // Every refused value is one line naming the option and the value, and exit status 2.
  const std::vector<std::vector<std::string>> refused = {
      {"--port", "0x10"},       {"--port", "65536"},  {"--count", "-1"},
      {"--count", "0"},         {"--count", "1e3"},   {"--count", "99999999999999999999"},
      {"--timeout", "1e30"},    {"--timeout", "inf"}, {"--timeout", "0"},
      {"--idle", "nan"},        {"--idle", "-2"},     {"--idle", " 1"},
      {"--listen", "localhost"}};
  for (const auto& args : refused) {
    EXPECT_EQ(2, testsupport::run(UDPLOG_RECV_PATH, args, &out, &err)) << args[0] << args[1];
    EXPECT_NE(std::string::npos, err.find(args[0] + " '" + args[1] + "'")) << err;
    EXPECT_NE(std::string::npos, err.find("try --help")) << err;
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n')) << err;
  }

  const unsigned short port = freePort();
  testsupport::Subprocess receiver(UDPLOG_RECV_PATH, {"--port", std::to_string(port)});
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  receiver.signal(SIGTERM);
  EXPECT_EQ(0, receiver.wait());
  EXPECT_NE(std::string::npos, receiver.err().find("0 lines")) << receiver.err();
}

// Runs udplog-recv with its standard output on a pipe whose reader has gone.
int runIntoClosedPipe(const std::vector<std::string>& args, const std::string& errorFile) {
  int ends[2];
  if (::pipe(ends) != 0) return -1;
  ::close(ends[0]);
  std::vector<std::string> all{UDPLOG_RECV_PATH};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid;
  int rc = posix_spawn(&pid, UDPLOG_RECV_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  if (rc != 0) return -1;
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

  // Drops after the last datagram received are counted at the end.
  const unsigned short second = freePort();
  testsupport::Subprocess stopped(UDPLOG_RECV_PATH,
                                  {"--port", std::to_string(second), "--output", "/dev/null"});
  ASSERT_TRUE(waitUntilListening(second, [&] { return stopped.err(); }));
  stopped.signal(SIGSTOP);
  Sender flood(second);
  for (int n = 1; n <= 2000; ++n) flood.send(std::to_string(n) + ":1/2|" + std::string(50000, 'f'));
  stopped.signal(SIGTERM);
  stopped.signal(SIGCONT);
  EXPECT_EQ(0, stopped.wait());
  const std::string err = stopped.err();
  EXPECT_EQ(std::string::npos, err.find(" 0 dropped by the kernel")) << err;
  EXPECT_NE(std::string::npos, err.find("counted at the end")) << err;
}

}  // namespace
