// The console medium writing the process's real standard error, moved for each case to a file, a
// pseudo-terminal or a pipe nobody reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "logger/media/ConsoleMedia.h"
#include "tests/support/ReferenceLineForm.h"

#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>
#endif

namespace {

const std::string kInfoLine = "2026-12-07 10:00:01.250\vT1\vINFO\vauth\valice in\vpid=42";
const std::string kErrorLine = "10:00:02\vT2\vERROR\vdisk\vfull\v";
const std::string kOwnLevelLine = "10:00:03\vT3\vNOTICE\vx\va level of the program's own";

std::vector<const std::string*> pointers(const std::vector<std::string>& lines) {
  std::vector<const std::string*> out;
  for (const auto& line : lines) out.push_back(&line);
  return out;
}

// The whole text, the line form of each line and "\n", of a burst larger than one write.
TEST(ConsoleMediaTest, ShowsEachLineInLineFormWithoutColourOffATerminal) {
  std::vector<std::string> burst;
  std::string expected = testsupport::referenceLineForm(kInfoLine) + "\n";
  for (int i = 0; burst.size() * 80 < 3 * ConsoleMedia::kChunkBytes; ++i) {
    burst.push_back("10:00:04\vT4\vWARN\vbulk\vline " + std::to_string(i) + "\v");
    expected += testsupport::referenceLineForm(burst.back()) + "\n";
  }
  burst.push_back(kOwnLevelLine);
  expected += testsupport::referenceLineForm(kOwnLevelLine) + "\n";
  std::size_t failures = 0;
  testing::internal::CaptureStderr();
  {
    ConsoleMedia media;
    EXPECT_FALSE(media.showsColour());
    media.write(kInfoLine);
    media.writeBurst(pointers(burst), [&](const std::exception&) { ++failures; });
    media.flush();
    EXPECT_EQ(0u, media.lostLines());
    EXPECT_EQ("Storage Format is Console Media", media.getRawData());
  }
  const std::string shown = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0u, failures);
  EXPECT_EQ(expected.size(), shown.size());
  EXPECT_TRUE(expected == shown) << "the first bytes shown: " << shown.substr(0, 300);
}

#ifndef _WIN32
// Standard error moved to another descriptor for the life of the object, then put back.
class MovedStandardError {
 public:
  explicit MovedStandardError(int to) : saved(::dup(2)) { ::dup2(to, 2); }
  MovedStandardError(const MovedStandardError&) = delete;
  MovedStandardError& operator=(const MovedStandardError&) = delete;
  ~MovedStandardError() {
    ::dup2(saved, 2);
    ::close(saved);
  }

 private:
  int saved;
};

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof(buffer))) > 0;) text.append(buffer, n);
  return text;
}

std::string withoutCarriageReturns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

// The level's text alone is coloured, so the columns stay where they are; a level the medium does
// not know stays plain; NO_COLOR set to anything but "" turns colour off.
TEST(ConsoleMediaTest, ColoursTheLevelOnATerminalUnlessNoColorIsSet) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  const char* name = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0
                         ? ::ptsname(master)
                         : nullptr;
  const int terminal = name ? ::open(name, O_WRONLY | O_NOCTTY) : -1;
  if (terminal < 0) {
    if (master >= 0) ::close(master);
    GTEST_SKIP() << "no pseudo-terminal can be opened here (is /dev/pts mounted?)";
  }
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  const char* const saved = std::getenv("NO_COLOR");
  const std::string savedValue = saved ? saved : "";
  struct Case {
    const char* noColor;  // nullptr: unset
    bool coloured;
  };
  for (const Case& c : {Case{nullptr, true}, Case{"", true}, Case{"1", false}}) {
    if (c.noColor) {
      ::setenv("NO_COLOR", c.noColor, 1);
    } else {
      ::unsetenv("NO_COLOR");
    }
    std::string shown;
    {
      MovedStandardError moved(terminal);
      ConsoleMedia media;
      EXPECT_EQ(c.coloured, media.showsColour());
      const std::vector<std::string> lines{kErrorLine, kOwnLevelLine};
      media.write(kInfoLine);
      media.writeBurst(pointers(lines), [](const std::exception& e) { FAIL() << e.what(); });
    }
    shown = withoutCarriageReturns(readAll(master));  // the terminal shows "\n" as "\r\n"
    std::string info = testsupport::referenceLineForm(kInfoLine);
    std::string error = testsupport::referenceLineForm(kErrorLine);
    if (c.coloured) {
      info.replace(info.find("INFO"), 4, "\x1b[32mINFO\x1b[0m");
      error.replace(error.find("ERROR"), 5, "\x1b[31mERROR\x1b[0m");
    }
    EXPECT_EQ(info + "\n" + error + "\n" + testsupport::referenceLineForm(kOwnLevelLine) + "\n",
              shown)
        << "NO_COLOR=" << (c.noColor ? c.noColor : "(unset)");
  }
  if (saved) {
    ::setenv("NO_COLOR", savedValue.c_str(), 1);
  } else {
    ::unsetenv("NO_COLOR");
  }
  ::close(terminal);
  ::close(master);
}

// With nothing to write to, or a reader gone, every line is counted lost and reported with its
// cause; nothing is thrown out of a burst.
TEST(ConsoleMediaTest, CountsEveryLineLostThatStandardErrorDoesNotTake) {
  const std::vector<std::string> burst{kInfoLine, kErrorLine, kOwnLevelLine};
  struct Case {
    const char* what;
    int fd;
    const char* cause;
  };
  int pipeEnds[2];
  ASSERT_EQ(0, ::pipe(pipeEnds));
  ::close(pipeEnds[0]);  // no reader
  const int readOnly = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(readOnly, 0);
  // A write to the pipe fails with EPIPE where SIGPIPE is ignored, as a program may have it.
  struct sigaction ignore {
  }, old{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &old);
  for (const Case& c :
       {Case{"a pipe without reader", pipeEnds[1], "cannot write to standard error"},
        Case{"held open for reading", readOnly, "there is no standard error"}}) {
    std::vector<std::string> causes;
    MovedStandardError moved(c.fd);
    ConsoleMedia media;
    EXPECT_FALSE(media.showsColour());
    media.writeBurst(pointers(burst), [&](const std::exception& e) { causes.push_back(e.what()); });
    EXPECT_THROW(media.write(kInfoLine), std::runtime_error) << c.what;
    EXPECT_EQ(burst.size() + 1, media.lostLines()) << c.what;
    ASSERT_EQ(burst.size(), causes.size()) << c.what;
    EXPECT_NE(std::string::npos, causes[0].find(c.cause)) << causes[0];
  }
  ::sigaction(SIGPIPE, &old, nullptr);
  ::close(pipeEnds[1]);
  ::close(readOnly);
}
#endif

}  // namespace
