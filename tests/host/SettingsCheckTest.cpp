#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <fstream>

#include "host/SettingsCheck.h"
#include "logger/host/ConfigurationManager.h"

namespace {

// Two scopes as the logger leaves them: the keys its medium asked for, present or not.
struct Scopes {
  explicit Scopes(const char* format) {
    if (format) plugin.setValue("TarvoLogger/StorageFormat", format);
    std::string ignored;
    plugin.getValue("TarvoLogger/StorageFormat", ignored);
    const std::string f = format ? format : "";
    if (f == "file") {
      host.setValue("Directories/VarPath", ::testing::TempDir());  // a folder that can be written
      host.getValue("Directories/VarPath", ignored);
      plugin.getValue("TarvoLogger/MaxFileSize", ignored);
      plugin.getValue("TarvoLogger/BufferSize", ignored);
      plugin.getValue("TarvoLogger/FlushSeconds", ignored);
    } else if (f == "udp") {
      plugin.getValue("TarvoLogger/Ip", ignored);
      plugin.getValue("TarvoLogger/Port", ignored);
    } else if (f != "console") {  // the console reads no key of its own
      plugin.getValue("TarvoLogger/BufferSize", ignored);
    }
  }
  std::vector<std::string> warnings() { return SettingsCheck(host, plugin).warnings(); }
  ConfigurationManager host, plugin;
};

TEST(SettingsCheckTest, NamesWhatIsNotReadOrNotTakenAndNothingElse) {
  {
    Scopes all("file");
    all.host.setValue("Directories/VarPath", ::testing::TempDir() + "app");
    all.plugin.setValue("TarvoLogger/BufferSize", "+5");
    all.plugin.setValue("TarvoLogger/MaxFileSize", "4096");
    all.plugin.setValue("TarvoLogger/FlushSeconds", "+1");
    EXPECT_TRUE(all.warnings().empty()) << all.warnings().front();
    Scopes console("console");
    EXPECT_TRUE(console.warnings().empty()) << console.warnings().front();
  }
  struct Case {
    const char* format;
    bool hostScope;
    const char* key;
    const char* value;
    const char* warning;
  };
  const Case cases[] = {
      {"file", false, "TarvoLogger/StorageFomat", "file",
       "plug-in key TarvoLogger/StorageFomat=\"file\" is not read by anything (did you mean "
       "TarvoLogger/StorageFormat?)"},
      {"file", false, "TarvoLogger/buffersize", "5", "(did you mean TarvoLogger/BufferSize?)"},
      {"file", false, "StorageFormat", "file", "(did you mean TarvoLogger/StorageFormat?)"},
      {"file", true, "TarvoLogger/BufferSize", "5",
       "host key TarvoLogger/BufferSize=\"5\" is not read: it is a plug-in key, give it with -P"},
      {"file", false, "Directories/VarPath", "/x",
       "plug-in key Directories/VarPath=\"/x\" is not read: it is a host key, give it with -H"},
      {"file", true, "Directories/VarPth", "/x", "(did you mean Directories/VarPath?)"},
      {"udp", false, "TarvoLogger/MaxFileSize", "3",
       "only the file medium reads it, and StorageFormat is \"udp\""},
      {"console", false, "TarvoLogger/BufferSize", "70000",
       "plug-in key TarvoLogger/BufferSize=\"70000\" is not read: only the ring and the file "
       "medium reads it, and StorageFormat is \"console\""},
      {"udp", false, "Something/Else", "\x01",
       "Something/Else=\"\\x01\" is not read by anything: "
       "it has no effect"},
      {"File", false, nullptr, nullptr,
       "TarvoLogger/StorageFormat=\"File\" is none of udp, file, circular, console: the "
       "in-memory ring is used instead"},
      {"Console", false, nullptr, nullptr, "\"Console\" is none of"},
      {"file ; keep on disk", false, nullptr, nullptr,
       "is none of udp, file, circular, console: the in-memory ring is used instead (an INI "
       "comment after a value is read as part of the value"},
      {"udp", false, "TarvoLogger/Port", "70000",
       "TarvoLogger/Port=\"70000\" is not a whole number from 0 to 65535: 4444 is used instead"},
      {"circular", false, "TarvoLogger/BufferSize", "70000",
       "TarvoLogger/BufferSize=\"70000\" is not a whole number from 0 to 65535: 20 is used"},
      {"file", false, "TarvoLogger/BufferSize", "-1",
       "TarvoLogger/BufferSize=\"-1\" is not a whole number from 0 to 4294967295: 100 is used"},
      {"file", false, "TarvoLogger/FlushSeconds", "0",
       "TarvoLogger/FlushSeconds=\"0\" is not a whole number from 1 to 4294967295: records wait "
       "for a full batch instead"},
      {"file", false, "TarvoLogger/FlushSeconds", "abc",
       "TarvoLogger/FlushSeconds=\"abc\" is not a whole number from 1"},
      {"circular", false, "TarvoLogger/FlushSeconds", "1",
       "only the file medium reads it, and StorageFormat is \"circular\""},
  };
  for (const Case& c : cases) {
    Scopes scopes(c.format);
    if (c.key) (c.hostScope ? scopes.host : scopes.plugin).setValue(c.key, c.value);
    auto warnings = scopes.warnings();
    ASSERT_EQ(1u, warnings.size()) << (c.key ? c.key : c.format);
    EXPECT_NE(std::string::npos, warnings[0].find(c.warning)) << warnings[0];
  }
  Scopes fine("file");
  fine.plugin.setValue("TarvoLogger/BufferSize", "70000");
  EXPECT_TRUE(fine.warnings().empty()) << "the files take 32-bit batch sizes";
}

TEST(SettingsCheckTest, KeysAndValuesReachTheTerminalEscapedAndCut) {
  struct Case {
    std::string key, value, warning;
  };
  const std::string megabytes(10 << 20, 'v');
  const std::string accented = std::string(99, 'a') + "\xC3\xA9 and more";
  const Case cases[] = {
      {"Some\x1b[2JKey\r", "v\x1b", "plug-in key Some\\x1b[2JKey\\x0d=\"v\\x1b\" is not read"},
      {"Something/Else", megabytes,
       "Something/Else=\"" + std::string(100, 'v') + "\"... (10485760 bytes) is not read"},
      {std::string(5000, 'k'), "v", "key " + std::string(100, 'k') + "... (5000 bytes)=\"v\""},
      // Not inside a character: the two bytes of the e with an accent stay together or go.
      {"Something/Else", accented,
       "=\"" + std::string(99, 'a') + "\"... (" + std::to_string(accented.size()) + " bytes)"},
  };
  for (const Case& c : cases) {
    Scopes scopes("udp");
    scopes.plugin.setValue(c.key, c.value);
    const auto warnings = scopes.warnings();
    ASSERT_EQ(1u, warnings.size());
    EXPECT_NE(std::string::npos, warnings[0].find(c.warning)) << warnings[0].substr(0, 400);
    EXPECT_LT(warnings[0].size(), 400u);
  }
}

}  // namespace

namespace {

// The file medium's folder as the check sees it, without creating anything: one that can be made
// (also written with a trailing slash) passes; one that cannot is named with the reason.
TEST(SettingsCheckTest, NamesALogFolderTheFilesCannotBeWrittenInto) {
  const std::string base = ::testing::TempDir() + "settings-check-folder";
  boost::filesystem::remove_all(base);
  boost::filesystem::create_directories(base);
  std::ofstream(base + "/file") << "x";
  std::vector<std::pair<std::string, std::string>> cases = {
      {base + "/new/", ""},
      {base + "/missing/new", "does not exist, nor does its parent"},
      {base + "/file", "is not a folder"},
      {"", "is empty"},
  };
#if !defined(_WIN32)  // links are a privilege there, and Wine's are not what they seem
  boost::filesystem::create_symlink(base + "/nothing", base + "/dangling");
  cases.emplace_back(base + "/dangling", "is a link to nothing");
#endif
  for (const auto& c : cases) {
    Scopes scopes("file");
    scopes.host.setValue("Directories/VarPath", c.first);
    const auto warnings = scopes.warnings();
    if (c.second.empty()) {
      EXPECT_TRUE(warnings.empty()) << c.first << ": " << warnings.front();
    } else {
      ASSERT_EQ(1u, warnings.size()) << c.first;
      EXPECT_NE(std::string::npos, warnings[0].find(c.second)) << warnings[0];
    }
  }
  EXPECT_FALSE(boost::filesystem::exists(base + "/new")) << "the check made the folder";
  boost::filesystem::remove_all(base);
}

}  // namespace
