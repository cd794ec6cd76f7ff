#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "logger/core/ReportLimiter.h"
#include "logger/core/WorkerErrorReporter.h"

namespace {

using std::chrono::seconds;

// A limiter on a clock the test turns, its lines kept as "text|cause|counted|total|span in s".
class ReportLimiterTest : public testing::Test {
 protected:
  // Three in full, then counted for 10 s.
  ReportLimiter make() {
    return ReportLimiter(
        [this](const ReportLimiter::Line& line) {
          static const char* const kCauses[] = {"full", "interval", "power", "new", "flush"};
          lines.push_back(std::string(line.text) + "|" + kCauses[static_cast<int>(line.cause)] +
                          "|" + std::to_string(line.counted) + "|" + std::to_string(line.total) +
                          "|" +
                          std::to_string(std::chrono::duration_cast<seconds>(line.span).count()));
        },
        ReportLimiter::Limits(), [this] { return now; });
  }
  std::vector<std::string> take() { return std::move(lines); }

  ReportLimiter::Clock::time_point now{};
  std::vector<std::string> lines;
};

TEST_F(ReportLimiterTest, KindsKeepTheirOwnCountsHoweverTheyInterleave) {
  ReportLimiter limiter = make();
  for (int n = 1; n <= 100; ++n) {
    limiter.report("lost line " + std::to_string(n));
    limiter.report("malformed datagram of " + std::to_string(n) + " bytes");
  }
  EXPECT_EQ((std::vector<std::string>{
                "lost line 1|full|0|1|0", "malformed datagram of 1 bytes|full|0|1|0",
                "lost line 2|full|0|2|0", "malformed datagram of 2 bytes|full|0|2|0",
                "lost line 3|full|0|3|0", "malformed datagram of 3 bytes|full|0|3|0"}),
            take());
  // A new kind: what the others counted so far comes first, so the lines keep the order of events.
  now += seconds(2);
  limiter.report("sender started over", "127.0.0.1:5000: sender started over at line 1");
  limiter.report("sender started over", "127.0.0.1:5001: sender started over at line 1");
  EXPECT_EQ((std::vector<std::string>{"lost line 100|new|97|100|2",
                                      "malformed datagram of 100 bytes|new|97|100|2",
                                      "127.0.0.1:5000: sender started over at line 1|full|0|1|0",
                                      "127.0.0.1:5001: sender started over at line 1|full|0|2|0"}),
            take());
  limiter.flush();
  EXPECT_TRUE(take().empty()) << "nothing is counted twice";
}

TEST_F(ReportLimiterTest, CountsAreSummarisedOncePerIntervalAndAtTheEnd) {
  ReportLimiter limiter = make();
  for (int n = 0; n < 10; ++n) limiter.report("flood");
  now += seconds(5);
  for (int n = 0; n < 5; ++n) limiter.report("flood");
  limiter.tick();
  EXPECT_EQ(3u, take().size());
  now += seconds(5);
  limiter.tick();
  limiter.tick();
  EXPECT_EQ(std::vector<std::string>{"flood|interval|12|15|10"}, take());
  // The next interval's count is its own; flush() gives what is left at the end.
  now += seconds(1);
  limiter.report("flood");
  limiter.report("flood");
  now += seconds(3);
  limiter.flush();
  EXPECT_EQ(std::vector<std::string>{"flood|flush|2|17|3"}, take());
  // Quiet for a whole interval: printed in full again.
  now += seconds(10);
  limiter.report("flood");
  EXPECT_EQ(std::vector<std::string>{"flood|full|0|18|0"}, take());
}

// Two errors that alternate used to print every occurrence: each one ended the other's count.
TEST(WorkerErrorReporterTest, AlternatingErrorsAreCountedEachOnItsOwn) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(nullptr, out);
  {
    WorkerErrorReporter errors(out, [] { return ReportLimiter::Clock::time_point(); });
    for (int n = 0; n < 1001; ++n) {
      errors.report("write", "cannot write /logs/tarvolog.log: No space left on device");
      errors.report("flush", "cannot write /logs/tarvolog.log: No space left on device");
    }
    errors.finish();
  }
  std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
  std::rewind(out);
  ASSERT_EQ(text.size(), std::fread(&text[0], 1, text.size(), out));
  std::fclose(out);
  const std::string write =
      "TarvoLogger: write failed: cannot write /logs/tarvolog.log: No space left on device";
  const std::string flush =
      "TarvoLogger: flush failed: cannot write /logs/tarvolog.log: No space left on device";
  EXPECT_EQ(write + "\n" + flush + "\n" +                                            //
                write + " (10 times so far)\n" + flush + " (10 times so far)\n" +    //
                write + " (100 times so far)\n" + flush + " (100 times so far)\n" +  //
                write + " (1000 times so far)\n" + flush + " (1000 times so far)\n" + write +
                " (repeated 1001 times in all)\n" + flush + " (repeated 1001 times in all)\n",
            text);
}

}  // namespace
