// Load, shutdown and life-cycle stress through the real plug-in on our host. Bounded in time:
// each case pushes a fixed number of lines and waits with generous deadlines.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "host/BusDispatcher.h"
#include "host/LoggerClient.h"
#include "host/PluginLoader.h"
#include "logger/host/IComponent.h"
#include "tests/support/ProcessStats.h"
#include "tests/support/SequenceChecker.h"
#include "tests/support/TestSupport.h"
#include "tests/support/UdpReceiver.h"
#include "tests/support/UdpSender.h"

namespace {

using testsupport::numberedLine;
using testsupport::pluginConfig;
using testsupport::SequenceChecker;

long residentKb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * 4;
}

// The plug-in loaded, one component started, the pipe obtained over the bus.
class RunningLogger {
 public:
  RunningLogger() {
    loader.load(LOGGER_PLUGIN_PATH);
    component = loader.create("000udploggerplugin");
    component->start();
    LoggerClient client("client:/stress");
    pipe = client.requestQueue(std::chrono::seconds(10));
    if (!pipe) throw std::runtime_error("no pipe");
  }
  ~RunningLogger() { stop(); }
  void stop() {
    if (!component) return;
    pipe.reset();
    component->shutdown();
    loader.destroy(component);
    component = nullptr;
    loader.unload(LOGGER_PLUGIN_PATH);
  }
  std::string rawData() {
    LoggerClient client("client:/stress-dump");
    std::string data;
    client.requestRawData(std::chrono::seconds(10), data);
    return data;
  }

  PluginLoader loader;
  IComponent* component = nullptr;
  boost::shared_ptr<safe_pipe<std::string>> pipe;
};

class StressTest : public ::testing::Test {
 protected:
  testsupport::CleanConfig config;
  testsupport::TempDir dir;
};

void pushFromThreads(safe_pipe<std::string>& pipe, int threads, std::uint64_t perThread) {
  std::vector<std::thread> pushers;
  for (int t = 0; t < threads; ++t) {
    pushers.emplace_back([&, t] {
      for (std::uint64_t s = 0; s < perThread; ++s) pipe.push(numberedLine(t, s));
    });
  }
  for (auto& p : pushers) p.join();
}

TEST_F(StressTest, EightThreadsIntoFilesLoseNothingAndKeepEachThreadsOrder) {
  testsupport::hostConfig().setValue("Directories/VarPath", dir.str());
  pluginConfig().setValue("TarvoLogger/StorageFormat", "file");
  pluginConfig().setValue("TarvoLogger/MaxFileSize", "4096");
  const int threads = 8;
  const std::uint64_t perThread = 25000;
  {
    RunningLogger logger;
    pushFromThreads(*logger.pipe, threads, perThread);
  }
  SequenceChecker checker;
  std::ifstream in(dir.file("tarvolog.log"));
  std::string line;
  while (std::getline(in, line)) checker.feed(line.substr(line.find_first_not_of(' ')));
  std::map<int, std::uint64_t> expected;
  for (int t = 0; t < threads; ++t) expected[t] = perThread;
  EXPECT_EQ(threads * perThread, checker.seen());
  EXPECT_EQ(0u, checker.missing(expected));
  EXPECT_EQ(0u, checker.outOfOrder());
  EXPECT_EQ(0u, checker.foreign());
}

TEST_F(StressTest, EightThreadsIntoUdpLoseOnlyWhatTheKernelDropped) {
  testsupport::UdpReceiver receiver;
  receiver.countKernelDrops();
  pluginConfig().setValue("TarvoLogger/StorageFormat", "udp");
  pluginConfig().setValue("TarvoLogger/Port", std::to_string(receiver.port()));
  const int threads = 8;
  const std::uint64_t perThread = 5000;
  SequenceChecker checker;
  std::uint32_t kernelDrops = 0;
  std::atomic<bool> finished{false};
  std::thread reader([&] {
    for (;;) {
      std::uint32_t drops = 0;
      std::string datagram = receiver.receiveCountingDrops(20000, drops);
      kernelDrops = std::max(kernelDrops, drops);
      // The end marker carries the kernel's final drop count.
      if (datagram == "<timeout>" || datagram == "END") {
        finished = true;
        break;
      }
      checker.feed(datagram.substr(datagram.find('|') + 1));
    }
  });
  {
    RunningLogger logger;
    pushFromThreads(*logger.pipe, threads, perThread);
  }
  // The marker may meet a full buffer too: send it until the reader has it.
  testsupport::UdpSender marker(receiver.port());
  while (!testsupport::waitFor([&] { return !reader.joinable() || finished; },
                               std::chrono::milliseconds(100))) {
    marker.send("END");
  }
  reader.join();
  std::map<int, std::uint64_t> expected;
  for (int t = 0; t < threads; ++t) expected[t] = perThread;
  EXPECT_EQ(0u, checker.outOfOrder());
  EXPECT_LE(checker.missing(expected), kernelDrops) << "lost beyond what the kernel dropped";
  EXPECT_EQ(threads * perThread, checker.seen() + checker.missing(expected));
}

TEST_F(StressTest, DumpsWhileSeveralThreadsPushShowWholeRecordsInEachThreadsOrder) {
  pluginConfig().setValue("TarvoLogger/BufferSize", "500");
  RunningLogger logger;
  std::atomic<bool> done{false};
  std::thread pushers([&] {
    pushFromThreads(*logger.pipe, 4, 20000);
    done = true;
  });
  int dumps = 0;
  while (!done || dumps < 20) {
    std::string dump = logger.rawData();
    ++dumps;
    SequenceChecker checker;
    std::size_t start = 0;
    while (start < dump.size()) {
      std::size_t end = dump.find("\r\n", start);
      ASSERT_NE(std::string::npos, end) << "a torn dump";
      std::string record = dump.substr(start, end - start);
      ASSERT_NE(std::string::npos, record.find_first_not_of(' ')) << record;
      checker.feed(record.substr(record.find_first_not_of(' ')));
      start = end + 2;
    }
    ASSERT_EQ(0u, checker.outOfOrder());
    ASSERT_EQ(0u, checker.foreign());
  }
  pushers.join();
}

TEST_F(StressTest, ShutdownWhileClientsPushKeepsEveryLinePushedBeforeIt) {
  testsupport::hostConfig().setValue("Directories/VarPath", dir.str());
  pluginConfig().setValue("TarvoLogger/StorageFormat", "file");
  pluginConfig().setValue("TarvoLogger/MaxFileSize", "4096");
  const int threads = 4;
  std::vector<std::uint64_t> pushedBeforeStop(threads, 0);
  std::atomic<bool> stopping{false};
  std::atomic<int> running{0};
  std::vector<std::thread> clients;
  {
    RunningLogger logger;
    for (int t = 0; t < threads; ++t) {
      auto pipe = logger.pipe;  // each client keeps its own reference
      clients.emplace_back([&, t, pipe] {
        ++running;
        for (std::uint64_t s = 0; s < 2000000; ++s) {
          if (!stopping) pushedBeforeStop[t] = s;
          pipe->push(numberedLine(t, s));
          if (s > 30000 && stopping) break;
        }
      });
    }
    while (running < threads) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    stopping = true;
    logger.stop();  // clients are still pushing
  }
  for (auto& c : clients) c.join();
  SequenceChecker checker;
  std::ifstream in(dir.file("tarvolog.log"));
  std::string line;
  while (std::getline(in, line)) checker.feed(line.substr(line.find_first_not_of(' ')));
  std::map<int, std::uint64_t> expected;
  for (int t = 0; t < threads; ++t) expected[t] = pushedBeforeStop[t];
  EXPECT_EQ(0u, checker.missing(expected)) << "a line pushed before the stop was lost";
  EXPECT_EQ(0u, checker.outOfOrder());
}

TEST_F(StressTest, HundredLifeCyclesLeaveNoThreadsFilesOrMemoryBehind) {
  testsupport::hostConfig().setValue("Directories/VarPath", dir.str());
  auto cycle = [&](int i) {
    pluginConfig().setValue("TarvoLogger/StorageFormat", i % 3 == 0 ? "file" : "circular");
    RunningLogger logger;
    for (int n = 0; n < 200; ++n) logger.pipe->push(numberedLine(i, n));
  };
  for (int i = 0; i < 10; ++i) cycle(i);  // warm up allocators and the bus
  const std::size_t threads = testsupport::threadCountAtRest();
  const std::size_t files = testsupport::procEntries("/proc/self/fd");
  const long memory = residentKb();
  for (int i = 10; i < 110; ++i) cycle(i);
  EXPECT_EQ(threads, testsupport::threadCountOnceItIs(threads));
  EXPECT_EQ(files, testsupport::procEntries("/proc/self/fd"));
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  (void)memory;  // the sanitizers hold freed memory back on purpose
#else
  EXPECT_LT(residentKb() - memory, 8 * 1024) << "resident memory grew by more than 8 MiB";
#endif
}

}  // namespace
