// A program that embeds the logger and lives as programs do, for the tests that watch it from
// outside: embedded_life SCENE FOLDER, the log file in FOLDER (a forked daemon's in FOLDER/child).
//   fork    four threads write while main forks; the child writes through the inherited logger
//           and returns from main; the parent waits for it and prints how many lines it wrote
//   daemon  if (fork()) return 0; setsid(); then 10 lines through the inherited logger and 10
//           through one the child makes, then FOLDER/child/done
//   exit    1000 lines, then exit(0) from a function, the logger a local of main
//   throw   1000 lines, then an exception nobody catches
//   throw-in-a-call  1000 lines, then a line too long to be made, whose exception nobody catches
//   static  1000 lines through a function-local static logger, then a return from main
//   exit-while-finishing, fork-while-finishing
//           200 000 lines, then main finishes the logger while another thread calls exit(0), or
//           forks a child that writes a line and calls exit(0)
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/EmbeddedLogger.h"

namespace {

// In a forked child the parent's logger is left behind by design, its memory never freed: the
// leak checker, which asks this program at the end, is told not to count it there.
bool inForkedChild = false;
void leaveTheParentsLoggerBehind() { inForkedChild = true; }

EmbeddedLogger::Settings filesIn(const std::string& folder) {
  EmbeddedLogger::Settings settings;
  settings.values = {{"TarvoLogger/StorageFormat", "file"}, {"Directories/VarPath", folder}};
  return settings;
}

void thousandLines(const TarvoLog& log) {
  for (int n = 1; n <= 1000; ++n) log.info("life", "line " + std::to_string(n) + " of 1000");
}

int forkWhileWriting(const std::string& folder) {
  EmbeddedLogger::Settings settings = filesIn(folder);
  settings.values.emplace_back("TarvoLogger/MaxFileSize", "1000");  // every line in one file
  EmbeddedLogger logger(settings);
  std::atomic<bool> stop{false};
  std::atomic<long> written{0};
  // On the heap and never destroyed in the child, where the threads it names do not exist.
  auto* writers = new std::vector<std::thread>;
  for (int t = 0; t < 4; ++t) {
    writers->emplace_back([&] {
      const TarvoLog log = logger.writer();
      while (!stop) {
        log.info("writer", "a line written around the fork");
        ++written;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const pid_t child = ::fork();
  if (child == 0) {
    leaveTheParentsLoggerBehind();
    logger.log().info("child", "a line through the parent's logger");
    return 0;  // the inherited logger's destructor must not wait for the parent's threads
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  stop = true;
  for (auto& writer : *writers) writer.join();
  delete writers;
  std::printf("%ld\n", written.load());
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int daemonIdiom(const std::string& folder) {
  EmbeddedLogger logger(filesIn(folder));
  logger.log().info("parent", "before the fork");
  if (::fork() != 0) return 0;
  leaveTheParentsLoggerBehind();
  ::setsid();
  for (int n = 1; n <= 10; ++n) logger.log().info("daemon", "through the parent's logger");
  {
    EmbeddedLogger own(filesIn(folder + "/child"));
    for (int n = 1; n <= 10; ++n) own.log().info("daemon", "line " + std::to_string(n));
  }
  std::ofstream(folder + "/child/done") << "done\n";
  return 0;
}

[[noreturn]] void exitFromAFunction() { std::exit(0); }

int whileFinishing(const std::string& scene, const std::string& folder) {
  EmbeddedLogger::Settings settings = filesIn(folder);
  settings.values.emplace_back("TarvoLogger/MaxFileSize", "1000");  // every line in one file
  EmbeddedLogger logger(settings);
  for (int n = 1; n <= 200000; ++n) logger.log().info("life", "line " + std::to_string(n));
  std::atomic<bool> finishing{false};
  std::thread other([&] {
    while (!finishing) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (scene == "exit-while-finishing") std::exit(0);
    const pid_t child = ::fork();
    if (child == 0) {
      leaveTheParentsLoggerBehind();
      logger.log().info("child", "a line through the parent's logger");
      std::exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
  });
  finishing = true;
  logger.finish();
  other.join();
  return 0;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
extern "C" int __lsan_is_turned_off() { return inForkedChild ? 1 : 0; }
#endif

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: embedded_life SCENE FOLDER\n", stderr);
    return 2;
  }
  const std::string scene = argv[1], folder = argv[2];
  if (scene == "fork") return forkWhileWriting(folder);
  if (scene == "daemon") return daemonIdiom(folder);
  if (scene.find("-while-finishing") != std::string::npos) return whileFinishing(scene, folder);
  if (scene == "static") {
    static EmbeddedLogger logger(filesIn(folder));
    thousandLines(logger.log());
    return 0;
  }
  EmbeddedLogger logger(filesIn(folder));
  thousandLines(logger.log());
  if (scene == "exit") exitFromAFunction();
  if (scene == "throw") throw std::runtime_error("nobody catches this");
  if (scene == "throw-in-a-call") {
    // Never read: the line's room is asked for first, and that throws std::length_error.
    const std::string_view tooLong(argv[0], std::string().max_size());
    logger.log().info("life", tooLong);
  }
  return 2;
}
