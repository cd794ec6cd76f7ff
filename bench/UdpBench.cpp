// The UDP medium's write paths (one line; a burst of 64 lines, as the worker hands them) against a
// plain send-to loop of the same datagrams on the same kind of socket, a bare sendmmsg loop of
// them (this machine's limit) and spdlog's udp_sink, 120-byte lines to a loopback port that a
// drain thread empties.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <spdlog/spdlog.h>
// After spdlog.h: the sink header relies on declarations it does not include itself.
#include <spdlog/sinks/udp_sink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "bench/BenchLines.h"
#include "bench/LoopbackPort.h"
#include "logger/host/ConfigurationManager.h"
#include "logger/media/UdpMedia.h"

namespace {

using Drain = benchlines::LoopbackPort;

sockaddr_in loopback(unsigned short port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  return to;
}

void BM_UdpMediaWrite(benchmark::State& state) {
  Drain drain(true);
  ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope)
      ->setValue("TarvoLogger/Port", std::to_string(drain.port()));
  UdpMedia media;
  const std::string line = benchlines::line(120, 7);
  for (auto _ : state) media.write(line);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_UdpMediaWrite);

void BM_UdpMediaWriteBurst(benchmark::State& state) {
  Drain drain(true);
  ConfigurationManager::getDefaultInstance(ConfigurationManager::PluginScope)
      ->setValue("TarvoLogger/Port", std::to_string(drain.port()));
  UdpMedia media;
  const std::string line = benchlines::line(120, 7);
  const std::vector<const std::string*> burst(64, &line);
  std::uint64_t failed = 0;
  for (auto _ : state) media.writeBurst(burst, [&](const std::exception&) { ++failed; });
  state.SetItemsProcessed(state.iterations() * burst.size());
  state.counters["failed"] = static_cast<double>(failed);
}
BENCHMARK(BM_UdpMediaWriteBurst);

void BM_PlainSendTo(benchmark::State& state) {
  Drain drain(true);
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = loopback(drain.port());
  const std::string datagram = "1234567:1/1|" + benchlines::line(120, 7);
  for (auto _ : state) {
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PlainSendTo);

void BM_BareSendmmsg(benchmark::State& state) {
  Drain drain(true);
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to = loopback(drain.port());
  std::string datagram = "1234567:1/1|" + benchlines::line(120, 7);
  iovec piece{&datagram[0], datagram.size()};
  mmsghdr messages[64] = {};
  for (mmsghdr& m : messages) {
    m.msg_hdr.msg_name = &to;
    m.msg_hdr.msg_namelen = sizeof(to);
    m.msg_hdr.msg_iov = &piece;
    m.msg_hdr.msg_iovlen = 1;
  }
  for (auto _ : state) ::sendmmsg(fd, messages, 64, 0);
  ::close(fd);
  state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_BareSendmmsg);

void BM_SpdlogUdpSink(benchmark::State& state) {
  Drain drain(true);
  auto sink = std::make_shared<spdlog::sinks::udp_sink_mt>(
      spdlog::sinks::udp_sink_config("127.0.0.1", drain.port()));
  spdlog::logger logger("bench", sink);
  logger.set_pattern("%v");
  const std::string line = benchlines::line(120, 7);
  for (auto _ : state) logger.info(line);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogUdpSink);

}  // namespace
