#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/support/Subprocess.h"

namespace {

using testsupport::readFile;
using testsupport::run;

// The lines of err that are of this kind ("error", "warning") and hold the finding.
std::size_t reported(const std::string& err, const std::string& kind, const std::string& finding) {
  std::istringstream lines(err);
  std::size_t n = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("loghost: " + kind + ": ", 0) == 0 && line.find(finding) != std::string::npos)
      ++n;
  }
  return n;
}

TEST(LoghostSettingsTest, AMistakeStopsTheRunBeforeInputCheckListsItLenientRunsWithIt) {
  testsupport::TempDir dir;
  const std::string line = "2026-12-07\vT1\vINFO\vcore\va line that reaches the ring\vx";
  std::ofstream(dir.file("in.log")) << line << "\n";
  std::ofstream(dir.file("comment.ini")) << "[TarvoLogger]\nStorageFormat=file ; keep on disk\n";
  struct Case {
    std::vector<std::string> settings;
    const char* finding;
  };
  const Case cases[] = {
      {{"-P", "TarvoLogger/StorageFormt=file"}, "(did you mean TarvoLogger/StorageFormat?)"},
      {{"-H", "TarvoLogger/BufferSize=5"}, "it is a plug-in key, give it with -P"},
      {{"--plugin-config", dir.file("comment.ini")},
       "\"file ; keep on disk\" is none of udp, file, circular, console: the in-memory ring is "
       "used instead (an INI comment after a value is read as part of the value"},
      {{"-P", "TarvoLogger/BufferSize=70000"}, "not a whole number from 0 to 65535: 20 is used"},
      {{"-P", "TarvoLogger/Port=5"}, "only the udp medium reads it"},
  };
  for (const Case& c : cases) {
    auto args = [&](std::vector<std::string> options) {
      options.insert(options.end(), c.settings.begin(), c.settings.end());
      options.push_back(dir.file("in.log"));
      return options;
    };
    std::string out, err;
    EXPECT_EQ(2, run(LOGHOST, args({"--dump"}), &out, &err)) << err;
    EXPECT_EQ(1u, reported(err, "error", c.finding)) << err;
    EXPECT_NE(std::string::npos, err.find("1 settings mistake: stopped before reading any input"))
        << err;
    EXPECT_EQ(std::string::npos, out.find("a line that reaches")) << out;

    EXPECT_EQ(2, run(LOGHOST, args({"--check"}), &out, &err)) << err;
    EXPECT_EQ(1u, reported(err, "error", c.finding)) << err;

    EXPECT_EQ(0, run(LOGHOST, args({"--lenient", "--dump"}), &out, &err)) << err;
    EXPECT_EQ(1u, reported(err, "warning", c.finding)) << err;
    EXPECT_EQ(std::string::npos, err.find("error")) << err;
    EXPECT_NE(std::string::npos, out.find("a line that reaches the ring")) << out;
  }
  // What a component reads is known once it has started: --check starts it, reads no input.
  std::string out, err;
  EXPECT_EQ(0,
            run(LOGHOST,
                {"--check", "--dump", "--component", EXAMPLE_CLIENT, "-P", "ExampleClient/Lines=0"},
                &out, &err, dir.file("in.log")))
      << err;
  EXPECT_EQ("loghost: the settings have no mistake\n", err);
  EXPECT_EQ(std::string::npos, out.find("a line that reaches")) << out;
  EXPECT_EQ(2, run(LOGHOST, {"--check", "-P", "ExampleClient/Lines=0"}, &out, &err)) << err;
}

TEST(LoghostSettingsTest, ShortLinesAreToldOnceAndCountedAtTheEndAndInTheMetrics) {
  testsupport::TempDir dir;
  std::ofstream(dir.file("in.log")) << "a|b|ERROR|c|d|e\n"
                                    << "2026-12-07|T1|INFO|core|a line long enough|x\n"
                                    << "\n";
  const std::string metrics = dir.file("loghost.prom");
  std::string out, err;
  // --dump makes loghost wait for the worker twice, with short lines of its own each time.
  ASSERT_EQ(0, run(LOGHOST, {"-s", "|", "--dump", "--metrics-file", metrics, dir.file("in.log")},
                   &out, &err))
      << err;
  EXPECT_EQ(1u, reported(err, "warning", "the logger drops every line of 20 bytes or fewer"))
      << err;
  EXPECT_NE(std::string::npos, err.find("loghost: 2 lines of 20 bytes or fewer dropped")) << err;
  EXPECT_NE(std::string::npos, readFile(metrics).find("\nloghost_lines_short_total 2\n"))
      << readFile(metrics);
}

#ifndef _WIN32
// Sets variables of this process for the programs it starts, and puts back what they were, so
// that the cases after it see the environment they started with.
class ScopedEnvironment {
 public:
  ~ScopedEnvironment() {
    for (auto it = saved.rbegin(); it != saved.rend(); ++it) {
      if (it->second.first) {
        ::setenv(it->first.c_str(), it->second.second.c_str(), 1);
      } else {
        ::unsetenv(it->first.c_str());
      }
    }
  }
  void set(const std::string& name, const char* value) {
    const char* old = ::getenv(name.c_str());
    saved.push_back({name, {old != nullptr, old ? old : ""}});
    if (value) {
      ::setenv(name.c_str(), value, 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::pair<bool, std::string>>> saved;
};
#endif

TEST(LoghostSettingsTest, LoghostWritesFilesToADefaultDirectoryOfTheUser) {
#ifdef _WIN32
  GTEST_SKIP() << "the default folder comes from HOME and XDG_STATE_HOME on POSIX systems only";
#else
  testsupport::TempDir home;
  ScopedEnvironment environment;
  environment.set("HOME", home.str().c_str());
  environment.set("XDG_STATE_HOME", nullptr);
  std::ofstream(home.file("input.log"))
      << "2026-12-07\vT1\vINFO\vcore\va line for the default\vx\n";
  std::string out, err;
  ASSERT_EQ(
      0, testsupport::run(LOGHOST, {"-P", "TarvoLogger/StorageFormat=file", home.file("input.log")},
                          &out, &err))
      << err;
  EXPECT_EQ("loghost: writing the log files in " + home.file(".local/state/tarvo-logger") + "\n",
            err);
  EXPECT_NE(std::string::npos,
            testsupport::readFile(home.file(".local/state/tarvo-logger/tarvolog.log"))
                .find("a line for the default"));

  // A default that cannot be made is named once, with the way out, and the user's private folder
  // in the temporary folder serves instead; one that another user could have planted (a link
  // here) is never written through.
  const std::string temp = home.file("tmp");
  const std::string fallback = temp + "/tarvo-logger-" + std::to_string(::geteuid());
  boost::filesystem::create_directories(home.file("tmp/planted"));
  boost::filesystem::create_symlink(home.file("tmp/planted"), fallback);
  environment.set("TMPDIR", temp.c_str());
  environment.set("XDG_STATE_HOME", home.file("input.log").c_str());  // a file, not a folder
  const std::vector<std::string> args{"-P", "TarvoLogger/StorageFormat=file",
                                      home.file("input.log")};
  testsupport::run(LOGHOST, args, &out, &err);
  EXPECT_NE(std::string::npos, err.find("cannot create the default log directory " +
                                        home.file("input.log") + "/tarvo-logger"))
      << err;
  EXPECT_NE(std::string::npos, err.find(fallback + " is not a private directory")) << err;
  EXPECT_NE(std::string::npos, err.find("(set Directories/VarPath)")) << err;
  EXPECT_FALSE(boost::filesystem::exists(home.file("tmp/planted/tarvolog.log")));

  boost::filesystem::remove(fallback);
  ASSERT_EQ(0, testsupport::run(LOGHOST, args, &out, &err)) << err;
  EXPECT_NE(std::string::npos, err.find("; using " + fallback)) << err;
  EXPECT_NE(std::string::npos,
            testsupport::readFile(fallback + "/tarvolog.log").find("a line for the default"));
  EXPECT_EQ(0700u,
            static_cast<unsigned>(boost::filesystem::status(fallback).permissions()) & 0777u);
#endif
}

}  // namespace
