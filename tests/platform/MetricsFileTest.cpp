#include <gtest/gtest.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/MetricsFile.h"
#include "tests/support/TestSupport.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using testsupport::readFile;

// The text a write of n counters of value gives, for comparing whole files.
std::string metricsOf(MetricsFile& file, int n, std::uint64_t value) {
  std::string expected;
  for (int i = 0; i < n; ++i) {
    const std::string name = "test_counter_" + std::to_string(i) + "_total";
    file.counter(name.c_str(), "A counter of the test.", value);
    expected += "# HELP " + name + " A counter of the test.\n# TYPE " + name + " counter\n" + name +
                " " + std::to_string(value) + "\n";
  }
  return expected;
}

TEST(MetricsFileTest, TwoWritersOfOnePathNeverShowAReaderAnEmptyOrTornFile) {
  testsupport::TempDir dir;
  const std::string path = dir.file("shared.prom");
  MetricsFile first(path), second(path);
  const std::string one = metricsOf(first, 200, 1111111111);
  ASSERT_FALSE(first.write());
  std::string two;
  {
    MetricsFile probe(dir.file("probe.prom"));
    two = metricsOf(probe, 200, 2222222222);
  }
  std::atomic<bool> done{false};
  std::atomic<int> failures{0}, reads{0}, bad{0}, unopened{0};
  auto writer = [&](MetricsFile& file, std::uint64_t value) {
    for (int n = 0; n < 500; ++n) {
      metricsOf(file, 200, value);
      if (file.write()) ++failures;
    }
  };
  std::thread reader([&] {
    while (!done) {
      // Windows refuses to open a file for a moment while a rename replaces it (the name is
      // pending deletion): a reader tries again. What it opens must still be whole.
      std::ifstream in(path, std::ios::binary);
      if (!in.is_open()) {
        ++unopened;
        continue;
      }
      std::ostringstream text;
      text << in.rdbuf();
      in.close();
      ++reads;
      if (text.str() != one && text.str() != two) ++bad;
#ifdef _WIN32
      // While the file is open a replacement waits, so a reader that never pauses could hold the
      // writers off for good; any real reader pauses between reads.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
#endif
    }
  });
  std::thread a(writer, std::ref(first), 1111111111), b(writer, std::ref(second), 2222222222);
  a.join();
  b.join();
  done = true;
  reader.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, bad.load()) << "of " << reads.load() << " reads";
#ifndef _WIN32
  EXPECT_EQ(0, unopened.load()) << "the path was missing while it was replaced";
#endif
  // No temporary file is left behind.
  std::size_t files = 0;
  for (boost::filesystem::directory_iterator it(dir.path()), end; it != end; ++it) ++files;
  EXPECT_EQ(1u, files);
}

#ifndef _WIN32
TEST(MetricsFileTest, APlantedLinkIsNeverFollowedAndTheModeIsTheUmasks) {
  testsupport::TempDir dir;
  const std::string path = dir.file("x.prom");
  const std::string target = dir.file("precious");
  std::ofstream(target) << "not to be overwritten\n";
  // A link where the old temporary name lay, and one at the path itself: both left or replaced,
  // the file they point to untouched.
  boost::filesystem::create_symlink(target, path + ".tmp");
  boost::filesystem::create_symlink(target, path);
  const mode_t before = ::umask(027);
  MetricsFile file(path);
  const std::string expected = metricsOf(file, 2, 7);
  const std::error_code error = file.write();
  ::umask(before);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ("not to be overwritten\n", readFile(target));
  EXPECT_FALSE(boost::filesystem::is_symlink(path));
  EXPECT_EQ(expected, readFile(path));
  struct stat status {};
  ASSERT_EQ(0, ::stat(path.c_str(), &status));
  EXPECT_EQ(0640u, status.st_mode & 0777u);

  // A folder that is not there: each cause is new once.
  MetricsFile nowhere(dir.file("missing/x.prom"));
  const std::error_code missing = nowhere.write();
  EXPECT_EQ(std::errc::no_such_file_or_directory, missing);
  EXPECT_TRUE(nowhere.isNewCause(missing));
  EXPECT_FALSE(nowhere.isNewCause(nowhere.write()));
  EXPECT_NE(std::string::npos, nowhere.describe(missing).find("missing/x.prom: No such file"));
  EXPECT_NE(std::string::npos, nowhere.describe(missing, true).find("this was the run's last"));
}
#endif

}  // namespace
