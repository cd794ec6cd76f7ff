// Microbenchmarks of the line path inside the media: split, line form, ring append and dump.

#include <benchmark/benchmark.h>

#include "bench/BenchLines.h"
#include "logger/host/ConfigurationManager.h"
#include "logger/media/CircularMedia.h"
#include "logger/media/LogRecord.h"

namespace {

ConfigurationManager& pluginConfig() {
  return *ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope);
}

void BM_SplitAndLineForm(benchmark::State& state) {
  const std::string line = benchlines::line(120, 42);
  LogRecord record;
  std::string out;
  for (auto _ : state) {
    record.assign(line);
    out.clear();
    record.appendLineForm(out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SplitAndLineForm);

void BM_CircularWrite(benchmark::State& state) {
  pluginConfig().setValue("TarvoLogger/BufferSize", "20");
  CircularMedia media;
  const std::string line = benchlines::line(120, 42);
  for (auto _ : state) media.write(line);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CircularWrite);

void BM_CircularDump(benchmark::State& state) {
  pluginConfig().setValue("TarvoLogger/BufferSize", std::to_string(state.range(0)));
  CircularMedia media;
  for (int64_t n = 0; n < state.range(0); ++n) media.write(benchlines::line(120, n));
  for (auto _ : state) benchmark::DoNotOptimize(media.getRawData());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CircularDump)->Arg(20)->Arg(65535)->Unit(benchmark::kMicrosecond);

}  // namespace
