#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "platform/SharedLibrary.h"

namespace {

int aFunctionOfThisProgram() { return 1; }

TEST(SharedLibraryTest, TheProgramKnowsItsFolderAndTheFileOfItsCode) {
  const std::string folder = SharedLibrary::executableFolder();
  ASSERT_NE("", folder);
  EXPECT_TRUE(boost::filesystem::is_directory(folder)) << folder;
  const std::string self =
      SharedLibrary::pathOf(reinterpret_cast<const void*>(&aFunctionOfThisProgram));
  EXPECT_EQ(folder, self.substr(0, folder.size())) << self;
  EXPECT_NE(std::string::npos, self.find("platform_tests")) << self;

  std::string error;
  EXPECT_EQ(nullptr,
            SharedLibrary::open(folder + "no-such-library" + SharedLibrary::kSuffix, error));
  EXPECT_NE("", error);
}

}  // namespace
