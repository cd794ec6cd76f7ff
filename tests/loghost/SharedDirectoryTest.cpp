// Several loghost processes writing one log directory, as every program on a machine that loads
// the plug-in does by default.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <fstream>
#include <memory>
#include <sstream>

#include "tests/support/SequenceChecker.h"
#include "tests/support/Subprocess.h"

namespace {

TEST(SharedDirectoryTest, ProcessesRotatingTheFilesTogetherLoseNoLine) {
  // Four processes write 5000 lines to each file, about 73 bytes each there: 1.4 MiB per file,
  // so each 1 MiB file is rotated once and all its lines fit in it and one ".old". Batches of four
  // lines keep the processes' appends and rotation tests interleaved. A lost generation shows only
  // when processes meet at the rotation, so the run is made three times.
#ifdef _WIN32
  // Windows appends each write whole at the end of the file; Wine does not keep several
  // processes' appends apart, and loses lines with no rotation at all.
  if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version")) {
    GTEST_SKIP() << "Wine overwrites lines that processes append at the same time";
  }
#endif
  constexpr int kProcesses = 4;
  constexpr int kLines = 5000;
  constexpr int kRounds = 3;
  testsupport::TempDir dir;
  for (int p = 0; p < kProcesses; ++p) {
    std::ofstream out(dir.file("in" + std::to_string(p)), std::ios::binary);
    for (int i = 0; i < kLines; ++i) {
      out << testsupport::numberedLine(p, i) << '\n'
          << testsupport::numberedLine(p, i) << "\v\v\vnet_interface\n";
    }
  }
  for (int round = 0; round < kRounds; ++round) {
    const std::string logs = dir.file("logs" + std::to_string(round));
    std::vector<std::unique_ptr<testsupport::Subprocess>> hosts;
    for (int p = 0; p < kProcesses; ++p) {
      hosts.emplace_back(new testsupport::Subprocess(
          LOGHOST, {"-P", "TarvoLogger/StorageFormat=file", "-P", "TarvoLogger/MaxFileSize=1", "-P",
                    "TarvoLogger/BufferSize=4", "-H", "Directories/VarPath=" + logs,
                    dir.file("in" + std::to_string(p))}));
    }
    for (auto& host : hosts) ASSERT_EQ(0, host->wait()) << host->err();

    for (const std::string name : {"/tarvolog.log", "/tarvo_interfaces.log"}) {
      // The older generation first: a process's earlier lines are there, its later ones in the
      // current file.
      const std::string old = testsupport::readFile(logs + name + ".old");
      ASSERT_FALSE(old.empty()) << name << " was never rotated: the round proves nothing";
      testsupport::SequenceChecker checker;
      for (const std::string& text : {old, testsupport::readFile(logs + name)}) {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) checker.feed(line);
      }
      std::map<int, std::uint64_t> expected;
      for (int p = 0; p < kProcesses; ++p) expected[p] = kLines;
      EXPECT_EQ(std::uint64_t{kProcesses * kLines}, checker.seen()) << name << " round " << round;
      EXPECT_EQ(0u, checker.missing(expected)) << name << " round " << round;
      EXPECT_EQ(0u, checker.outOfOrder()) << name << " round " << round;
      EXPECT_EQ(0u, checker.foreign()) << name << " round " << round;
    }
  }
}

}  // namespace
