// End to end through the core: lines per second from the first push to the end of the
// destructor's drain, from 1 or 2 pushing threads, into each medium (120-byte lines).

#include <benchmark/benchmark.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <thread>
#include <vector>

#include "bench/BenchLines.h"
#include "logger/core/MainLoggerCore.h"
#include "logger/host/ConfigurationManager.h"

namespace {

constexpr int kLines = 200000;
const char* const kFormats[] = {"circular", "file", "udp"};

void BM_CoreEndToEnd(benchmark::State& state) {
  const char* format = kFormats[state.range(0)];
  const int threads = static_cast<int>(state.range(1));
  auto dir = boost::filesystem::temp_directory_path() /
             boost::filesystem::unique_path("logger-bench-%%%%-%%%%");
  boost::filesystem::create_directories(dir);
  ConfigurationManager::getDefaultInstance(ConfigurationManager::HostScope)
      ->setValue("Directories/VarPath", dir.string());
  ConfigurationManager& plugin =
      *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope);
  plugin.setValue("TarvoLogger/StorageFormat", format);
  plugin.setValue("TarvoLogger/MaxFileSize", "100000");
  plugin.setValue("TarvoLogger/Port", "9");  // discard port on loopback; nothing listens

  std::vector<std::string> lines;
  for (int i = 0; i < kLines; ++i) lines.push_back(benchlines::line(120, i));
  for (auto _ : state) {
    auto* core = new MainLoggerCore();
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> pushers;
    for (int t = 0; t < threads; ++t) {
      pushers.emplace_back([&, t] {
        auto pipe = core->getQueue();
        for (int i = t; i < kLines; i += threads) pipe->push(lines[i]);
      });
    }
    for (auto& p : pushers) p.join();
    delete core;
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetItemsProcessed(state.iterations() * kLines);
  state.SetLabel(format);
  boost::filesystem::remove_all(dir);
}
BENCHMARK(BM_CoreEndToEnd)
    ->ArgsProduct({{0, 1, 2}, {1, 2}})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

}  // namespace
