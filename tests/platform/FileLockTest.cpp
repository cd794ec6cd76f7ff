#include <gtest/gtest.h>

#include "platform/FileLock.h"
#include "tests/support/TestSupport.h"

#if !defined(_WIN32)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A child forked while the lock was held keeps a copy of its descriptor: the lock is released for
// that copy too, so that a long-lived child does not hold it for its life.
TEST(FileLockTest, AnUnlockReleasesTheLockForAForkedChildsCopyToo) {
  testsupport::TempDir dir;
  const std::string path = dir.file("log.lock");
  FileLock held;
  ASSERT_FALSE(held.lock(path, std::chrono::milliseconds(0)));
  const pid_t child = ::fork();
  if (child == 0) {
    ::sleep(30);
    ::_exit(0);
  }
  held.unlock();
  FileLock next;
  EXPECT_FALSE(next.lock(path, std::chrono::milliseconds(0))) << "the child kept the lock";
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

}  // namespace
#endif
