#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "platform/AppendFile.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::readFile;

TEST(AppendFileTest, AppendsExactBytesWithThePlatformsLineEndsAndTakesBackATail) {
  testsupport::TempDir dir;
  const std::string path = dir.file("log.txt");
  const std::string first = std::string("first") + AppendFile::kLineEnd;
  const std::string second = std::string("second") + AppendFile::kLineEnd;
  {
    AppendFile file;
    ASSERT_FALSE(file.open(path));
    EXPECT_EQ(AppendFile::Kind::kRegular, file.kind());
    EXPECT_EQ(0u, file.size());
    std::error_code error;
    EXPECT_EQ(first.size(), file.write(first.data(), first.size(), error));
    EXPECT_FALSE(error) << error.message();
  }
  // Opened again it appends, and knows its size; a tail taken back leaves the bytes before it.
  AppendFile file;
  ASSERT_FALSE(file.open(path));
  EXPECT_EQ(first.size(), file.size());
  std::error_code error;
  EXPECT_EQ(second.size(), file.write(second.data(), second.size(), error));
  EXPECT_EQ(first + second, readFile(path)) << "no line end translated or doubled";
  EXPECT_TRUE(file.takeBack(second.size()));
  file.close();
  EXPECT_EQ(first, readFile(path));
  EXPECT_EQ(AppendFile::kLineEndSize, std::string(AppendFile::kLineEnd).size());
}

TEST(AppendFileTest, FoldersFailTheOpenAndDevicesAreNoRegularFiles) {
  testsupport::TempDir dir;
  AppendFile file;
  EXPECT_TRUE(file.open(dir.str()));
  EXPECT_FALSE(file.isOpen());
  EXPECT_TRUE(file.open(dir.file("missing/log.txt")));

  // The null device of the platform: written as it is, never rotated by size.
  const std::string null = AppendFile::kLineEndSize == 2 ? "NUL" : "/dev/null";
  ASSERT_FALSE(file.open(null));
  EXPECT_EQ(AppendFile::Kind::kCharacterDevice, file.kind());
  EXPECT_FALSE(file.takeBack(1));
  std::error_code error;
  EXPECT_EQ(3u, file.write("abc", 3, error));
}

}  // namespace
