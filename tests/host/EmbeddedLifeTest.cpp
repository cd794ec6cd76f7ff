// The embedded logger in a program that forks, exits, throws or keeps it in a static, run as a
// user runs it: neither process hangs, and every line written before the end is in the file.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/Subprocess.h"
#include "tests/support/TestSupport.h"

#ifdef EMBEDDED_LIFE

namespace {

std::size_t linesIn(const std::string& path) {
  const std::string text = testsupport::readFile(path);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

struct Life {
  int status;
  std::string out, err;
};
Life live(const std::string& scene, const testsupport::TempDir& dir) {
  Life life{};
  life.status = testsupport::run(EMBEDDED_LIFE, {scene, dir.str()}, &life.out, &life.err);
  return life;
}

const char kForkedChild[] = "the logger does not run in a forked child";

// Four threads write while main forks: the child's line through the inherited logger is dropped
// and said once, the child returns from main, the parent stores every line its threads wrote.
TEST(EmbeddedLifeTest, AForkWhileThreadsWriteHangsNeitherProcessAndLosesNoParentLine) {
  testsupport::TempDir dir;
  const Life life = live("fork", dir);
  ASSERT_EQ(0, life.status) << life.err;
  EXPECT_EQ(std::stoul(life.out), linesIn(dir.file("tarvolog.log"))) << life.err;
  EXPECT_NE(std::string::npos, life.err.find(kForkedChild)) << life.err;
  EXPECT_NE(std::string::npos,
            life.err.find("1 lines written in a forked child through the parent's logger were "
                          "dropped"))
      << life.err;
}

// The daemon idiom: the parent returns at once; the daemon's lines through the inherited logger
// are dropped and said, and those through a logger of its own reach its file.
TEST(EmbeddedLifeTest, ADaemonsOwnLoggerStoresItsLines) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer cannot follow threads started in a forked child";
#endif
  testsupport::TempDir dir;
  const Life life = live("daemon", dir);
  ASSERT_EQ(0, life.status) << life.err;
  ASSERT_TRUE(testsupport::waitFor([&] { return linesIn(dir.file("child/done")) == 1; }));
  EXPECT_EQ(10u, linesIn(dir.file("child/tarvolog.log")));
  EXPECT_EQ(1u, linesIn(dir.file("tarvolog.log"))) << "the parent's line before the fork";
}

// exit() from a function, an uncaught exception (also one thrown inside a writer's call, which
// never ends) and a static logger: every line written before the end is stored.
TEST(EmbeddedLifeTest, ExitAnUncaughtExceptionAndAStaticLoggerStoreEveryLine) {
  for (const std::string scene : {"exit", "throw", "throw-in-a-call", "static"}) {
    SCOPED_TRACE(scene);
    testsupport::TempDir dir;
    const Life life = live(scene, dir);
    EXPECT_EQ(scene.rfind("throw", 0) == 0 ? 128 + SIGABRT : 0, life.status) << life.err;
    EXPECT_EQ(1000u, linesIn(dir.file("tarvolog.log"))) << life.err;
  }
}

// exit() on another thread while main finishes the logger waits for the finish; a child forked
// then leaves the logger behind and exits at once: every line is stored either way.
TEST(EmbeddedLifeTest, ExitOrForkWhileTheLoggerFinishesLosesNothingAndHangsNothing) {
  for (const std::string scene : {"exit-while-finishing", "fork-while-finishing"}) {
    SCOPED_TRACE(scene);
    testsupport::TempDir dir;
    const Life life = live(scene, dir);
    EXPECT_EQ(0, life.status) << life.err;
    EXPECT_EQ(200000u, linesIn(dir.file("tarvolog.log"))) << life.err;
  }
}

}  // namespace

#endif
