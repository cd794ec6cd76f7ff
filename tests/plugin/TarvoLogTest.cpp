// TarvoLog's lines read back from a pipe of its own, and stored by the real plug-in from several
// threads. Built with TARVO_LOG_WITH_FMT where fmt is installed, so that the plain calls are also
// proven to choose the plain functions beside the formatting ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/make_shared.hpp>
#include <ctime>
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/PluginLoader.h"
#include "logger/host/IComponent.h"
#include "logger/media/LogRecord.h"
#include "logger/plugin/TarvoLog.h"
#include "logger/plugin/TarvoLoggerPayloads.h"
#include "tests/support/BusProbe.h"
#include "tests/support/TestSupport.h"

namespace {

using Pipe = safe_pipe<std::string>;

std::string systemThreadId() {
#if defined(_WIN32)
  return std::to_string(GetCurrentThreadId());
#else
  return std::to_string(::syscall(SYS_gettid));
#endif
}

std::string localMinute() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  char text[32];
  return std::string(text, std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M", &local));
}

// Each level's line, a line with its own extra field, and fields holding separators and line
// ends, read back from the pipe: six fields each, where LogRecord looks for them.
TEST(TarvoLogTest, EachLineSplitsIntoTheSixFieldsGivenWithBreaksBlanked) {
  auto pipe = boost::make_shared<Pipe>();
  const TarvoLog log(pipe, "pid=4242");
  const std::string before = localMinute();
  log.trace("scheduler", "m0");
  log.debug("scheduler", "m1");
  log.info("scheduler", "m2 {}");  // no arguments: taken as it is
  log.warn("scheduler", "m3");
  log.error("scheduler", "m4");
  log.critical("scheduler", "m5");
  log.write(TarvoLog::kWarn, "db_pool", std::string("m6"), "seq=6");
  log.info("auth\vforged", "tab\there\vINFO\vsrc\nnext line\r\nend");
  log.write("WARN\v", "\r", "\v\v\v\v\v\v", "x\ny\rz");
#ifdef TARVO_LOG_WITH_FMT
  log.warn("auth", "{} tries from {}", 3, "a\vb\nc");
#endif
  const std::string after = localMinute();
  TarvoLog().error("nobody", "a log without a pipe drops its lines");

  const std::vector<std::vector<std::string>> expected = {
      {"TRACE", "scheduler", "m0", "pid=4242"},
      {"DEBUG", "scheduler", "m1", "pid=4242"},
      {"INFO", "scheduler", "m2 {}", "pid=4242"},
      {"WARN", "scheduler", "m3", "pid=4242"},
      {"ERROR", "scheduler", "m4", "pid=4242"},
      {"CRITICAL", "scheduler", "m5", "pid=4242"},
      {"WARN", "db_pool", "m6", "seq=6"},
      {"INFO", "auth forged", "tab\there INFO src next line  end", "pid=4242"},
      {"WARN ", " ", "      ", "x y z"},
#ifdef TARVO_LOG_WITH_FMT
      {"WARN", "auth", "3 tries from a b c", "pid=4242"},
#endif
  };
  std::deque<std::string> lines;
  ASSERT_TRUE(pipe->popAll(lines));
  ASSERT_EQ(expected.size(), lines.size());
  // "2026-12-07 10:00:00.669": digits where the pattern has '9', the rest as it stands.
  auto isTime = [](const std::string& text) {
    const std::string pattern = "9999-99-99 99:99:99.999";
    if (text.size() != pattern.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (pattern[i] == '9' ? (text[i] < '0' || text[i] > '9') : text[i] != pattern[i]) {
        return false;
      }
    }
    return true;
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    EXPECT_EQ(5, std::count(lines[i].begin(), lines[i].end(), '\v')) << "no forged field";
    EXPECT_EQ(std::string::npos, lines[i].find_first_of("\r\n")) << "no forged line";
    const LogRecord::Fields fields(lines[i]);
    const std::string when(fields.field(0));
    EXPECT_TRUE(isTime(when));
    EXPECT_TRUE(when.compare(0, 16, before) == 0 || when.compare(0, 16, after) == 0)
        << "local time, between " << before << " and " << after;
    EXPECT_EQ(systemThreadId(), fields.field(1));
    EXPECT_EQ(expected[i][0], fields.level());
    EXPECT_EQ(expected[i][1], fields.source());
    EXPECT_EQ(expected[i][2], fields.field(4));
    EXPECT_EQ(expected[i][3], fields.field(5));
  }
}

// A log writes only at or above its minimum, also after setLevel from another thread; a copy keeps
// the level it was made with; the macros skip their arguments below it, and put the call's
// file:line after the log's own extra field; write() with a level text of its own always goes.
TEST(TarvoLogTest, MinimumLevelDropsLinesAndMacrosAddFileAndLine) {
  auto pipe = boost::make_shared<Pipe>();
  TarvoLog log(pipe, "pid=7", TarvoLog::Level::warn);
  int evaluated = 0;
  auto counted = [&evaluated] { return ++evaluated, std::string("costly"); };
  log.info("s", "dropped info");
  TARVO_INFO(log, "s", counted());
  log.warn("s", "kept warn");
  const int line = __LINE__ + 1;
  TARVO_ERROR(log, "s", counted());
  log.write("CUSTOM", "s", "never filtered", "");
  const TarvoLog copy(log);
  std::thread([&log] { log.setLevel(TarvoLog::Level::off); }).join();
  log.critical("s", "dropped once off");
  copy.debug("s", "dropped by the copy");
  TARVO_CRITICAL(copy, "s", "copy kept");
  TarvoLog plain(pipe);
  TARVO_DEBUG(plain, "s", "no extra");
  plain.setLevel(TarvoLog::Level::info);
  plain.debug("s", "dropped after setLevel");

  EXPECT_EQ(1, evaluated) << "the arguments of a dropped macro call are not evaluated";
  std::deque<std::string> lines;
  ASSERT_TRUE(pipe->popAll(lines));
  std::vector<std::string> seen;
  for (const auto& text : lines) {
    const LogRecord::Fields fields(text);
    seen.push_back(std::string(fields.level()) + "|" + std::string(fields.field(4)) + "|" +
                   std::string(fields.field(5)));
  }
  const std::string file = "TarvoLogTest.cpp:";
  EXPECT_EQ((std::vector<std::string>{
                "WARN|kept warn|pid=7",
                "ERROR|costly|pid=7 " + file + std::to_string(line),
                "CUSTOM|never filtered|",
                "CRITICAL|copy kept|pid=7 " + file + std::to_string(line + 6),
                "DEBUG|no extra|" + file + std::to_string(line + 8),
            }),
            seen);
  // Out of the enumeration: read as the highest level, never past the table of texts.
  EXPECT_EQ(TarvoLog::kCritical, TarvoLog::levelText(static_cast<TarvoLog::Level>(200)));
  EXPECT_EQ(TarvoLog::kCritical, TarvoLog::levelText(TarvoLog::Level::off));
  EXPECT_EQ(TarvoLog::kTrace, TarvoLog::levelText(TarvoLog::Level::trace));
}

// Four threads write through one log into the real plug-in's log file; an error line then makes
// the disk medium append its buffer at once.
TEST(TarvoLogTest, ThreadsKeepTheirOrderInTheStoredFileAndAnErrorFlushesIt) {
  testsupport::CleanConfig config;
  testsupport::TempDir dir;
  testsupport::hostConfig().setValue("Directories/VarPath", dir.str());
  testsupport::pluginConfig().setValue("TarvoLogger/StorageFormat", "file");
  testsupport::pluginConfig().setValue("TarvoLogger/BufferSize", "100000");
  PluginLoader loader;
  loader.load(LOGGER_PLUGIN_PATH);
  IComponent* logger = loader.create("000udploggerplugin");
  logger->start();
  testsupport::BusClient client;
  auto reply = client.request("GET_LOGGER_QUEUE");
  ASSERT_NE(nullptr, reply);
  const TarvoLog log(dynamic_cast<TarvoLoggerQueueData&>(*reply->getPayload()).queue, "pid=1");

  constexpr int kThreads = 4, kLines = 2000;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&log] {
      for (int n = 0; n < kLines; ++n) log.info("client", "line " + std::to_string(n));
    });
  }
  for (auto& w : writers) w.join();
  const std::string file = dir.file("tarvolog.log");
  log.error("client", "failed:\tdisk\vfull\nretry");
  EXPECT_TRUE(testsupport::waitFor([&] {
    return testsupport::readFile(file).find("retry") != std::string::npos;
  })) << "an ERROR line is appended before the buffer is full";
  testing::internal::CaptureStdout();
  logger->shutdown();
  testing::internal::GetCapturedStdout();
  loader.destroy(logger);

  std::istringstream in(testsupport::readFile(file));
  std::map<std::string, int> next;  // per thread identifier, the number its next line must carry
  std::string line, last;
  int total = 0;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // the files' line end on Windows
    last = line;
    if (line.find("ERROR") != std::string::npos) continue;
    std::istringstream words(line);
    std::string date, time, thread, level, source, word, arrow, extra;
    int n = -1;
    words >> date >> time >> thread >> level >> source >> word >> n >> arrow >> extra;
    ASSERT_EQ("INFO client line -> pid=1",
              level + " " + source + " " + word + " " + arrow + " " + extra)
        << line;
    ASSERT_EQ(next[thread]++, n) << "thread " << thread << " out of order";
    ++total;
  }
  EXPECT_EQ(kThreads * kLines, total);
  EXPECT_EQ(static_cast<std::size_t>(kThreads), next.size()) << "one identifier per thread";
  const std::string errorTail = "     ERROR            client failed:\tdisk full retry -> pid=1";
  EXPECT_EQ(errorTail, last.substr(last.size() - std::min(last.size(), errorTail.size())))
      << "one line, its fields in their columns";
}

}  // namespace
