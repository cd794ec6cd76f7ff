// Injected faults, end to end: loghost runs the real plug-in while the test breaks its storage,
// closes its outputs or signals it. Each case states what is kept, what is reported and how the
// host ends.

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <fstream>
#include <thread>

#include "logger/media/LogRecord.h"
#include "platform/AppendFile.h"
#include "tests/support/Subprocess.h"
#include "tests/support/UdpReceiver.h"

namespace {

namespace fs = boost::filesystem;
using testsupport::readFile;

std::string numbered(int n) {
  return "2026-12-07\x0bT1\x0bINFO\x0b"
         "core\x0b"
         "fault test line " +
         std::to_string(n) + "\x0bx";
}

std::string formOf(int from, int to) {
  std::string text;
  for (int n = from; n < to; ++n) {
    LogRecord(numbered(n)).appendLineForm(text);
    text += AppendFile::kLineEnd;
  }
  return text;
}

#ifndef _WIN32
// loghost reading its input from a FIFO that the test writes as it goes.
class FeedingLoghost {
 public:
  explicit FeedingLoghost(const std::vector<std::string>& args) {
    ::mkfifo(dir.file("input").c_str(), 0600);
    std::vector<std::string> all = args;
    all.push_back(dir.file("input"));
    process.reset(new testsupport::Subprocess(LOGHOST, all));
    fd = ::open(dir.file("input").c_str(), O_WRONLY);  // waits for loghost to open it
  }
  ~FeedingLoghost() { close(); }
  void feed(int from, int to) {
    for (int n = from; n < to; ++n) {
      std::string line = numbered(n) + "\n";
      if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return;
    }
  }
  // Bytes fed that loghost has not read yet.
  int unread() const {
    int bytes = -1;
    ::ioctl(fd, FIONREAD, &bytes);
    return bytes;
  }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  testsupport::Subprocess& child() { return *process; }

 private:
  testsupport::TempDir dir;
  std::unique_ptr<testsupport::Subprocess> process;
  int fd = -1;
};

// A small private tmpfs where the test may mount one; otherwise nothing (the caller falls back).
class SmallFilesystem {
 public:
  explicit SmallFilesystem(const std::string& thePath) : path(thePath) {
    fs::create_directories(thePath);
    isMounted = ::mount("tmpfs", thePath.c_str(), "tmpfs", 0, "size=256k") == 0;
  }
  ~SmallFilesystem() {
    if (isMounted) ::umount2(path.c_str(), MNT_DETACH);
  }
  bool mounted() const { return isMounted; }
  // Takes every free byte.
  void fill() {
    int fd = ::open((path + "/filler").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string block(4096, 'f');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    while (::write(fd, block.data(), 1) > 0) {
    }
    ::close(fd);
  }
  void makeRoom() { fs::remove(path + "/filler"); }

 private:
  std::string path;
  bool isMounted = false;
};
#endif

class FaultTest : public ::testing::Test {
 protected:
  std::vector<std::string> fileMedium(const std::string& varPath, const char* bufferSize = "10") {
    return {"-P", "TarvoLogger/StorageFormat=file",
            "-P", std::string("TarvoLogger/BufferSize=") + bufferSize,
            "-H", "Directories/VarPath=" + varPath};
  }
  testsupport::TempDir dir;
};

TEST_F(FaultTest, AFullFilesystemKeepsRecordsAndWritingResumesWhenSpaceReturns) {
#ifdef _WIN32
  GTEST_SKIP() << "needs a FIFO to feed loghost and a tmpfs mount or /dev/full (POSIX systems)";
#else
  const std::string logs = dir.file("logs");
  SmallFilesystem small(logs);
  if (small.mounted()) {
    small.fill();
  } else {
    fs::create_symlink("/dev/full", logs + "/tarvolog.log");  // no mount allowed: a full device
  }
  FeedingLoghost host(fileMedium(logs));
  host.feed(0, 30);
  ASSERT_TRUE(testsupport::waitFor([&] {
    return host.child().err().find("No space left on device") != std::string::npos;
  })) << host.child().err();
  if (small.mounted()) {
    small.makeRoom();
  } else {
    fs::remove(logs + "/tarvolog.log");
  }
  host.feed(30, 60);
  host.close();
  EXPECT_EQ(0, host.child().wait());
  const std::string err = host.child().err();
  EXPECT_NE(std::string::npos, err.find("TarvoLogger: write failed: cannot write " + logs)) << err;
  EXPECT_EQ(formOf(0, 60), readFile(logs + "/tarvolog.log")) << "every record once, in order";
#endif
}

TEST_F(FaultTest, ADirectoryThatCannotBeCreatedIsReportedAndTheHostSurvives) {
  std::string out, err;
  const std::string missingParent = dir.file("missing/logs");
  std::ofstream(dir.file("input.log")) << numbered(1) << "\n" << numbered(2) << "\n";
  // The settings check says it before any input is read.
  auto check = fileMedium(missingParent);
  check.push_back("--check");
  EXPECT_EQ(2, testsupport::run(LOGHOST, check, &out, &err));
  EXPECT_NE(std::string::npos, err.find("loghost: error: Directories/VarPath=\"" + missingParent +
                                        "\" does not exist, nor does its parent"))
      << err;
  // Run all the same: the records are lost, said in a summary line, and the exit status is 1.
  EXPECT_EQ(1, testsupport::run(
                   LOGHOST,
                   [&] {
                     auto args = fileMedium(missingParent);
                     args.push_back("--lenient");
                     args.push_back(dir.file("input.log"));
                     return args;
                   }(),
                   &out, &err));
  EXPECT_NE(std::string::npos, err.find("TarvoLogger: flush failed:")) << err;
  EXPECT_NE(std::string::npos, err.find(missingParent)) << err;
  EXPECT_NE(std::string::npos, err.find("loghost: the logger lost 2 of 2 lines (0 stored)")) << err;
  EXPECT_EQ("TarvoLoggerPlugin::shutdown()\n", out);

  std::ofstream(dir.file("plainfile")) << "x";
  EXPECT_EQ(1, testsupport::run(
                   LOGHOST,
                   [&] {
                     auto args = fileMedium(dir.file("plainfile"));
                     args.push_back("--lenient");
                     args.push_back(dir.file("input.log"));
                     return args;
                   }(),
                   &out, &err));
#ifdef _WIN32
  const std::string cause = "No such file or directory";  // Windows finds no such path
#else
  const std::string cause = "Not a directory";
#endif
  EXPECT_NE(std::string::npos,
            err.find("cannot open " + dir.file("plainfile") + "/tarvolog.log: " + cause))
      << err;
}

TEST_F(FaultTest, AFailedRotationIsReportedAndTheLogKeepsItsContents) {
  const std::string logs = dir.file("logs");
  fs::create_directories(logs + "/tarvolog.log.old/blocker");
  std::ofstream(logs + "/tarvolog.log", std::ios::binary) << "earlier contents\n";
  std::ofstream(dir.file("input.log")) << numbered(1) << "\n";
  std::string out, err;
  auto args = fileMedium(logs);
  args.insert(args.end(), {"-P", "TarvoLogger/MaxFileSize=0", dir.file("input.log")});
  EXPECT_EQ(1, testsupport::run(LOGHOST, args, &out, &err)) << "the record could not be written";
  EXPECT_NE(std::string::npos, err.find("TarvoLogger: flush failed:")) << err;
  EXPECT_NE(std::string::npos, err.find("tarvolog.log.old")) << err;
  EXPECT_EQ("earlier contents\n", readFile(logs + "/tarvolog.log"));
}

TEST_F(FaultTest, UdpWithNobodyListeningIsQuietButARefusedSendIsReported) {
  unsigned short port;
  {
    testsupport::UdpReceiver probe;
    port = probe.port();
  }
  std::ofstream(dir.file("input.log")) << numbered(1) << "\n" << numbered(2) << "\n";
  std::string out, err;
  EXPECT_EQ(0, testsupport::run(LOGHOST,
                                {"-P", "TarvoLogger/StorageFormat=udp", "-P",
                                 "TarvoLogger/Port=" + std::to_string(port), dir.file("input.log")},
                                &out, &err));
  EXPECT_EQ("", err) << "datagrams nobody receives are not a local failure";

  EXPECT_EQ(1, testsupport::run(LOGHOST,
                                {"-P", "TarvoLogger/StorageFormat=udp", "-P", "TarvoLogger/Port=0",
                                 dir.file("input.log")},
                                &out, &err));
  EXPECT_NE(std::string::npos, err.find("loghost: the logger lost 2 of 2 lines")) << err;
  EXPECT_NE(std::string::npos, err.find("TarvoLogger: write failed: sending to 127.0.0.1:0"))
      << err;
  EXPECT_NE(std::string::npos, err.find("(repeated 2 times in all)")) << err;
}

TEST_F(FaultTest, ClosedOutputsCostNoStoredLine) {
  const std::string logs = dir.file("logs");
  std::ofstream input(dir.file("input.log"));
  for (int n = 0; n < 1000; ++n) input << numbered(n) << "\n";
  input.close();
  auto args = fileMedium(logs, "100000");  // everything waits for the last flush
  args.insert(args.end(), {"--dump", dir.file("input.log")});
  testsupport::Subprocess host(LOGHOST, args, "", "", testsupport::Subprocess::Outputs::kClosed);
  EXPECT_EQ(1, host.wait()) << "the dump could not be written";
  const std::string stored = readFile(logs + "/tarvolog.log");
  EXPECT_TRUE(formOf(0, 1000) == stored) << stored.size() << " bytes stored";
}

TEST_F(FaultTest, AClosedStandardInputIsAnEmptyInput) {
  testsupport::Subprocess host(LOGHOST, {"--dump"}, testsupport::Subprocess::kClosedInput);
  std::atomic<bool> ended{false};
  std::thread watchdog([&] {  // a host waiting for ever fails the test instead of hanging it
    if (!testsupport::waitFor([&] { return ended.load(); }, std::chrono::seconds(30))) {
      host.signal(SIGTERM);
      host.signal(SIGTERM);  // the second one ends it at once
    }
  });
  const int status = host.wait();
  ended = true;
  watchdog.join();
  EXPECT_EQ(0, status);
  EXPECT_EQ("TarvoLoggerPlugin::shutdown()\n", host.out());
}

TEST_F(FaultTest, TerminatingSignalsStoreEveryLineReadAndExitWithTheSignal) {
#ifdef _WIN32
  GTEST_SKIP() << "needs a FIFO to feed loghost and POSIX signals; Windows has console events";
#else
  // The terminal going away, and any other signal a user may send that would end the process
  // (SIGPIPE too, when another process sends it).
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR2, SIGALRM, SIGPIPE}) {
    const std::string logs = dir.file("logs" + std::to_string(signal));
    FeedingLoghost host(fileMedium(logs, "100000"));
    host.feed(0, 1050);
    ASSERT_TRUE(testsupport::waitFor([&] { return host.unread() == 0; }));
    if (signal == SIGTERM) {
      // A status request is answered and the run goes on.
      host.child().signal(SIGUSR1);
      ASSERT_TRUE(testsupport::waitFor([&] {
        return host.child().err().find(" lost\n") != std::string::npos;
      })) << host.child().err();
      EXPECT_NE(std::string::npos, host.child().err().find("loghost: status: "));
      EXPECT_NE(std::string::npos, host.child().err().find(" queued, ")) << host.child().err();
    }
    host.child().signal(signal);                        // the input stays open
    if (signal == SIGHUP) host.child().signal(SIGHUP);  // a closing terminal may send two
    EXPECT_EQ(128 + signal, host.child().wait()) << host.child().err();
    const std::string stored = readFile(logs + "/tarvolog.log");
    EXPECT_TRUE(formOf(0, 1050) == stored)
        << "signal " << signal << ": " << stored.size() << " bytes stored";
  }
  // Lines lost: the status says so, whatever ended the run.
  FeedingLoghost host({"-P", "TarvoLogger/StorageFormat=udp", "-P", "TarvoLogger/Port=0"});
  host.feed(0, 10);
  ASSERT_TRUE(testsupport::waitFor([&] { return host.unread() == 0; }));
  host.child().signal(SIGTERM);
  EXPECT_EQ(1, host.child().wait());
  EXPECT_NE(std::string::npos, host.child().err().find("the logger lost 10 of 10 lines"))
      << host.child().err();
#endif
}

TEST_F(FaultTest, AComponentThatThrowsAnythingFailsTheRunWithoutLosingALineRead) {
  std::ofstream input(dir.file("input.log"));
  for (int n = 0; n < 150; ++n) input << numbered(n) << "\n";
  input.close();
  struct Case {
    const char* at;
    std::string named;  // the failed component, or the library when its entry point failed
    int linesRead;      // a component that does not start ends the run before any input is read
  } cases[] = {{"shutdown", "component ThrowingComponent", 150},
               {"start", "component ThrowingComponent", 0},
               {"init", THROWING_COMPONENT, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.at);
    const std::string logs = dir.file(std::string("logs-") + c.at);
    auto args = fileMedium(logs);
    args.insert(args.end(),
                {"--component", THROWING_COMPONENT, "-P",
                 std::string("ThrowingComponent/ThrowAt=") + c.at, dir.file("input.log")});
    std::string out, err;
    EXPECT_EQ(1, testsupport::run(LOGHOST, args, &out, &err)) << err;
    // One line for the failure (beside the line that says where the files go).
    EXPECT_EQ(1, std::count(err.begin(), err.end(), '\n') -
                     static_cast<long>(err.find("loghost: writing the log files in ") == 0))
        << err;
    EXPECT_NE(std::string::npos, err.find(c.named)) << err;
    EXPECT_NE(std::string::npos, err.find("an unknown exception")) << err;
    const std::string stored = readFile(logs + "/tarvolog.log");
    EXPECT_TRUE(formOf(0, c.linesRead) == stored) << stored.size() << " bytes stored";
  }
}

}  // namespace
