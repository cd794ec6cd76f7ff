// The disk medium's write path against spdlog's rotating file sink, flushing every message and
// left to its buffer (flushed on errors only, the like-for-like peer of our batches), on the same
// 120-byte lines into a temporary directory.

#include <benchmark/benchmark.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <boost/filesystem.hpp>

#include "bench/BenchLines.h"
#include "logger/host/ConfigurationManager.h"
#include "logger/media/DiskMedia.h"

namespace {

namespace fs = boost::filesystem;

struct BenchDir {
  BenchDir() : path(fs::temp_directory_path() / fs::unique_path("logger-bench-%%%%-%%%%")) {
    fs::create_directories(path);
  }
  ~BenchDir() { fs::remove_all(path); }
  fs::path path;
};

void BM_DiskMediaWrite(benchmark::State& state) {
  BenchDir dir;
  ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope)
      ->setValue("Directories/VarPath", dir.path.string());
  const std::string line = benchlines::line(120, 7);
  {
    DiskMedia media;  // default bufferSize 100, rotation at 10 MiB
    for (auto _ : state) media.write(line);
    media.flush();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DiskMediaWrite);

// spdlog's rotating file sink, flushed at every message (FlushEach) or left to its buffer and
// flushed on errors only (Buffered), the like-for-like peer of our batches.
void spdlogRotatingFile(benchmark::State& state, spdlog::level::level_enum flushOn) {
  BenchDir dir;
  const std::string line = benchlines::line(120, 7);
  {
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        (dir.path / "spdlog.log").string(), 10 * 1048576, 1);
    spdlog::logger logger("bench", sink);
    logger.set_pattern("%v");
    logger.flush_on(flushOn);
    for (auto _ : state) logger.info(line);
  }
  state.SetItemsProcessed(state.iterations());
}
void BM_SpdlogRotatingFileFlushEach(benchmark::State& state) {
  spdlogRotatingFile(state, spdlog::level::trace);
}
BENCHMARK(BM_SpdlogRotatingFileFlushEach);
void BM_SpdlogRotatingFileBuffered(benchmark::State& state) {
  spdlogRotatingFile(state, spdlog::level::err);
}
BENCHMARK(BM_SpdlogRotatingFileBuffered);

}  // namespace
