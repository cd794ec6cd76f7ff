#include <gtest/gtest.h>

#include <algorithm>
#include <boost/filesystem/operations.hpp>
#include <boost/make_shared.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <thread>
#include <vector>

#include "logger/core/MainLoggerCore.h"
#include "logger/core/ThreadAnnotations.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UdpReceiver.h"

class MainLoggerCoreTestPeer {
 public:
  static MainLoggerCore* create(boost::shared_ptr<IStorageMedia> medium) {
    return new MainLoggerCore(std::move(medium));
  }
  static std::string stopLine(const MainLoggerCore& core) { return core.stopLine(); }
};

namespace {

using testsupport::pluginConfig;

// Records every call; optionally throws from write for lines that contain "boom".
class RecordingMedium : public IStorageMedia {
 public:
  void write(const std::string& line) override EXCLUDES(mutex) {
    MutexLock lock(mutex);
    if (line.find("boom") != std::string::npos) throw std::runtime_error("cannot store " + line);
    events.push_back(line);
  }
  void flush() override EXCLUDES(mutex) {
    MutexLock lock(mutex);
    events.push_back("<flush>");
  }
  std::string getRawData() override { return "recorded"; }
  std::vector<std::string> snapshot() EXCLUDES(mutex) {
    MutexLock lock(mutex);
    return events;
  }
  Mutex mutex;
  std::vector<std::string> events GUARDED_BY(mutex);
};

class MainLoggerCoreTest : public ::testing::Test {
 protected:
  testsupport::CleanConfig config;
};

TEST_F(MainLoggerCoreTest, StorageFormatSelectsTheMediumExactly) {
  testsupport::TempDir dir;
  testsupport::hostConfig().setValue("Directories/VarPath", dir.str());
  struct Case {
    const char* format;
    const char* rawData;  // nullptr: the ring, which holds the line pushed
  };
  const Case cases[] = {{"udp", "Storage Format is Udp Media"},
                        {"file", "Storage Format is File Media"},
                        {"console", "Storage Format is Console Media"},
                        {nullptr, nullptr},
                        {"Console", nullptr},
                        {"console ", nullptr},
                        {"UDP", nullptr},
                        {"File", nullptr},
                        {"disk", nullptr},
                        {"circular", nullptr},
                        {"", nullptr}};
  const std::string line = "a line longer than twenty bytes";
  for (const Case& c : cases) {
    if (c.format) {
      pluginConfig().setValue("TarvoLogger/StorageFormat", c.format);
    } else {
      pluginConfig().removeValue("TarvoLogger/StorageFormat");
    }
    MainLoggerCore core;
    core.getQueue()->push(line);
    if (c.rawData) {
      EXPECT_EQ(c.rawData, core.getRawData()) << c.format;
    } else {
      EXPECT_TRUE(testsupport::waitFor([&] { return !core.getRawData().empty(); }))
          << (c.format ? c.format : "(missing)");
      EXPECT_NE(std::string::npos, core.getRawData().find(line));
    }
  }
}

TEST_F(MainLoggerCoreTest, OnlyLinesLongerThanTwentyBytesReachTheMediumAndFlushComesLast) {
  auto medium = boost::make_shared<RecordingMedium>();
  {
    std::unique_ptr<MainLoggerCore> core(MainLoggerCoreTestPeer::create(medium));
    auto pipe = core->getQueue();
    EXPECT_EQ(pipe, core->getQueue()) << "one pipe for every client";
    pipe->push(std::string(20, 'a'));
    pipe->push(std::string(21, 'b'));
    pipe->push("");
    pipe->push(std::string(19, 'c') + "\x0b\n");
    pipe->push("  twenty-one bytes!! ");
  }
  EXPECT_EQ((std::vector<std::string>{std::string(21, 'b'), std::string(19, 'c') + "\x0b\n",
                                      "  twenty-one bytes!! ", "<flush>"}),
            medium->snapshot());

  auto idle = boost::make_shared<RecordingMedium>();
  delete MainLoggerCoreTestPeer::create(idle);
  EXPECT_EQ(std::vector<std::string>{"<flush>"}, idle->snapshot());
}

TEST_F(MainLoggerCoreTest, DestructionDrainsEveryLineFromEveryThreadInOrder) {
  auto medium = boost::make_shared<RecordingMedium>();
  const int threads = 4, perThread = 5000;
  {
    std::unique_ptr<MainLoggerCore> core(MainLoggerCoreTestPeer::create(medium));
    std::vector<std::thread> clients;
    for (int t = 0; t < threads; ++t) {
      clients.emplace_back([&, t] {
        auto pipe = core->getQueue();
        for (int i = 0; i < perThread; ++i) {
          pipe->push("client " + std::to_string(t) + " of the test, line " + std::to_string(i));
        }
      });
    }
    for (auto& c : clients) c.join();
  }
  std::vector<std::string> events = medium->snapshot();
  ASSERT_EQ(static_cast<std::size_t>(threads * perThread + 1), events.size());
  EXPECT_EQ("<flush>", events.back());
  std::vector<int> next(threads, 0);
  for (std::size_t i = 0; i + 1 < events.size(); ++i) {
    int t = std::stoi(events[i].substr(7));
    int n = std::stoi(events[i].substr(events[i].rfind(' ') + 1));
    ASSERT_EQ(next[t]++, n) << events[i];
  }
}

TEST_F(MainLoggerCoreTest, AClientCannotForgeTheStopLine) {
  auto medium = boost::make_shared<RecordingMedium>();
  std::unique_ptr<MainLoggerCore> core(MainLoggerCoreTestPeer::create(medium));
  const std::string stop = MainLoggerCoreTestPeer::stopLine(*core);
  ASSERT_LE(stop.size(), 20u);
  auto pipe = core->getQueue();
  pipe->push(stop);
  pipe->push("still written after the forged stop line");
  ASSERT_TRUE(testsupport::waitFor([&] { return medium->snapshot().size() == 1; }));
  core.reset();
  EXPECT_EQ((std::vector<std::string>{"still written after the forged stop line", "<flush>"}),
            medium->snapshot());
}

TEST_F(MainLoggerCoreTest, AForgedStopLineRightBeforeShutdownCostsNoLine) {
  // The client's copy may be taken before or after the core raises its flag; either way every
  // line pushed before the destructor began is stored.
  for (int round = 0; round < 200; ++round) {
    auto medium = boost::make_shared<RecordingMedium>();
    {
      std::unique_ptr<MainLoggerCore> core(MainLoggerCoreTestPeer::create(medium));
      auto pipe = core->getQueue();
      pipe->push(MainLoggerCoreTestPeer::stopLine(*core));
      for (int i = 0; i < 50; ++i)
        pipe->push("line pushed right before the stop " + std::to_string(i));
    }
    std::vector<std::string> events = medium->snapshot();
    ASSERT_EQ(51u, events.size()) << "round " << round;
    EXPECT_EQ("line pushed right before the stop 49", events[49]);
    EXPECT_EQ("<flush>", events.back());
  }
}

TEST_F(MainLoggerCoreTest, AThrowingMediumIsReportedAndTheWorkerGoesOn) {
  auto medium = boost::make_shared<RecordingMedium>();
  testing::internal::CaptureStderr();
  {
    std::unique_ptr<MainLoggerCore> core(MainLoggerCoreTestPeer::create(medium));
    auto pipe = core->getQueue();
    pipe->push("first line, stored normally");
    for (int i = 0; i < 12; ++i) pipe->push("boom boom boom boom boom");
    pipe->push("a different boom, once only");
    pipe->push("last line, stored after the errors");
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ((std::vector<std::string>{"first line, stored normally",
                                      "last line, stored after the errors", "<flush>"}),
            medium->snapshot());
  EXPECT_EQ(
      "TarvoLogger: write failed: cannot store boom boom boom boom boom\n"
      "TarvoLogger: write failed: cannot store boom boom boom boom boom (10 times so far)\n"
      "TarvoLogger: write failed: cannot store boom boom boom boom boom (repeated 12 times in "
      "all)\n"
      "TarvoLogger: write failed: cannot store a different boom, once only\n",
      err);
}

// Asks for its flush after every burst and fails every time.
class FailingFlushMedium : public RecordingMedium {
 public:
  std::chrono::seconds flushBound() override { return std::chrono::seconds(1); }
  Clock::time_point flushDue(Clock::time_point) override {
    throw std::runtime_error("the disk is gone");
  }
};

TEST_F(MainLoggerCoreTest, AFailingTimedFlushIsReportedAndTheWorkerGoesOn) {
  auto medium = boost::make_shared<FailingFlushMedium>();
  testing::internal::CaptureStderr();
  {
    std::unique_ptr<MainLoggerCore> core(MainLoggerCoreTestPeer::create(medium));
    core->getQueue()->push("the first line, before the failure");
    ASSERT_TRUE(testsupport::waitFor([&] { return medium->snapshot().size() == 1; }));
    core->getQueue()->push("the second line, after the failure");
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ((std::vector<std::string>{"the first line, before the failure",
                                      "the second line, after the failure", "<flush>"}),
            medium->snapshot());
  EXPECT_EQ(0u, err.find("TarvoLogger: flush failed: the disk is gone\n")) << err;
}

// Five INFO lines into the files reach the disk with a flush bound long before a batch of 100 or
// the end; without one, 99 lines wait past that bound for the 100th, as they always did.
TEST_F(MainLoggerCoreTest, FlushSecondsBoundsTheWaitInTheFilesAndItsAbsenceKeepsTheBatches) {
  testsupport::TempDir dir;
  testsupport::hostConfig().setValue("Directories/VarPath", dir.str());
  pluginConfig().setValue("TarvoLogger/StorageFormat", "file");
  const std::string log = dir.file("tarvolog.log");
  const auto info = [](int n) {
    return "2026-12-07 10:00:00\x0bT1\x0bINFO\x0b" + std::string("core\x0bline ") +
           std::to_string(n) + "\x0b" + "d";
  };
  const auto linesIn = [&log] {
    const std::string text = testsupport::readFile(log);
    return std::count(text.begin(), text.end(), '\n');
  };
  {
    pluginConfig().setValue("TarvoLogger/FlushSeconds", "1");
    MainLoggerCore core;
    for (int i = 0; i < 5; ++i) core.getQueue()->push(info(i));
    EXPECT_TRUE(testsupport::waitFor([&] { return linesIn() == 5; }, std::chrono::seconds(10)))
        << linesIn() << " of the five lines on disk while the core runs";
  }
  boost::filesystem::remove(log);
  pluginConfig().removeValue("TarvoLogger/FlushSeconds");
  {
    MainLoggerCore core;
    for (int i = 0; i < 99; ++i) core.getQueue()->push(info(i));
    ASSERT_TRUE(testsupport::waitFor([&] { return core.getCounters()->snapshot().stored == 99; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // past the bound above
    EXPECT_FALSE(boost::filesystem::exists(log)) << "written before the 100th line";
    core.getQueue()->push(info(99));
    EXPECT_TRUE(testsupport::waitFor([&] { return linesIn() == 100; }));
  }
}

TEST_F(MainLoggerCoreTest, AClientMayOutliveTheCore) {
  boost::shared_ptr<safe_pipe<std::string>> kept;
  {
    MainLoggerCore core;
    kept = core.getQueue();
  }
  for (int i = 0; i < 100; ++i) kept->push("pushed after the core is gone, read by nobody");
  kept.reset();
}

TEST_F(MainLoggerCoreTest, AFailedConstructionLeavesNoThread) {
  const std::size_t before = testsupport::threadCount();
  pluginConfig().setValue("TarvoLogger/StorageFormat", "udp");
  pluginConfig().setValue("TarvoLogger/Ip", "localhost");
  EXPECT_THROW(MainLoggerCore core, boost::system::system_error);
  EXPECT_EQ(before, testsupport::threadCountOnceItIs(before));
}

TEST_F(MainLoggerCoreTest, LinesReachTheRealMediaEndToEnd) {
  testsupport::UdpReceiver receiver;
  pluginConfig().setValue("TarvoLogger/StorageFormat", "udp");
  pluginConfig().setValue("TarvoLogger/Port", std::to_string(receiver.port()));
  {
    MainLoggerCore core;
    core.getQueue()->push("short");
    core.getQueue()->push("a line that goes out as a datagram");
  }
  EXPECT_EQ("1:1/1|a line that goes out as a datagram", receiver.receive());
}

}  // namespace
