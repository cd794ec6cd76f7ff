// A program that logs through an embedded logger given no settings, for the tests of where its
// lines go by default:
//
//   embedded-default [--no-stderr] COUNT
//
// writes COUNT info lines, prints the logger's dump and then its final counts on standard output
// ("stored 3 lost 0 short 0"). --no-stderr first puts the null device, open for reading only, in
// place of standard error, as a program started without one holds the closed stream: nothing
// written there arrives.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/EmbeddedLogger.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

int main(int argc, char** argv) {
  const bool noStderr = argc == 3 && std::strcmp(argv[1], "--no-stderr") == 0;
  if (argc != 2 && !noStderr) {
    std::fprintf(stderr, "usage: embedded-default [--no-stderr] COUNT\n");
    return 2;
  }
  if (noStderr) {
#ifdef _WIN32
    _dup2(_open("NUL", _O_RDONLY), 2);
#else
    ::dup2(::open("/dev/null", O_RDONLY), 2);
#endif
  }
  EmbeddedLogger logger;
  const int count = std::atoi(argv[argc - 1]);
  for (int n = 0; n < count; ++n) logger.log().info("main", "line number " + std::to_string(n));
  std::printf("%s\n", logger.dump().c_str());
  const TarvoLoggerStatsData counts = logger.finish();
  std::printf("stored %llu lost %llu short %llu\n", static_cast<unsigned long long>(counts.stored),
              static_cast<unsigned long long>(counts.lost),
              static_cast<unsigned long long>(counts.tooShort));
  return 0;
}
