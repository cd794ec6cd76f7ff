// throughput: end-to-end lines per second of the logger plug-in on our host, beside spdlog's async
// logger and the bare limits of this machine, on the same workload.
//
// Each measurement runs in a child process of its own, so that its peak resident memory is its
// own and no state leaks between runs. The systems take turns within every run, so that a change
// in the machine's load reaches all of them alike. Per system it prints one line with medians:
//   system=logger medium=circular threads=2 lines=1000000 size=120 lines_per_s=... vs_spdlog=...
//
// The peers, at their best on this workload:
//   spdlog           async logger, one worker, a queue of 1048576 entries (or one per line, if
//                    more): it never blocks a writer, like our unbounded pipe; ring or UDP sink
//   spdlog-flush     the same with the rotating file sink flushed after every message
//   spdlog-buffered  the same with the rotating file sink left to its buffer, flushed on errors:
//                    the like-for-like peer of our batches
//   limit            ring and files: a bare mutex + deque + condition variable pipe whose reader
//                    discards each line; UDP: one thread sending the same datagrams in a plain
//                    sendto loop
// vs_spdlog is the ratio to the fastest spdlog variant of the medium.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spdlog/async.h>
#include <spdlog/spdlog.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
// After spdlog.h: these sink headers rely on declarations they do not include themselves.
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/udp_sink.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchLines.h"
#include "bench/LoopbackPort.h"
#include "host/LoggerClient.h"
#include "host/PluginLoader.h"
#include "logger/core/safe_pipe.h"
#include "logger/host/ConfigurationManager.h"
#include "logger/host/IComponent.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBatch = 16;  // pushes timed together; the cost per line is the batch's share

struct Options {
  std::string medium = "circular";
  int threads = 2;
  long lines = 1000000;
  std::size_t size = 120;
  int runs = 5;
  std::string plugin;
  std::string baselinePlugin;        // another build of the plug-in, run as the system "baseline"
  std::vector<std::string> systems;  // empty: every system that fits the medium
  bool queueMemory = false;
  std::string bufferSize;  // the file medium's records per batch; empty: its default
};

struct Result {
  double linesPerSecond = 0;
  double pushMedianNs = 0;
  double pushP999Ns = 0;
  long peakRssKb = 0;
};

// Every UDP system sends to a loopback port that nobody reads: all pay the same send path, and
// the kernel drops what overflows.
constexpr bool kNobodyReads = false;

// Pushes the workload from N threads, each timing batches of pushes; returns the samples.
std::vector<double> pushFromThreads(const Options& o, const std::vector<std::string>& lines,
                                    const std::function<void(const std::string&)>& push,
                                    Clock::time_point& start) {
  std::vector<std::vector<double>> samples(o.threads);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < o.threads; ++t) {
    threads.emplace_back([&, t] {
      auto& mine = samples[t];
      mine.reserve(lines.size() / o.threads / kBatch + 1);
      ++ready;
      while (!go) std::this_thread::yield();
      std::size_t i = t;
      while (i < lines.size()) {
        auto before = Clock::now();
        int n = 0;
        for (; n < kBatch && i < lines.size(); ++n, i += o.threads) push(lines[i]);
        auto elapsed = std::chrono::duration<double, std::nano>(Clock::now() - before).count();
        mine.push_back(elapsed / n);
      }
    });
  }
  while (ready < o.threads) std::this_thread::yield();
  start = Clock::now();
  go = true;
  for (auto& t : threads) t.join();
  std::vector<double> all;
  for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
  return all;
}

void percentiles(std::vector<double>& samples, Result& r) {
  if (samples.empty()) return;
  auto at = [&](double q) {
    std::size_t k = std::min(samples.size() - 1, static_cast<std::size_t>(q * samples.size()));
    std::nth_element(samples.begin(), samples.begin() + k, samples.end());
    return samples[k];
  };
  r.pushMedianNs = at(0.5);
  r.pushP999Ns = at(0.999);
}

std::vector<std::string> makeLines(const Options& o) {
  std::vector<std::string> lines;
  lines.reserve(o.lines);
  for (long i = 0; i < o.lines; ++i) lines.push_back(benchlines::line(o.size, i));
  return lines;
}

Result runLogger(const Options& o, const boost::filesystem::path& dir, const std::string& path) {
  auto& plugin = *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope);
  ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope)
      ->setValue("Directories/VarPath", dir.string());
  plugin.setValue("TarvoLogger/StorageFormat", o.medium);
  if (!o.bufferSize.empty()) plugin.setValue("TarvoLogger/BufferSize", o.bufferSize);
  benchlines::LoopbackPort udp(kNobodyReads);
  plugin.setValue("TarvoLogger/Port", std::to_string(udp.port()));
  const auto lines = makeLines(o);

  PluginLoader loader;
  loader.load(path);
  IComponent* component = loader.create("000udploggerplugin");
  component->start();
  Result r;
  {
    LoggerClient client("client:/throughput");
    auto pipe = client.requestQueue(std::chrono::seconds(5));
    if (!pipe) throw std::runtime_error("no LOGGER_QUEUE reply");
    Clock::time_point start;
    auto samples = pushFromThreads(
        o, lines, [&](const std::string& line) { pipe->push(line); }, start);
    pipe.reset();
    component->shutdown();  // drains the pipe into the medium
    r.linesPerSecond = o.lines / std::chrono::duration<double>(Clock::now() - start).count();
    percentiles(samples, r);
  }
  loader.destroy(component);
  return r;
}

// Entries in spdlog's queue: enough that no writer ever waits for room.
constexpr std::size_t kSpdlogQueue = 1048576;

bool isSpdlog(const std::string& system) { return system.compare(0, 6, "spdlog") == 0; }

Result runSpdlog(const Options& o, const boost::filesystem::path& dir, const std::string& system) {
  benchlines::LoopbackPort udp(kNobodyReads);
  spdlog::sink_ptr sink;
  if (o.medium == "file") {
    sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>((dir / "spdlog.log").string(),
                                                                  10 * 1048576, 1);
  } else if (o.medium == "udp") {
    sink = std::make_shared<spdlog::sinks::udp_sink_mt>(
        spdlog::sinks::udp_sink_config("127.0.0.1", udp.port()));
  } else {
    sink = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(20);
  }
  const auto lines = makeLines(o);
  auto pool = std::make_shared<spdlog::details::thread_pool>(
      std::max<std::size_t>(kSpdlogQueue, static_cast<std::size_t>(o.lines)), 1);
  auto logger = std::make_shared<spdlog::async_logger>("bench", sink, pool,
                                                       spdlog::async_overflow_policy::block);
  logger->set_pattern("%v");
  // Flush after every message, or only after an error (none comes: the buffer decides).
  logger->flush_on(system == "spdlog-flush" ? spdlog::level::trace : spdlog::level::err);
  Result r;
  Clock::time_point start;
  auto samples = pushFromThreads(
      o, lines,
      [&](const std::string& line) {
        logger->log(spdlog::level::info, spdlog::string_view_t(line.data(), line.size()));
      },
      start);
  logger.reset();
  pool.reset();  // the worker writes everything queued, then ends
  r.linesPerSecond = o.lines / std::chrono::duration<double>(Clock::now() - start).count();
  percentiles(samples, r);
  return r;
}

// The machine's limit: a bare mutex + deque + condition variable pipe whose reader discards, or,
// for UDP, one thread sending the same datagrams in a plain loop.
Result runLimit(const Options& o) {
  const auto lines = makeLines(o);
  Result r;
  if (o.medium == "udp") {
    benchlines::LoopbackPort udp(kNobodyReads);
    std::vector<std::string> datagrams;
    for (long i = 0; i < o.lines; ++i) {
      datagrams.push_back(std::to_string(i + 1) + ":1/1|" + lines[i]);
    }
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(udp.port());
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    auto start = Clock::now();
    for (const auto& d : datagrams) {
      ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    r.linesPerSecond = o.lines / std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    return r;
  }
  std::mutex mutex;
  std::condition_variable cv;
  std::deque<std::string> queue;
  long consumed = 0;
  std::thread reader([&] {
    std::unique_lock<std::mutex> lock(mutex);
    while (consumed < o.lines) {
      cv.wait(lock, [&] { return !queue.empty(); });
      queue.pop_front();
      ++consumed;
    }
  });
  Clock::time_point start;
  auto samples = pushFromThreads(
      o, lines,
      [&](const std::string& line) {
        bool wasEmpty;
        {
          std::lock_guard<std::mutex> lock(mutex);
          wasEmpty = queue.empty();
          queue.push_back(line);
        }
        if (wasEmpty) cv.notify_one();
      },
      start);
  reader.join();
  r.linesPerSecond = o.lines / std::chrono::duration<double>(Clock::now() - start).count();
  percentiles(samples, r);
  return r;
}

long residentKb() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  long pages = 0, resident = 0;
  if (f) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Runs fn in a child process; returns its result with the child's peak resident memory.
Result inChild(const std::function<Result()>& fn) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe");
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    // The plug-in's shutdown line is not part of the report.
    if (!std::freopen("/dev/null", "w", stdout)) _exit(1);
    Result r;
    try {
      r = fn();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "throughput: %s\n", e.what());
      _exit(1);
    }
    if (::write(fds[1], &r, sizeof(r)) != static_cast<ssize_t>(sizeof(r))) _exit(1);
    _exit(0);
  }
  ::close(fds[1]);
  Result r;
  bool got = ::read(fds[0], &r, sizeof(r)) == static_cast<ssize_t>(sizeof(r));
  ::close(fds[0]);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("a measurement failed");
  }
  r.peakRssKb = usage.ru_maxrss;
  return r;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

[[noreturn]] void usage(int status) {
  std::fprintf(status ? stderr : stdout,
               "usage: throughput [--medium circular|file|udp] [--threads N] [--lines M]\n"
               "                  [--size B] [--runs R] [--systems LIST]\n"
               "                  [--plugin PATH] [--baseline PATH] [--queue-memory]\n"
               "                  [--buffer-size RECORDS]\n"
               "Pushes M lines of B bytes from N threads through the logger plug-in on our host,\n"
               "spdlog's async logger and the bare limit; prints medians over R runs.\n"
               "LIST: logger, spdlog (ring, udp), spdlog-flush, spdlog-buffered (file), limit;\n"
               "default: all that fit the medium. --baseline adds the system \"baseline\", the\n"
               "logger with another build of the plug-in, to measure a change side by side.\n"
               "--buffer-size sets the file medium's records per batch (default 100).\n"
               "--queue-memory instead measures the resident memory of M lines queued in the\n"
               "pipe with no reader.\n");
  std::exit(status);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
  std::string here = n > 0 ? std::string(self, n) : "";
  o.plugin = here.substr(0, here.rfind('/') + 1) + "lib000udploggerplugin.so";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(2);
      return argv[++i];
    };
    try {
      if (arg == "--medium") {
        o.medium = value();
      } else if (arg == "--threads") {
        o.threads = std::stoi(value());
      } else if (arg == "--lines") {
        o.lines = std::stol(value());
      } else if (arg == "--size") {
        o.size = std::stoul(value());
      } else if (arg == "--runs") {
        o.runs = std::stoi(value());
      } else if (arg == "--plugin") {
        o.plugin = value();
      } else if (arg == "--baseline") {
        o.baselinePlugin = value();
      } else if (arg == "--queue-memory") {
        o.queueMemory = true;
      } else if (arg == "--buffer-size") {
        o.bufferSize = value();
      } else if (arg == "--systems") {
        o.systems.clear();
        std::string list = value();
        for (std::size_t at = 0; at <= list.size();) {
          std::size_t comma = std::min(list.find(',', at), list.size());
          o.systems.push_back(list.substr(at, comma - at));
          at = comma + 1;
        }
      } else if (arg == "-h" || arg == "--help") {
        usage(0);
      } else {
        usage(2);
      }
    } catch (const std::logic_error&) {
      usage(2);
    }
  }
  if (o.threads < 1 || o.lines < 1 || o.runs < 1 ||
      (o.medium != "circular" && o.medium != "file" && o.medium != "udp")) {
    usage(2);
  }
  if (o.systems.empty()) {
    o.systems = o.medium == "file"
                    ? std::vector<std::string>{"logger", "spdlog-flush", "spdlog-buffered", "limit"}
                    : std::vector<std::string>{"logger", "spdlog", "limit"};
    if (!o.baselinePlugin.empty()) o.systems.insert(o.systems.begin() + 1, "baseline");
  }

  if (o.queueMemory) {
    Result r = inChild([&] {
      const std::string line = benchlines::line(o.size, 1);
      long before = residentKb();
      safe_pipe<std::string> pipe;
      for (long i = 0; i < o.lines; ++i) pipe.push(line);
      Result m;
      m.linesPerSecond = (residentKb() - before) * 1024.0 / o.lines;  // bytes per queued line
      return m;
    });
    std::printf("system=pipe lines=%ld size=%zu queued_bytes_per_line=%.0f peak_rss_kb=%ld\n",
                o.lines, o.size, r.linesPerSecond, r.peakRssKb);
    return 0;
  }

  auto dir = boost::filesystem::temp_directory_path() /
             boost::filesystem::unique_path("throughput-%%%%-%%%%");
  std::map<std::string, std::vector<Result>> results;
  for (int run = 0; run < o.runs; ++run) {
    for (const auto& system : o.systems) {
      boost::filesystem::create_directories(dir);
      std::function<Result()> fn;
      if (system == "logger") {
        fn = [&] { return runLogger(o, dir, o.plugin); };
      } else if (system == "baseline") {
        fn = [&] { return runLogger(o, dir, o.baselinePlugin); };
      } else if (system == "spdlog" || system == "spdlog-flush" || system == "spdlog-buffered") {
        fn = [&] { return runSpdlog(o, dir, system); };
      } else if (system == "limit") {
        fn = [&] { return runLimit(o); };
      } else {
        usage(2);
      }
      try {
        results[system].push_back(inChild(fn));
      } catch (const std::exception& e) {
        std::fprintf(stderr, "throughput: %s: %s\n", system.c_str(), e.what());
        return 1;
      }
      boost::filesystem::remove_all(dir);
    }
  }

  auto medianOf = [&](const std::string& system, double Result::*field) {
    std::vector<double> v;
    for (const auto& r : results[system]) v.push_back(r.*field);
    return median(v);
  };
  // The best spdlog variant of this medium, the one vs_spdlog compares with.
  std::string bestSpdlog;
  for (const auto& system : o.systems) {
    if (isSpdlog(system) &&
        (bestSpdlog.empty() || medianOf(system, &Result::linesPerSecond) >
                                   medianOf(bestSpdlog, &Result::linesPerSecond))) {
      bestSpdlog = system;
    }
  }
  for (const auto& system : o.systems) {
    double rate = medianOf(system, &Result::linesPerSecond);
    std::printf(
        "system=%s medium=%s threads=%d lines=%ld size=%zu runs=%d lines_per_s=%.0f "
        "push_median_ns=%.0f push_p999_ns=%.0f peak_rss_kb=%.0f",
        system.c_str(), o.medium.c_str(), o.threads, o.lines, o.size, o.runs, rate,
        medianOf(system, &Result::pushMedianNs), medianOf(system, &Result::pushP999Ns), [&] {
          std::vector<double> v;
          for (const auto& r : results[system]) v.push_back(static_cast<double>(r.peakRssKb));
          return median(v);
        }());
    if (!bestSpdlog.empty() && !isSpdlog(system)) {
      std::printf(" vs_spdlog=%.2f best_spdlog=%s",
                  rate / medianOf(bestSpdlog, &Result::linesPerSecond), bestSpdlog.c_str());
    }
    if (results.count("limit") && system != "limit") {
      std::printf(" vs_limit=%.2f", rate / medianOf("limit", &Result::linesPerSecond));
    }
    std::printf("\n");
  }
  return 0;
}
