#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <atomic>
#include <boost/filesystem.hpp>
#include <fstream>
#include <thread>

#include "logger/media/DiskMedia.h"
#include "logger/media/MediaKeys.h"
#include "platform/AppendFile.h"
#include "platform/FileLock.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = boost::filesystem;
using testsupport::hostConfig;
using testsupport::pluginConfig;
using testsupport::readFile;

const std::string VT = "\x0b";

std::string line(const std::string& message, const std::string& source = "core",
                 const std::string& level = "INFO") {
  return "2026-12-07 10:00:00" + VT + "T1" + VT + level + VT + source + VT + message + VT + "d";
}

std::string formOf(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) {
    LogRecord(l).appendLineForm(text);
    text += AppendFile::kLineEnd;  // "\r\n" on Windows
  }
  return text;
}

class DiskMediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    logs = dir.file("logs");
    hostConfig().setValue("Directories/VarPath", logs);
  }
  std::string mainLog() const { return logs + "/tarvolog.log"; }
  std::string interfacesLog() const { return logs + "/tarvo_interfaces.log"; }

  testsupport::CleanConfig config;
  testsupport::TempDir dir;
  std::string logs;
};

TEST_F(DiskMediaTest, RoutesBySourceAndFlushesOnTheBufferSizeThRecord) {
  pluginConfig().setValue("TarvoLogger/BufferSize", "8");
  DiskMedia media;
  const std::vector<std::string> toInterfaces = {
      line("1", "_interface_x"), line("2", "net_interface"), line("3", "a_interfaceb")};
  const std::vector<std::string> toMain = {line("4", "net_Interface"), line("5", "netinterface"),
                                           "a line without any tab", line("6", "core"),
                                           "t" + VT + "_interface" + VT + "INFO" + VT + "core"};
  std::vector<std::string> all = toInterfaces;
  all.insert(all.end(), toMain.begin(), toMain.end());
  for (std::size_t i = 0; i + 1 < all.size(); ++i) media.write(all[i]);
  EXPECT_FALSE(fs::exists(logs)) << "seven records stay buffered, and no directory is made early";
  media.write(all.back());
  EXPECT_EQ(formOf(toMain), readFile(mainLog()));
  EXPECT_EQ(formOf(toInterfaces), readFile(interfacesLog()));
  EXPECT_EQ("Storage Format is File Media", media.getRawData());
}

TEST_F(DiskMediaTest, ErrorFlushesAtOnceOnlyWhenExact) {
  DiskMedia media;
  media.write(line("a", "core", "error"));
  media.write(line("b", "x_interface", "ERROR "));
  media.write(line("c", "core", "Error"));
  EXPECT_FALSE(fs::exists(mainLog()));
  media.write(line("d", "core", "ERROR"));
  EXPECT_EQ(
      formOf({line("a", "core", "error"), line("c", "core", "Error"), line("d", "core", "ERROR")}),
      readFile(mainLog()));
  EXPECT_EQ(formOf({line("b", "x_interface", "ERROR ")}), readFile(interfacesLog()));

  // An ERROR record first of all still flushes both lists, creating an empty interfaces file.
  testsupport::TempDir other;
  hostConfig().setValue("Directories/VarPath", other.str());
  DiskMedia fresh;
  fresh.write(line("first", "core", "ERROR"));
  EXPECT_EQ(formOf({line("first", "core", "ERROR")}), readFile(other.file("tarvolog.log")));
  EXPECT_TRUE(fs::exists(other.file("tarvo_interfaces.log")));
  EXPECT_EQ(0u, fs::file_size(other.file("tarvo_interfaces.log")));
}

TEST_F(DiskMediaTest, BufferSizesZeroAndOneFlushEveryWriteAndBadValuesKeep100) {
  for (const char* value : {"0", "1"}) {
    testsupport::TempDir theDir;
    hostConfig().setValue("Directories/VarPath", theDir.str());
    pluginConfig().setValue("TarvoLogger/BufferSize", value);
    DiskMedia media;
    media.write(line("one"));
    EXPECT_EQ(formOf({line("one")}), readFile(theDir.file("tarvolog.log"))) << value;
    media.write(line("two"));
    EXPECT_EQ(formOf({line("one"), line("two")}), readFile(theDir.file("tarvolog.log"))) << value;
  }
  for (const char* value : {" 50", "50 ", "0x10", "", "4294967296", "-1", "abc"}) {
    testsupport::TempDir theDir;
    hostConfig().setValue("Directories/VarPath", theDir.str());
    pluginConfig().setValue("TarvoLogger/BufferSize", value);
    pluginConfig().setValue("TarvoLogger/MaxFileSize", value);
    DiskMedia media;
    for (int i = 0; i < 99; ++i) media.write(line(std::to_string(i)));
    EXPECT_FALSE(fs::exists(theDir.file("tarvolog.log"))) << '"' << value << '"';
    media.write(line("100th"));
    EXPECT_TRUE(fs::exists(theDir.file("tarvolog.log"))) << '"' << value << '"';
  }
}

TEST_F(DiskMediaTest, FilesHoldExactlyTheRecordsOfEveryFlushAndNothingIsWrittenWithoutOne) {
  pluginConfig().setValue("TarvoLogger/BufferSize", "3");
  std::vector<std::string> written;
  {
    DiskMedia media;
    for (int i = 0; i < 7; ++i) {
      written.push_back(line("message " + std::to_string(i)));
      media.write(written.back());
    }
    media.flush();  // the seventh record
    media.flush();  // nothing more; the files stay as they are
    media.write(line("buffered, never flushed"));
  }
  EXPECT_EQ(formOf(written), readFile(mainLog()));
  EXPECT_EQ("", readFile(interfacesLog()));
}

// The clock is driven: flushDue() is given its now, so the test decides when the bound has passed.
TEST_F(DiskMediaTest, FlushSecondsWritesRecordsOnceTheOldestHasWaitedThatLong) {
  using Clock = IStorageMedia::Clock;
  const Clock::time_point never = Clock::time_point::max();
  const Clock::time_point t0 = Clock::now();
  const std::chrono::seconds second(1);
  pluginConfig().setValue("TarvoLogger/FlushSeconds", "1");
  DiskMedia media;
  EXPECT_EQ(second, media.flushBound());
  EXPECT_EQ(never, media.flushDue(t0 + std::chrono::hours(1)));
  EXPECT_FALSE(fs::exists(logs)) << "nothing buffered, nothing opened";

  media.write(line("a"));
  EXPECT_EQ(t0 + second, media.flushDue(t0));
  media.write(line("b", "x_interface"));
  EXPECT_EQ(t0 + second, media.flushDue(t0 + std::chrono::milliseconds(999)))
      << "timed from the oldest record, not the newest";
  EXPECT_FALSE(fs::exists(logs));
  EXPECT_EQ(never, media.flushDue(t0 + second));
  EXPECT_EQ(formOf({line("a")}), readFile(mainLog()));
  EXPECT_EQ(formOf({line("b", "x_interface")}), readFile(interfacesLog()));

  // Records after a flush, here an ERROR's, are timed from the first call that finds them.
  const Clock::time_point t1 = t0 + 5 * second;
  media.write(line("c"));
  EXPECT_EQ(t1 + second, media.flushDue(t1));
  media.write(line("d", "core", "ERROR"));
  media.write(line("e"));
  EXPECT_EQ(t1 + 2 * second, media.flushDue(t1 + second));
  EXPECT_EQ(formOf({line("a"), line("c"), line("d", "core", "ERROR")}), readFile(mainLog()));
  EXPECT_EQ(never, media.flushDue(t1 + 2 * second));
  EXPECT_EQ(formOf({line("a"), line("c"), line("d", "core", "ERROR"), line("e")}),
            readFile(mainLog()));

  // A flush that fails is tried again a bound later, not at every call.
  fs::remove_all(logs);
  std::ofstream(logs) << "a file where the directory belongs";
  const Clock::time_point t2 = t0 + 10 * second;
  media.write(line("f"));
  EXPECT_EQ(t2 + second, media.flushDue(t2));
  EXPECT_THROW(media.flushDue(t2 + second), std::runtime_error);
  fs::remove(logs);
  EXPECT_EQ(t2 + 2 * second, media.flushDue(t2 + std::chrono::milliseconds(1500)));
  EXPECT_FALSE(fs::exists(logs));
  EXPECT_EQ(never, media.flushDue(t2 + 2 * second));
  EXPECT_EQ(formOf({line("f")}), readFile(mainLog()));
}

TEST_F(DiskMediaTest, WithoutAUsableFlushSecondsTheBatchesStayAsTheyWere) {
  for (const char* value : {static_cast<const char*>(nullptr), "0", "abc", "", "-1"}) {
    testsupport::TempDir theDir;
    hostConfig().setValue("Directories/VarPath", theDir.str());
    if (value) pluginConfig().setValue("TarvoLogger/FlushSeconds", value);
    DiskMedia media;
    EXPECT_EQ(0, media.flushBound().count()) << (value ? value : "(missing)");
    media.write(line("held"));
    const auto later = IStorageMedia::Clock::now() + std::chrono::hours(24);
    EXPECT_EQ(IStorageMedia::Clock::time_point::max(), media.flushDue(later));
    EXPECT_FALSE(fs::exists(theDir.file("tarvolog.log"))) << (value ? value : "(missing)");
  }
}

// Creates a file of the given size, sparse where the filesystem allows.
void makeFile(const std::string& path, std::uint64_t size) {
  std::ofstream(path).close();
  fs::resize_file(path, size);
}

TEST_F(DiskMediaTest, ADirectoryOrFileRemovedBetweenFlushesIsMadeAgain) {
  pluginConfig().setValue("TarvoLogger/BufferSize", "2");
  DiskMedia media;
  media.write(line("1"));
  media.write(line("2", "x_interface"));
  fs::remove_all(logs);
  media.write(line("3"));
  media.write(line("4", "x_interface"));
  EXPECT_EQ(formOf({line("3")}), readFile(mainLog()));
  EXPECT_EQ(formOf({line("4", "x_interface")}), readFile(interfacesLog()));
  fs::remove(mainLog());
  media.write(line("5"));
  media.write(line("6"));
  EXPECT_EQ(formOf({line("5"), line("6")}), readFile(mainLog()));
}

TEST_F(DiskMediaTest, RotatesFilesStrictlyLargerThanTheLimit) {
  fs::create_directory(logs);
  pluginConfig().setValue("TarvoLogger/MaxFileSize", "1");
  {
    makeFile(mainLog(), 1048576);
    DiskMedia media;
    media.flush();
    EXPECT_FALSE(fs::exists(mainLog() + ".old")) << "exactly the limit is not rotated";
    makeFile(mainLog(), 1048577);
    media.flush();
    EXPECT_EQ(1048577u, fs::file_size(mainLog() + ".old"));
    EXPECT_EQ(0u, fs::file_size(mainLog()));
  }
  {
    // 64-bit arithmetic: a 4096 MiB limit does not wrap to zero, a file over 4 GiB is compared by
    // its true size.
    pluginConfig().setValue("TarvoLogger/MaxFileSize", "4096");
    makeFile(interfacesLog(), 100);
    DiskMedia media;
    media.flush();
    EXPECT_FALSE(fs::exists(interfacesLog() + ".old"));
    pluginConfig().setValue("TarvoLogger/MaxFileSize", "10");
    makeFile(interfacesLog(), (std::uint64_t{1} << 32) + 1);
    DiskMedia small;
    small.flush();
    EXPECT_TRUE(fs::exists(interfacesLog() + ".old"));
    fs::remove(interfacesLog() + ".old");
  }
  {
    // With 0 every non-empty file rotates at every flush, and only the newest .old survives.
    pluginConfig().setValue("TarvoLogger/MaxFileSize", "0");
    pluginConfig().setValue("TarvoLogger/BufferSize", "1");
    fs::remove(mainLog());
    fs::remove(mainLog() + ".old");
    DiskMedia media;
    media.write(line("first"));   // creates the file
    media.write(line("second"));  // rotates "first" away
    media.write(line("third"));   // rotates "second" away, replacing the old copy
    EXPECT_EQ(formOf({line("second")}), readFile(mainLog() + ".old"));
    EXPECT_EQ(formOf({line("third")}), readFile(mainLog()));
    EXPECT_FALSE(fs::exists(interfacesLog() + ".old")) << "an empty file is never rotated";
  }
}

TEST_F(DiskMediaTest, RotationWaitsForTheLockAndWithoutItTheRecordsAreAppendedUnrotated) {
  fs::create_directory(logs);
  pluginConfig().setValue("TarvoLogger/MaxFileSize", "1");
  makeFile(mainLog(), 1048577);
  makeFile(interfacesLog(), 1048577);
  // Another holder of the main file's lock (a FileLock excludes others in its own process too),
  // and a lock file for the interfaces file that cannot be opened at all.
  FileLock other;
  ASSERT_FALSE(other.lock(mainLog() + MediaKeys::kLockSuffix, std::chrono::milliseconds(0)));
  fs::create_directory(interfacesLog() + MediaKeys::kLockSuffix);
  DiskMedia media;
  media.write(line("1"));
  media.write(line("2", "x_interface"));
  try {
    media.flush();
    FAIL() << "a rotation without its lock must be reported";
  } catch (const std::runtime_error& e) {
    const std::string what = e.what();
    EXPECT_NE(std::string::npos, what.find("cannot lock " + mainLog() + ".lock")) << what;
    EXPECT_NE(std::string::npos, what.find("cannot lock " + interfacesLog() + ".lock")) << what;
  }
  EXPECT_FALSE(fs::exists(mainLog() + ".old")) << "rotated under another holder's lock";
  EXPECT_FALSE(fs::exists(interfacesLog() + ".old"));
  EXPECT_EQ(1048577 + formOf({line("1")}).size(), fs::file_size(mainLog()));
  EXPECT_EQ(1048577 + formOf({line("2", "x_interface")}).size(), fs::file_size(interfacesLog()));
  EXPECT_EQ(0u, media.lostLines());

  // Once the lock is free the next flush rotates, with the records appended meanwhile.
  other.unlock();
  fs::remove(interfacesLog() + MediaKeys::kLockSuffix);
  media.write(line("3"));
  media.flush();
  EXPECT_EQ(1048577 + formOf({line("1")}).size(), fs::file_size(mainLog() + ".old"));
  EXPECT_EQ(formOf({line("3")}), readFile(mainLog()));
  EXPECT_TRUE(fs::exists(interfacesLog() + ".old"));
}

TEST_F(DiskMediaTest, AFullDiskKeepsRecordsUntilTheyCanBeWrittenOnce) {
#ifdef _WIN32
  GTEST_SKIP() << "needs /dev/full, a device that is always full (POSIX systems)";
#endif
  fs::create_directory(logs);
  fs::create_symlink("/dev/full", mainLog());
  pluginConfig().setValue("TarvoLogger/BufferSize", "2");
  DiskMedia media;
  media.write(line("1"));
  try {
    media.write(line("2"));
    FAIL() << "a failed write must be reported";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find(mainLog())) << e.what();
    EXPECT_NE(std::string::npos, std::string(e.what()).find("No space left")) << e.what();
    EXPECT_NE(std::string::npos, std::string(e.what()).find("records kept for the next flush"))
        << e.what();
  }
  media.write(line("3"));  // the next try waits for bufferSize more records
  EXPECT_THROW(media.write(line("4")), std::runtime_error);

  fs::remove(mainLog());
  media.write(line("5"));
  media.write(line("6"));  // the retry writes everything, once each
  EXPECT_EQ(formOf({line("1"), line("2"), line("3"), line("4"), line("5"), line("6")}),
            readFile(mainLog()));
}

TEST_F(DiskMediaTest, AnUnwritableDirectoryKeepsRecordsAndReportsTheCause) {
  // The directory's parent is missing: creating it fails, both lists keep their records.
  const std::string parent = dir.file("missing");
  hostConfig().setValue("Directories/VarPath", parent + "/logs");
  DiskMedia media;
  media.write(line("main"));
  media.write(line("iface", "x_interface"));
  try {
    media.flush();
    FAIL() << "a directory that cannot be made must be reported";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find(parent)) << e.what();
    EXPECT_NE(std::string::npos, std::string(e.what()).find("(set Directories/VarPath"))
        << e.what();
  }
  fs::create_directory(parent);
  media.flush();
  EXPECT_EQ(formOf({line("main")}), readFile(parent + "/logs/tarvolog.log"));
  EXPECT_EQ(formOf({line("iface", "x_interface")}),
            readFile(parent + "/logs/tarvo_interfaces.log"));

  // The directory's path is a regular file: the log files cannot be opened.
  const std::string file = dir.file("plainfile");
  std::ofstream(file) << "x";
  hostConfig().setValue("Directories/VarPath", file);
  DiskMedia blocked;
  blocked.write(line("kept"));
  try {
    blocked.flush();
    FAIL() << "an unopenable file must be reported";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find(file + "/tarvolog.log")) << e.what();
    EXPECT_NE(std::string::npos, std::string(e.what()).find("records kept for the next flush"))
        << e.what();
  }
  fs::remove(file);
  fs::create_directory(file);
  blocked.flush();
  EXPECT_EQ(formOf({line("kept")}), readFile(file + "/tarvolog.log"));
}

TEST_F(DiskMediaTest, AFailedRotationKeepsTheRecordsAndHoldsBackNeitherFile) {
  pluginConfig().setValue("TarvoLogger/MaxFileSize", "0");
  DiskMedia media;
  media.write(line("first", "core", "ERROR"));
  fs::create_directories(mainLog() + ".old/blocker");  // a non-empty directory in the way
  media.write(line("second"));
  media.write(line("iface", "x_interface"));
  try {
    media.flush();
    FAIL() << "a failed rotation must be reported";
  } catch (const fs::filesystem_error& e) {
    EXPECT_NE(std::string::npos, std::string(e.what()).find(mainLog() + ".old")) << e.what();
  }
  EXPECT_EQ(formOf({line("first", "core", "ERROR")}), readFile(mainLog()));
  EXPECT_EQ(formOf({line("iface", "x_interface")}), readFile(interfacesLog()))
      << "the interfaces file is written although the main file could not be rotated";
  fs::remove_all(mainLog() + ".old");
  media.flush();
  EXPECT_EQ(formOf({line("first", "core", "ERROR")}), readFile(mainLog() + ".old"));
  EXPECT_EQ(formOf({line("second")}), readFile(mainLog()));
}

TEST_F(DiskMediaTest, RetentionIsBoundedAndDropsAreReported) {
#ifdef _WIN32
  GTEST_SKIP() << "needs /dev/full, a device that is always full (POSIX systems)";
#endif
  fs::create_directory(logs);
  fs::create_symlink("/dev/full", mainLog());
  pluginConfig().setValue("TarvoLogger/BufferSize", "1000");
  const std::size_t total = DiskMedia::kRetainedRecords + 5000;
  DiskMedia media;
  std::uint64_t reportedDrops = 0;
  for (std::size_t i = 0; i < total; ++i) {
    try {
      media.write(line(std::to_string(i)));
    } catch (const std::runtime_error& e) {
      std::string what = e.what();
      auto at = what.find("dropped the ");
      if (at != std::string::npos) reportedDrops += std::stoull(what.substr(at + 12));
    }
  }
  ASSERT_GT(reportedDrops, 0u);
  fs::remove(mainLog());
  media.flush();
  // What is kept is the newest records, and everything is accounted for.
  std::string text = readFile(mainLog());
  std::size_t kept = std::count(text.begin(), text.end(), '\n');
  EXPECT_LE(kept, DiskMedia::kRetainedRecords);
  EXPECT_EQ(total, kept + reportedDrops);
  EXPECT_EQ(formOf({line(std::to_string(total - 1))}),
            text.substr(text.size() - formOf({line(std::to_string(total - 1))}).size()));
}

TEST_F(DiskMediaTest, VarPathMissingMeansCLogsAndEmptyIsUsedAsItIs) {
  hostConfig().removeValue("Directories/VarPath");
#ifdef _WIN32
  // The real C:/Logs, which the medium makes when it is missing.
  fs::remove_all("C:/Logs");
  {
    DiskMedia media;
    media.write(line("x", "core", "ERROR"));
  }
  EXPECT_EQ(formOf({line("x", "core", "ERROR")}), readFile("C:/Logs/tarvolog.log"));
  fs::remove_all("C:/Logs");
#else
  char* previous = ::getcwd(nullptr, 0);
  ASSERT_EQ(0, ::chdir(dir.str().c_str()));
  fs::create_directory("C:");
  {
    DiskMedia media;
    media.write(line("x", "core", "ERROR"));
  }
  EXPECT_EQ(formOf({line("x", "core", "ERROR")}), readFile(dir.file("C:/Logs/tarvolog.log")));
  ASSERT_EQ(0, ::chdir(previous));
  free(previous);
#endif

  // An empty value is a directory of its own (the empty path), which never exists.
  hostConfig().setValue("Directories/VarPath", "");
  DiskMedia empty;
  empty.write(line("y"));
  EXPECT_THROW(empty.flush(), std::runtime_error);
}

#ifndef _WIN32
// Runs media.flush() on a thread of its own; false when it is still running after a generous
// deadline, in which case the FIFO is read until the flush returns, so that the test can end.
bool flushReturns(DiskMedia& media, const std::string& fifo, std::string& error) {
  std::atomic<bool> done{false};
  std::thread flusher([&] {
    try {
      media.flush();
    } catch (const std::exception& e) {
      error = e.what();
    }
    done = true;
  });
  const bool returned = testsupport::waitFor([&] { return done.load(); });
  if (!returned) {
    int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    char buffer[4096];
    testsupport::waitFor([&] {
      while (::read(fd, buffer, sizeof buffer) > 0) {
      }
      return done.load();
    });
    ::close(fd);
  }
  flusher.join();
  return returned;
}
#endif

TEST_F(DiskMediaTest, ALogPathThatIsNotARegularFileNeverBlocksAndKeepsItsRecords) {
#ifdef _WIN32
  GTEST_SKIP() << "needs FIFOs in the file system (mkfifo, POSIX systems)";
#else
  fs::create_directory(logs);
  ASSERT_EQ(0, ::mkfifo(mainLog().c_str(), 0600));
  DiskMedia media;
  media.write(line("kept"));
  media.write(line("iface", "x_interface"));
  std::string error;
  EXPECT_TRUE(flushReturns(media, mainLog(), error)) << "a flush waited for a reader";
  EXPECT_NE(std::string::npos, error.find(mainLog())) << error;
  EXPECT_EQ(formOf({line("iface", "x_interface")}), readFile(interfacesLog()));

  // With a reader the FIFO is refused as well: nothing reaches it.
  int reader = ::open(mainLog().c_str(), O_RDONLY | O_NONBLOCK);
  EXPECT_THROW(media.flush(), std::runtime_error);
  char buffer[4096];
  EXPECT_GE(0, ::read(reader, buffer, sizeof buffer)) << "records were written into the FIFO";
  ::close(reader);

  fs::remove(mainLog());
  media.flush();
  EXPECT_EQ(formOf({line("kept")}), readFile(mainLog()));

  // A FIFO where the directory should be.
  const std::string fifoDir = dir.file("fifo-dir");
  ASSERT_EQ(0, ::mkfifo(fifoDir.c_str(), 0600));
  hostConfig().setValue("Directories/VarPath", fifoDir);
  DiskMedia misplaced;
  misplaced.write(line("nowhere"));
  EXPECT_TRUE(flushReturns(misplaced, fifoDir, error)) << "a flush waited on the directory";
  EXPECT_NE(std::string::npos, error.find(fifoDir)) << error;
#endif
}

TEST_F(DiskMediaTest, LineFeedsInsideAFieldEndLinesAsTheFileDoes) {
  // As a text-mode stream writes them: "\r\n" on Windows, unchanged elsewhere. The first record
  // outgrows the room reserved for its line form.
  auto asWritten = [](const std::string& l) {
    std::string form, text;
    LogRecord(l).appendLineForm(form);
    for (char c : form) c == '\n' ? text += AppendFile::kLineEnd : text += c;
    return text + AppendFile::kLineEnd;
  };
  const std::vector<std::string> lines = {
      line(std::string(40, '\n')), line("two\nlines"), line("plain"),
      "field\none" + VT + "T1" + VT + "INFO" + VT + "core" + VT + "cr lf\r\n" + VT + "end\n"};
  fs::create_directories(mainLog());  // the first flush fails: the records wait in their list
  DiskMedia media;
  for (const auto& l : lines) media.write(l);
  EXPECT_THROW(media.flush(), std::runtime_error);
  fs::remove(mainLog());
  media.flush();
  std::string expected;
  for (const auto& l : lines) expected += asWritten(l);
  EXPECT_EQ(expected, readFile(mainLog()));
}

TEST_F(DiskMediaTest, TheLargestBufferSizeReservesNothingUpFront) {
  pluginConfig().setValue("TarvoLogger/BufferSize", "4294967295");
  DiskMedia media;
  media.write(line("1"));
  media.write(line("2", "x_interface"));
  EXPECT_FALSE(fs::exists(logs));
  media.write(line("3", "core", "ERROR"));
  EXPECT_EQ(formOf({line("1"), line("3", "core", "ERROR")}), readFile(mainLog()));
  EXPECT_EQ(formOf({line("2", "x_interface")}), readFile(interfacesLog()));
}

TEST_F(DiskMediaTest, RecordsStillBufferedAtDestructionAreReportedLostWithPathAndCause) {
  fs::create_directories(mainLog());  // a directory cannot be opened as the main log file
  {
    DiskMedia media;
    for (int i = 0; i < 3; ++i) media.write(line(std::to_string(i)));
    media.write(line("iface", "x_interface"));
    EXPECT_THROW(media.flush(), std::runtime_error);
    testing::internal::CaptureStderr();
  }
  const std::string err = testing::internal::GetCapturedStderr();
#ifdef _WIN32
  const std::string cause = "Permission denied";  // what Windows says of opening a folder
#else
  const std::string cause = "Is a directory";
#endif
  EXPECT_EQ("TarvoLogger: 3 records lost: " + mainLog() + " could not be written (cannot open " +
                mainLog() + ": " + cause + ")\n",
            err);
  EXPECT_EQ(formOf({line("iface", "x_interface")}), readFile(interfacesLog()));
}

}  // namespace
