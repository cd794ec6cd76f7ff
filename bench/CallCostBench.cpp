// call_cost_bench: the cost of one log call as a program writes it. TarvoLog::info(source, message)
// through the embedded logger beside spdlog's async logger info(message) at its best (a queue of
// 2^20 entries that never blocks, overrun-oldest, formatting on its one worker), each into memory
// (our ring, spdlog's ringbuffer sink of as many records) and into files (our file medium, spdlog's
// rotating file sink of the same size left to its buffer). For 1, 2 and 4 calling threads:
//   callers   calls per second on the callers, from the start until the last caller returns
//   e2e       calls per second until everything is stored (finish(); spdlog: its pool joined)
//   p99       the 99th percentile of one call, timed on every 16th call
//   overrun   spdlog's messages overwritten in its full queue (never written; ours drops none)
// and the cost of one call below the writer's minimum level. Every figure is the median of --runs
// runs, ours and spdlog's taking turns in one invocation.
//
//   call_cost_bench [--calls N] [--runs R] [--threads 1,2,4] [--only ours|spdlog]
//                   [--into ring|files]
#include <spdlog/async.h>
#include <spdlog/spdlog.h>
// After spdlog.h: these sink headers rely on declarations they do not include themselves.
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/EmbeddedLogger.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kMessage =
    "job 4242 finished: 1048576 records in 12.5 s, checksum 9f86d081884c7d65, all ok";  // 80 bytes
constexpr std::size_t kRingRecords = 20;
constexpr std::size_t kFileBytes = 10u << 20;
constexpr int kSampleEvery = 16;
// The figures' stream: standard output as the program was started with it. The plug-in prints its
// shutdown line on standard output at every finish(), so that goes to /dev/null instead.
std::FILE* out = stdout;

struct Run {
  double callers = 0;  // calls per second
  double e2e = 0;
  double p99 = 0;      // nanoseconds
  double dropped = 0;  // calls whose message was overwritten in the queue (spdlog's overrun)
};

struct Options {
  long calls = 1000000;
  int runs = 5;
  std::vector<int> threads{1, 2, 4};
  std::string only;  // "ours" or "spdlog": that side alone (for a profiler), the other's figures 0
  std::string into;  // "ring" or "files": that target alone; both when empty
};

// Runs call(n) calls times on each of threads threads, started together. Returns the seconds from
// the start until the last caller returned, and every 16th call's duration in nanoseconds.
double runCallers(int threads, long calls, const std::function<void()>& call,
                  std::vector<double>& samples) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::vector<double>> timed(threads);
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t) {
    callers.emplace_back([&, t] {
      std::vector<double>& mine = timed[t];
      mine.reserve(calls / kSampleEvery + 1);
      ++ready;
      while (!go.load()) {
      }
      for (long n = 0; n < calls; ++n) {
        if (n % kSampleEvery != 0) {
          call();
          continue;
        }
        const auto before = Clock::now();
        call();
        mine.push_back(std::chrono::duration<double, std::nano>(Clock::now() - before).count());
      }
    });
  }
  while (ready.load() < threads) std::this_thread::yield();
  const auto start = Clock::now();
  go = true;
  for (auto& c : callers) c.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (auto& mine : timed) samples.insert(samples.end(), mine.begin(), mine.end());
  return seconds;
}

double percentile99(std::vector<double>& samples) {
  if (samples.empty()) return 0;
  const std::size_t at = samples.size() * 99 / 100;
  std::nth_element(samples.begin(), samples.begin() + at, samples.end());
  return samples[at];
}

Run ours(bool files, int threads, long calls, const std::string& dir) {
  EmbeddedLogger::Settings settings;
  if (files) {
    settings.values = {{"TarvoLogger/StorageFormat", "file"},
                       {"TarvoLogger/MaxFileSize", std::to_string(kFileBytes >> 20)},
                       {"Directories/VarPath", dir}};
  } else {
    settings.values = {{"TarvoLogger/StorageFormat", "circular"},
                       {"TarvoLogger/BufferSize", std::to_string(kRingRecords)}};
  }
  EmbeddedLogger logger(settings);
  const TarvoLog log = logger.writer();
  std::vector<double> samples;
  const auto start = Clock::now();
  const double seconds = runCallers(
      threads, calls, [&] { log.info("bench", kMessage); }, samples);
  logger.finish();
  const double total = static_cast<double>(calls) * threads;
  return {total / seconds, total / std::chrono::duration<double>(Clock::now() - start).count(),
          percentile99(samples)};
}

Run peer(bool files, int threads, long calls, const std::string& dir) {
  spdlog::sink_ptr sink;
  if (files) {
    sink =
        std::make_shared<spdlog::sinks::rotating_file_sink_mt>(dir + "/spdlog.log", kFileBytes, 1);
  } else {
    sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(kRingRecords);
  }
  auto pool = std::make_shared<spdlog::details::thread_pool>(1u << 20, 1);
  auto logger = std::make_shared<spdlog::async_logger>(
      "bench", sink, pool, spdlog::async_overflow_policy::overrun_oldest);
  const spdlog::string_view_t message(kMessage.data(), kMessage.size());
  std::vector<double> samples;
  const auto start = Clock::now();
  const double seconds = runCallers(
      threads, calls, [&] { logger->info(message); }, samples);
  const double dropped = static_cast<double>(pool->overrun_counter());
  logger.reset();
  pool.reset();  // its worker takes every queued message before it ends
  sink.reset();
  const double total = static_cast<double>(calls) * threads;
  return {total / seconds, total / std::chrono::duration<double>(Clock::now() - start).count(),
          percentile99(samples), dropped};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Nanoseconds of one call below the minimum level, over 100 M calls on one thread.
template <typename Call>
double belowThreshold(Call call) {
  constexpr long kCalls = 100000000;
  const auto start = Clock::now();
  for (long n = 0; n < kCalls; ++n) {
    call();
    asm volatile("" ::: "memory");  // one call per turn: the loop is not folded away
  }
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kCalls;
}

void reportBelowThreshold(int runs) {
  EmbeddedLogger logger({{"TarvoLogger/StorageFormat", "circular"}});
  const TarvoLog log = logger.writer({}, TarvoLog::Level::warn);
  auto pool = std::make_shared<spdlog::details::thread_pool>(1u << 20, 1);
  auto peerLogger = std::make_shared<spdlog::async_logger>(
      "below", std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(kRingRecords), pool,
      spdlog::async_overflow_policy::overrun_oldest);
  peerLogger->set_level(spdlog::level::warn);
  const spdlog::string_view_t message(kMessage.data(), kMessage.size());
  std::vector<double> mine, theirs;
  for (int r = 0; r < runs; ++r) {
    mine.push_back(belowThreshold([&] { log.info("bench", kMessage); }));
    theirs.push_back(belowThreshold([&] { peerLogger->info(message); }));
  }
  std::fprintf(out, "below the minimum level: %.2f ns per call (spdlog %.2f ns)\n", median(mine),
               median(theirs));
}

void reportTarget(bool files, const Options& options, const std::string& dir) {
  std::fprintf(out,
               "%-5s thr | callers M/s: ours spdlog ratio | e2e M/s: ours spdlog ratio | "
               "p99 ns: ours spdlog | spdlog overrun\n",
               files ? "files" : "ring");
  for (int threads : options.threads) {
    std::vector<double> c[2], e[2], p[2], dropped;
    for (int r = 0; r < options.runs; ++r) {
      const Run runs[2] = {
          options.only == "spdlog" ? Run() : ours(files, threads, options.calls, dir),
          options.only == "ours" ? Run() : peer(files, threads, options.calls, dir)};
      for (int k = 0; k < 2; ++k) {
        c[k].push_back(runs[k].callers / 1e6);
        e[k].push_back(runs[k].e2e / 1e6);
        p[k].push_back(runs[k].p99);
      }
      dropped.push_back(runs[1].dropped);
    }
    std::fprintf(
        out, "      %3d | %12.2f %6.2f %5.2fx | %8.2f %6.2f %5.2fx | %8.0f %6.0f | %9.0f\n",
        threads, median(c[0]), median(c[1]), median(c[0]) / median(c[1]), median(e[0]),
        median(e[1]), median(e[0]) / median(e[1]), median(p[0]), median(p[1]), median(dropped));
    std::fflush(out);
  }
}

Options parse(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--calls") options.calls = std::atol(argv[i + 1]);
    if (name == "--runs") options.runs = std::atoi(argv[i + 1]);
    if (name == "--only") options.only = argv[i + 1];
    if (name == "--into") options.into = argv[i + 1];
    if (name == "--threads") {
      options.threads.clear();
      std::istringstream list(argv[i + 1]);
      for (std::string count; std::getline(list, count, ',');) {
        options.threads.push_back(std::atoi(count.c_str()));
      }
    }
  }
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse(argc, argv);
  out = fdopen(dup(STDOUT_FILENO), "w");
  if (!out || !std::freopen("/dev/null", "w", stdout)) return 1;
  const boost::filesystem::path dir =
      boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("callcost-%%%%%%");
  boost::filesystem::create_directories(dir);
  std::fprintf(out, "%ld calls per thread, %d bytes, medians of %d runs\n", options.calls,
               static_cast<int>(kMessage.size()), options.runs);
  if (options.only.empty()) reportBelowThreshold(options.runs);
  if (options.into != "files") reportTarget(false, options, dir.string());
  if (options.into != "ring") reportTarget(true, options, dir.string());
  boost::filesystem::remove_all(dir);
}
