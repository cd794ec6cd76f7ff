#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <fstream>

#include "tests/support/Subprocess.h"

namespace {

TEST(LoghostSettingsTest, LoghostWritesFilesToADefaultDirectoryOfTheUser) {
#ifdef _WIN32
  GTEST_SKIP() << "the default folder comes from HOME and XDG_STATE_HOME on POSIX systems only";
#else
  testsupport::TempDir home;
  ::setenv("HOME", home.str().c_str(), 1);
  ::unsetenv("XDG_STATE_HOME");
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
  ::setenv("TMPDIR", temp.c_str(), 1);
  ::setenv("XDG_STATE_HOME", home.file("input.log").c_str(), 1);  // a file, not a folder
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
