#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>

#include "logger/host/ConfigurationManager.h"

namespace {

class ConfigurationManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path();
    boost::filesystem::create_directories(dir);
  }
  void TearDown() override { boost::filesystem::remove_all(dir); }

  std::string writeFile(const std::string& name, const std::string& text) {
    std::string path = (dir / name).string();
    std::ofstream(path) << text;
    return path;
  }

  boost::filesystem::path dir;
};

TEST_F(ConfigurationManagerTest, ValuesPresentEmptyAndMissing) {
  ConfigurationManager config;
  config.loadFile(writeFile("a.ini", "[TarvoLogger]\nPort=5000\nIp=\n"));

  std::string value = "untouched";
  EXPECT_EQ(0, config.getValue("TarvoLogger/Port", value));
  EXPECT_EQ("5000", value);
  EXPECT_EQ(0, config.getValue("TarvoLogger/Ip", value));
  EXPECT_EQ("", value);
  value = "untouched";
  EXPECT_NE(0, config.getValue("TarvoLogger/BufferSize", value));
  EXPECT_EQ("untouched", value);
  EXPECT_NE(0, config.getValue("tarvologger/port", value)) << "keys are case-sensitive";

  // Values set afterwards win over the file; removing makes the key absent again.
  config.setValue("TarvoLogger/Port", "6000");
  EXPECT_EQ(0, config.getValue("TarvoLogger/Port", value));
  EXPECT_EQ("6000", value);
  config.removeValue("TarvoLogger/Port");
  EXPECT_NE(0, config.getValue("TarvoLogger/Port", value));
}

TEST_F(ConfigurationManagerTest, ScopesAreSeparateProcessWideInstances) {
  ConfigurationManager* host =
      ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope);
  ConfigurationManager* plugin =
      ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope);
  ASSERT_NE(host, plugin);
  EXPECT_EQ(host, ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope));

  host->setValue("Directories/VarPath", "/var/log/app");
  std::string value;
  EXPECT_EQ(0, host->getValue("Directories/VarPath", value));
  EXPECT_NE(0, plugin->getValue("Directories/VarPath", value));
  host->clear();
  EXPECT_NE(0, host->getValue("Directories/VarPath", value));
}

TEST_F(ConfigurationManagerTest, UnreadableFilesAreNamedWithTheLine) {
  ConfigurationManager config;
  std::string bad = writeFile("bad.ini", "[TarvoLogger]\nPort=1\nthis line is not ini\n");
  try {
    config.loadFile(bad);
    FAIL() << "a malformed file must not load";
  } catch (const std::runtime_error& e) {
    std::string what = e.what();
    EXPECT_NE(std::string::npos, what.find(bad)) << what;
    EXPECT_NE(std::string::npos, what.find("line 3")) << what;
  }

  std::string missing = (dir / "missing.ini").string();
  try {
    config.loadFile(missing);
    FAIL() << "a missing file must not load";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find(missing)) << e.what();
  }

#ifndef _WIN32
  // An endless device given by mistake is refused after a bounded read, not read until memory
  // runs out.
  try {
    config.loadFile("/dev/zero");
    FAIL() << "an endless file must not load";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find("/dev/zero: larger than")) << e.what();
  }
#endif
}

TEST_F(ConfigurationManagerTest, FilesFromWindowsEditorsLoad) {
  // Notepad and PowerShell start UTF-8 text with a byte order mark, and end lines with CR LF.
  ConfigurationManager config;
  config.loadFile(writeFile("section.ini", "\xEF\xBB\xBF[TarvoLogger]\r\nPort=5000\r\n"));
  config.loadFile(writeFile("key.ini", "\xEF\xBB\xBFVarPath=/x\n"));
  std::string value;
  EXPECT_EQ(0, config.getValue("TarvoLogger/Port", value));
  EXPECT_EQ("5000", value);
  EXPECT_EQ(0, config.getValue("VarPath", value)) << "the mark is not part of the first key";
  EXPECT_EQ("/x", value);

  // Lines are still counted from the first, and UTF-16 text is named as such.
  const std::string bad = writeFile("bad.ini", "\xEF\xBB\xBF[A]\nx=1\nnot ini\n");
  const std::string wide = writeFile("wide.ini", "\xFF\xFE[");
  const std::pair<std::string, std::string> cases[] = {{bad, bad + " line 3"}, {wide, "UTF-16"}};
  for (const auto& c : cases) {
    try {
      config.loadFile(c.first);
      ADD_FAILURE() << c.first << " loaded";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string::npos, std::string(e.what()).find(c.second)) << e.what();
    }
  }
}

}  // namespace
