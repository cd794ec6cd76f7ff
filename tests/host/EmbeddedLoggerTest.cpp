// The embedded logger with the real plug-in, found beside the host library as an installed one is,
// writing real files in temporary folders.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/EmbeddedLogger.h"
#include "tests/support/ReferenceLineForm.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TestSupport.h"

namespace {

std::size_t linesIn(const std::string& path) {
  const std::string text = testsupport::readFile(path);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The text of what the constructor throws, or "" when it starts.
std::string startError(const EmbeddedLogger::Settings& settings) {
  try {
    EmbeddedLogger logger(settings);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return std::string();
}

// threads writers of their own, each writing lines INFO lines, joined.
void writeFromThreads(EmbeddedLogger& logger, int threads, int lines) {
  std::vector<std::thread> writers;
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&logger, t, lines] {
      const TarvoLog log = logger.writer("thread=" + std::to_string(t));
      for (int n = 0; n < lines; ++n) log.info("worker", "line " + std::to_string(n));
    });
  }
  for (auto& w : writers) w.join();
}

// Four threads' lines are all in the file once finish() returns, though the buffer would hold
// them all; while one logger runs a second throws; the next starts from its own settings alone and
// its destructor stores its lines without a finish().
TEST(EmbeddedLoggerTest, StoresEveryLineAtFinishOneLoggerAtATimeEachWithItsOwnSettings) {
  testsupport::TempDir first, second;
  constexpr int kThreads = 4, kLines = 2500;
  {
    EmbeddedLogger logger({{"TarvoLogger/StorageFormat", "file"},
                           {"TarvoLogger/BufferSize", "1000000"},
                           {"Directories/VarPath", first.str()}});
    EXPECT_NE(std::string(), startError({})) << "a second logger while one runs";
    writeFromThreads(logger, kThreads, kLines);
    const TarvoLoggerStatsData counts = logger.finish();
    EXPECT_EQ(static_cast<std::uint64_t>(kThreads * kLines), counts.stored);
    EXPECT_EQ(0u, counts.lost);
    EXPECT_EQ(static_cast<std::size_t>(kThreads * kLines), linesIn(first.file("tarvolog.log")));
    EXPECT_EQ(counts.stored, logger.finish().stored) << "a second finish() changes nothing";
  }
  {
    EmbeddedLogger::Settings ring;
    ring.values = {{"TarvoLogger/StorageFormat", "circular"},
                   {"Directories/VarPath", second.str()}};
    ring.lenient = true;  // the ring reads no VarPath
    EmbeddedLogger logger(ring);
    logger.log().error("main", "into the ring: the file medium was the first logger's");
  }
  EXPECT_EQ(static_cast<std::size_t>(kThreads * kLines), linesIn(first.file("tarvolog.log")));
  {
    EmbeddedLogger logger(
        {{"TarvoLogger/StorageFormat", "file"}, {"Directories/VarPath", second.str()}});
    logger.log().info("main", "stored by the destructor");
  }
  EXPECT_EQ(1u, linesIn(second.file("tarvolog.log")));
}

// Writers that go on through finish(), and one made after it, lose no line silently: each line is
// stored or counted as dropped, the first drop is said at once and the count at the end.
TEST(EmbeddedLoggerTest, LinesWrittenAfterFinishAreCountedAndSaid) {
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> written{0};
  std::uint64_t stored = 0, dropped = 0;
  testing::internal::CaptureStderr();
  {
    EmbeddedLogger logger({{"TarvoLogger/StorageFormat", "circular"}});
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
      writers.emplace_back([&] {
        const TarvoLog log = logger.writer();
        while (!stop) {
          log.info("worker", "a line written while the logger finishes");
          ++written;
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stored = logger.finish().stored;
    logger.writer().info("main", "a line from a writer made after finish()");
    ++written;
    stop = true;
    for (auto& w : writers) w.join();
    dropped = logger.droppedAfterFinish();
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(written.load(), stored + dropped);
  const std::string said = "a line was written after the logger finished";
  EXPECT_NE(std::string::npos, err.find(said)) << err;
  EXPECT_EQ(err.find(said), err.rfind(said)) << "said once";
  EXPECT_NE(std::string::npos,
            err.find(std::to_string(dropped) + " lines written after finish() were dropped"))
      << err;
}

// A line on its way through the gate when finish() closes it (a long one, still being made) is
// waited for and stored, or, had it come after, counted: never lost without a word.
TEST(EmbeddedLoggerTest, ALineBeingMadeAsFinishBeginsIsStoredOrCounted) {
  testsupport::TempDir dir;
  EmbeddedLogger logger(
      {{"TarvoLogger/StorageFormat", "file"}, {"Directories/VarPath", dir.str()}});
  const std::string longMessage(32 << 20, 'x');
  std::atomic<bool> writing{false};
  std::thread writer([&] {
    const TarvoLog log = logger.writer();
    writing = true;
    log.info("worker", longMessage);
  });
  while (!writing) std::this_thread::yield();
  const TarvoLoggerStatsData counts = logger.finish();
  const std::uint64_t dropped = logger.droppedAfterFinish();
  writer.join();
  EXPECT_EQ(1u, counts.stored + counts.lost + dropped);
}

// A program that sets nothing shows its lines on standard error, and its dump is the console's
// description. Without a standard error it still runs to the end and counts every line lost.
TEST(EmbeddedLoggerTest, ByDefaultShowsTheLinesOnStandardErrorOrCountsThemLost) {
  // Windows writes the standard streams in text mode: its CR LF is read as a line feed here.
  const auto lineFeeds = [](std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
  };
  testsupport::Subprocess shows(EMBEDDED_DEFAULT, {"3"});
  ASSERT_EQ(0, shows.wait()) << shows.err();
  const std::string err = lineFeeds(shows.err()), out = lineFeeds(shows.out());
  // The plug-in's shutdown line comes between the dump and the counts.
  EXPECT_EQ(0u, out.find("Storage Format is Console Media\n")) << out;
  EXPECT_NE(std::string::npos, out.find("\nstored 3 lost 0 short 0\n")) << out;
  EXPECT_EQ(3, std::count(err.begin(), err.end(), '\n')) << err;
  EXPECT_EQ(std::string::npos, err.find('\x1b')) << "no colour off a terminal";
  for (int n = 0; n < 3; ++n) {
    // The first two fields (time, thread) vary; the rest stands as the line form puts it.
    const std::string tail =
        testsupport::referenceLineForm("\v\vINFO\vmain\vline number " + std::to_string(n) + "\v");
    EXPECT_NE(std::string::npos, err.find(tail.substr(34) + "\n")) << err;
  }

  testsupport::Subprocess lost(EMBEDDED_DEFAULT, {"--no-stderr", "3"});
  ASSERT_EQ(0, lost.wait());
  EXPECT_NE(std::string::npos, lineFeeds(lost.out()).find("\nstored 0 lost 3 short 0\n"))
      << lost.out();
}

// dump() waits for the worker: every line written before it is in the ring, from any thread; the
// dump's own short lines are left out of the final counts; past finish() it throws the cause.
TEST(EmbeddedLoggerTest, DumpHoldsEveryLineWrittenBeforeItAndThrowsOnceFinished) {
  constexpr int kThreads = 2, kLines = 10000;
  EmbeddedLogger logger(
      {{"TarvoLogger/StorageFormat", "circular"}, {"TarvoLogger/BufferSize", "40000"}});
  writeFromThreads(logger, kThreads, kLines);
  std::string dump = logger.dump();
  EXPECT_EQ(kThreads * kLines, std::count(dump.begin(), dump.end(), '\n'));
  // A burst just before the call, which the worker is still storing when the request comes.
  for (int n = 0; n < kLines; ++n) logger.log().warn("main", "line " + std::to_string(n));
  logger.log().warn("main", "the last line before the second dump");
  dump = logger.dump();
  EXPECT_EQ((kThreads + 1) * kLines + 1, std::count(dump.begin(), dump.end(), '\n'));
  EXPECT_NE(std::string::npos, dump.find("the last line before the second dump"));

  const TarvoLoggerStatsData counts = logger.finish();
  EXPECT_EQ(static_cast<std::uint64_t>((kThreads + 1) * kLines + 1), counts.stored);
  EXPECT_EQ(0u, counts.tooShort);
  try {
    logger.dump();
    ADD_FAILURE() << "a dump after finish()";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("finish")) << e.what();
  }
}

// A program that writes files now and then finds its lines on disk while it runs, not only at
// finish(); a FlushSeconds of its own is kept, and checked like any setting.
TEST(EmbeddedLoggerTest, FileRecordsReachTheDiskWhileTheProgramRunsUnlessItSaysOtherwise) {
  testsupport::TempDir dir;
  {
    EmbeddedLogger logger(
        {{"TarvoLogger/StorageFormat", "file"}, {"Directories/VarPath", dir.str()}});
    for (int n = 0; n < 5; ++n) logger.log().info("main", "rare line " + std::to_string(n));
    EXPECT_TRUE(testsupport::waitFor([&] { return linesIn(dir.file("tarvolog.log")) == 5; },
                                     std::chrono::seconds(10)))
        << linesIn(dir.file("tarvolog.log")) << " of 5 lines on disk before finish()";
  }
  EmbeddedLogger::Settings ownValue;
  ownValue.values = {{"TarvoLogger/StorageFormat", "file"},
                     {"TarvoLogger/FlushSeconds", "0"},
                     {"Directories/VarPath", dir.str()}};
  const std::string refused = startError(ownValue);
  EXPECT_NE(std::string::npos, refused.find("TarvoLogger/FlushSeconds=\"0\" is not a whole number"))
      << refused;
}

// A start that fails throws one line naming the cause, and leaves nothing behind: the next start
// succeeds.
TEST(EmbeddedLoggerTest, AFailedStartThrowsTheCauseAndLeavesNothingRunning) {
  EmbeddedLogger::Settings missing;
  missing.plugin = "/nonexistent/libnothing.so";
  EXPECT_NE(std::string::npos, startError(missing).find("/nonexistent/libnothing.so"));

  EmbeddedLogger::Settings badAddress;
  badAddress.values = {{"TarvoLogger/StorageFormat", "udp"}, {"TarvoLogger/Ip", "not-an-address"}};
  const std::string startFailed = startError(badAddress);
  EXPECT_NE(std::string::npos, startFailed.find("start failed")) << startFailed;
  EXPECT_NE(std::string::npos, startFailed.find("not-an-address")) << startFailed;

  EmbeddedLogger::Settings typo;
  typo.values = {{"TarvoLogger/StorageFormt", "file"}};
  EXPECT_NE(std::string::npos, startError(typo).find("did you mean TarvoLogger/StorageFormat?"));
  // A key in the wrong scope is told how this program gives the right one, not loghost's options.
  testsupport::TempDir dir;
  std::ofstream(dir.file("host.ini")) << "[TarvoLogger]\nStorageFormat=file\n";
  EmbeddedLogger::Settings wrongScope;
  wrongScope.hostFiles = {dir.file("host.ini")};
  const std::string scope = startError(wrongScope);
  EXPECT_NE(
      std::string::npos,
      scope.find("it is a plug-in key, give it with Settings::pluginFiles or Settings::values"))
      << scope;
  EmbeddedLogger::Settings wrongValue;
  wrongValue.values = {{"TarvoLogger/StorageFormat", "file ; keep on disk"}};
  EXPECT_NE(std::string::npos,
            startError(wrongValue).find("is none of udp, file, circular, console"));

  // A log folder that cannot be made (the medium makes only its last level) stops the start.
  EmbeddedLogger::Settings noParent;
  noParent.values = {{"TarvoLogger/StorageFormat", "file"},
                     {"Directories/VarPath", dir.file("missing/logs")}};
  EXPECT_NE(std::string::npos,
            startError(noParent).find("logs\" does not exist, nor does its parent"));
  EXPECT_FALSE(boost::filesystem::exists(dir.file("missing")));

  typo.lenient = true;
  EXPECT_EQ(std::string(), startError(typo)) << "lenient settings warn and go on";
  EXPECT_EQ(std::string(), startError({}));
}

}  // namespace
