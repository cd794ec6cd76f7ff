#include <gtest/gtest.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <fstream>
#include <thread>

#include "host/PluginLoader.h"
#include "logger/host/IComponent.h"
#include "logger/plugin/TarvoLoggerPayloads.h"
#include "platform/SharedLibrary.h"
#include "tests/support/BusProbe.h"
#include "tests/support/TestSupport.h"

namespace {

using testsupport::BusClient;
using testsupport::CountingDispatcher;
using testsupport::pluginConfig;

const std::string kType = "000udploggerplugin";

// What a register function saw.
struct Registered {
  static std::string name;
  static ComponentRegistration record;
  static int32_t answer;
  static int32_t reg(const char* typeName, const ComponentRegistration* registration) {
    name = typeName;
    record = *registration;
    return answer;
  }
};
std::string Registered::name;
ComponentRegistration Registered::record;
int32_t Registered::answer = 0;

TEST(PluginEntryTest, RegistersItsTypeAndExportsOnlyItsEntryPoints) {
  std::string error;
  SharedLibrary::Handle library = SharedLibrary::open(LOGGER_PLUGIN_PATH, error);
  ASSERT_NE(nullptr, library) << error;
  auto init = reinterpret_cast<PF_InitFunc>(SharedLibrary::symbol(library, "PF_initPlugin"));
  auto exitFunc = reinterpret_cast<PF_ExitFunc>(SharedLibrary::symbol(library, "ExitFunc"));
  ASSERT_NE(nullptr, init);
  ASSERT_NE(nullptr, exitFunc);
  EXPECT_EQ(nullptr, SharedLibrary::symbol(library, "createPlugin"));
  EXPECT_EQ(nullptr, SharedLibrary::symbol(library, "destroyPlugin"));

  HostServices services{1, 0, &Registered::reg};
  Registered::answer = 0;
  EXPECT_EQ(exitFunc, init(&services));
  EXPECT_EQ(kType, Registered::name);
  EXPECT_EQ(1, Registered::record.versionMajor);
  EXPECT_EQ(0, Registered::record.versionMinor);
  EXPECT_EQ(1, Registered::record.language);
  ASSERT_NE(nullptr, Registered::record.create);
  ASSERT_NE(nullptr, Registered::record.destroy);
  Registered::answer = 5;
  EXPECT_EQ(exitFunc, init(&services)) << "any result of zero or more is a success";
  Registered::answer = -1;
  EXPECT_EQ(nullptr, init(&services));
  HostServices noRegister{1, 0, nullptr};
  EXPECT_EQ(nullptr, init(&noRegister));
  EXPECT_EQ(nullptr, init(nullptr));
  EXPECT_EQ(0, exitFunc());
  EXPECT_EQ(0, exitFunc());
  EXPECT_EQ(0, Registered::record.destroy(nullptr));

  {
    // Created and destroyed without a start: no core, one unsubscribe with an empty topic.
    CountingDispatcher counting;
    const std::size_t threads = testsupport::threadCount();
    IComponent* component = Registered::record.create(nullptr);
    ASSERT_NE(nullptr, component);
    EXPECT_EQ(threads, testsupport::threadCount()) << "no worker before start";
    EXPECT_EQ(0, Registered::record.destroy(component));
    EXPECT_EQ(std::vector<std::string>{""}, counting.unsubscribes());
    EXPECT_TRUE(counting.subscribes().empty());
  }
  SharedLibrary::close(library);
}

class TarvoLoggerPluginTest : public ::testing::Test {
 protected:
  void SetUp() override { loader.load(LOGGER_PLUGIN_PATH); }
  IComponent* create() { return loader.create(kType); }

  boost::shared_ptr<safe_pipe<std::string>> queueOf(BusClient& client) {
    auto reply = client.request("GET_LOGGER_QUEUE");
    if (!reply) return nullptr;
    auto* data = dynamic_cast<TarvoLoggerQueueData*>(reply->getPayload().get());
    return data ? data->queue : nullptr;
  }
  std::string rawDataOf(BusClient& client) {
    auto reply = client.request("GET_RAW_DATA");
    if (!reply) return "<no reply>";
    auto* data = dynamic_cast<TarvoLoggerRawData*>(reply->getPayload().get());
    return data ? data->data : "<wrong payload>";
  }

  testsupport::CleanConfig config;
  PluginLoader loader;
};

TEST_F(TarvoLoggerPluginTest, LifecycleKeepsOneCoreWhileRunning) {
  CountingDispatcher counting;
  BusClient client;
  const std::size_t threads = testsupport::threadCount();
  IComponent* logger = create();

  testing::internal::CaptureStdout();
  logger->shutdown();  // before any start: only the line
  logger->start();
  EXPECT_EQ(threads + 1, testsupport::threadCount()) << "one worker";
  auto firstPipe = queueOf(client);
  ASSERT_NE(nullptr, firstPipe);
  logger->start();  // same core, one more subscription
  EXPECT_EQ(threads + 1, testsupport::threadCount());
  EXPECT_EQ((std::vector<std::string>{"target:/TarvoLogger", "target:/TarvoLogger"}),
            counting.subscribes());
  client.clear();
  client.send("GET_LOGGER_QUEUE", "client:/test");
  auto replies = client.settled();
  ASSERT_EQ(2u, replies.size()) << "subscribed twice, answered twice";
  for (const auto& reply : replies) {
    EXPECT_EQ(firstPipe, dynamic_cast<TarvoLoggerQueueData&>(*reply->getPayload()).queue);
  }
  EXPECT_NE(replies[0]->getPayload(), replies[1]->getPayload()) << "a payload per reply";

  firstPipe->push("a line written by the first core, then dropped with it");
  logger->shutdown();
  EXPECT_EQ(threads, testsupport::threadCountOnceItIs(threads)) << "the worker ended with the core";
  client.clear();
  client.send("GET_RAW_DATA", "client:/test");
  EXPECT_TRUE(client.settled().empty()) << "no core, no reply";
  logger->shutdown();  // twice: a second line, nothing else
  logger->start();     // a new core: a new pipe and an empty ring
  auto secondPipe = queueOf(client);
  EXPECT_NE(firstPipe, secondPipe);
  EXPECT_EQ("", rawDataOf(client));
  logger->shutdown();
  EXPECT_EQ(
      "TarvoLoggerPlugin::shutdown()\nTarvoLoggerPlugin::shutdown()\n"
      "TarvoLoggerPlugin::shutdown()\nTarvoLoggerPlugin::shutdown()\n",
      testing::internal::GetCapturedStdout());

  counting.forgetUnsubscribes();
  loader.destroy(logger);
  EXPECT_EQ(std::vector<std::string>{""}, counting.unsubscribes()) << "exactly one, empty topic";
}

TEST_F(TarvoLoggerPluginTest, NoDispatcherAtStartMeansACoreButNoSubscription) {
  BusClient client;
  const std::size_t threads = testsupport::threadCount();
  IComponent* logger = create();
  MessageDispatcher* previous = MessageDispatcher::setInstance(nullptr);
  logger->start();
  MessageDispatcher::setInstance(previous);
  EXPECT_EQ(threads + 1, testsupport::threadCount()) << "the core runs";
  client.send("GET_RAW_DATA", "client:/test");
  EXPECT_TRUE(client.settled().empty()) << "not subscribed";
  logger->start();  // now it subscribes, to the same core
  EXPECT_EQ(threads + 1, testsupport::threadCount());
  EXPECT_EQ("", rawDataOf(client));
  loader.destroy(logger);
}

TEST_F(TarvoLoggerPluginTest, DestroyingARunningComponentStopsItsCoreAndKeepsItsLines) {
  testsupport::TempDir dir;
  testsupport::hostConfig().setValue("Directories/VarPath", dir.str());
  pluginConfig().setValue("TarvoLogger/StorageFormat", "file");
  BusClient client;
  const std::size_t threads = testsupport::threadCount();
  IComponent* logger = create();
  logger->start();
  auto pipe = queueOf(client);
  ASSERT_NE(nullptr, pipe);
  pipe->push("a line pushed before the component was destroyed");
  loader.destroy(logger);  // no shutdown first
  EXPECT_EQ(threads, testsupport::threadCountOnceItIs(threads))
      << "no worker outlives the component";
  EXPECT_NE(std::string::npos, testsupport::readFile(dir.file("tarvolog.log"))
                                   .find("a line pushed before the component was destroyed"));
  client.send("GET_RAW_DATA", "client:/test");
  EXPECT_TRUE(client.settled().size() == 1u) << "only the queue reply; the component is gone";
}

TEST_F(TarvoLoggerPluginTest, RequestsAreAnsweredExactlyAndOnlyWhenUnderstood) {
  CountingDispatcher counting;
  BusClient client;
  BusClient emptyTopic("");
  IComponent* logger = create();
  client.send("GET_RAW_DATA", "client:/test");
  EXPECT_TRUE(client.settled().empty()) << "no reply before start";
  logger->start();

  auto reply = client.request("GET_LOGGER_QUEUE");
  ASSERT_NE(nullptr, reply);
  const CommonMessageProperties& p = reply->getProperties();
  EXPECT_EQ("LOGGER_QUEUE", p.messageType);
  EXPECT_EQ("client:/test", p.topic);
  EXPECT_EQ("", p.replyTopic);
  EXPECT_EQ(0, p.deliveryMode);
  EXPECT_EQ("", reply->getPayload()->serialize());
  auto pipe = dynamic_cast<TarvoLoggerQueueData&>(*reply->getPayload()).queue;
  pipe->push(
      "2026-12-07\x0bT1\x0bINFO\x0b"
      "core\x0bstored in the ring\x0bok");
  ASSERT_TRUE(testsupport::waitFor([&] { return rawDataOf(client) != ""; }));
  auto raw = client.request("GET_RAW_DATA");
  EXPECT_EQ("RAW_DATA", raw->getMessageType());
  EXPECT_EQ("", raw->getPayload()->serialize());
  EXPECT_NE(std::string::npos,
            dynamic_cast<TarvoLoggerRawData&>(*raw->getPayload()).data.find("stored in the ring"));

  client.clear();
  for (const char* type : {"get_logger_queue", "GET_LOGGER_QUEUE ", "", "GET_RAW_DATA\n"}) {
    client.send(type, "client:/test");
  }
  EXPECT_TRUE(client.settled().empty());

  client.send("GET_RAW_DATA", "");  // an empty reply topic is still answered
  emptyTopic.settled();
  auto answers = emptyTopic.settled();
  ASSERT_EQ(1u, answers.size());
  EXPECT_EQ("", answers[0]->getTopic());
  EXPECT_EQ("RAW_DATA", answers[0]->getMessageType());

  // With no dispatcher in the process a request is dropped without a reply, and nothing breaks.
  auto* sink = dynamic_cast<IMessageSink*>(logger);
  ASSERT_NE(nullptr, sink);
  CommonMessageProperties properties;
  properties.messageType = "GET_RAW_DATA";
  properties.replyTopic = "client:/test";
  MessageDispatcher* previous = MessageDispatcher::setInstance(nullptr);
  sink->onMessage(boost::shared_ptr<LocalMessage>(new LocalMessage(properties)));
  MessageDispatcher::setInstance(previous);
  sink->onMessage(nullptr);  // a null message is dropped
  logger->shutdown();
  loader.destroy(logger);
}

boost::shared_ptr<LocalMessage> request(const char* type) {
  CommonMessageProperties properties;
  properties.messageType = type;
  properties.topic = "target:/TarvoLogger";
  properties.replyTopic = "client:/nobody";  // replies are built and sent, then dropped
  return boost::shared_ptr<LocalMessage>(new LocalMessage(properties));
}

TEST_F(TarvoLoggerPluginTest, CountsAreAnsweredWhileRunningAndFinalAfterShutdown) {
  BusClient client;
  auto statsOf = [&]() -> boost::shared_ptr<TarvoLoggerStatsData> {
    auto reply = client.request("GET_LOGGER_STATS");
    if (!reply) return nullptr;
    return boost::dynamic_pointer_cast<TarvoLoggerStatsData>(reply->getPayload());
  };
  // Files in a folder that is a file: every record the disk medium buffers is lost at the end.
  testsupport::TempDir dir;
  std::ofstream(dir.file("not-a-folder")) << "x";
  testsupport::hostConfig().setValue("Directories/VarPath", dir.file("not-a-folder"));
  pluginConfig().setValue("TarvoLogger/StorageFormat", "file");
  IComponent* logger = create();
  client.send("GET_LOGGER_STATS", "client:/test");
  EXPECT_TRUE(client.settled().empty()) << "nothing to count before the first start";

  logger->start();
  auto pipe = queueOf(client);
  ASSERT_NE(nullptr, pipe);
  pipe->push("short");
  for (int i = 0; i < 3; ++i) pipe->push("a line long enough to be stored " + std::to_string(i));
  ASSERT_TRUE(testsupport::waitFor([&] {
    auto now = statsOf();
    return now && now->taken == 4;
  }));
  auto running = statsOf();
  EXPECT_EQ(1u, running->tooShort);
  EXPECT_EQ(3u, running->stored) << "buffered, not lost yet";
  EXPECT_EQ(0u, running->lost);

  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  logger->shutdown();
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  auto final = statsOf();
  ASSERT_NE(nullptr, final) << "the final counts outlive the core";
  EXPECT_EQ(4u, final->taken) << "the core's stop lines are not counted";
  EXPECT_EQ(0u, final->stored);
  EXPECT_EQ(3u, final->lost);
  EXPECT_NE(std::string::npos, final->lastError.find("not-a-folder")) << final->lastError;
  loader.destroy(logger);
}

// Requests arrive while the host starts, stops and destroys the component on another thread, on
// a ring full enough that an answer takes a while: each is answered or dropped, and none meets a
// core or a component on its way out. The component is driven first by a host that calls
// onMessage whenever it likes, then by the loader, which holds the bus's deliveries back during
// each lifecycle call.
TEST_F(TarvoLoggerPluginTest, RequestsRacingTheLifecycleAreAnsweredOrDroppedSafely) {
  pluginConfig().setValue("TarvoLogger/BufferSize", "2000");
  const ComponentRegistration& registration = loader.registration(kType);
  std::string line = "2026-12-07\x0bT1\x0bINFO\x0bcore\x0bfilling the ring\x0b";
  line += std::string(100, 'x');
  testing::internal::CaptureStdout();
  for (int round = 0; round < 40; ++round) {
    const bool byLoader = round % 2 == 1;
    IComponent* logger = byLoader ? create() : registration.create(nullptr);
    auto* sink = dynamic_cast<IMessageSink*>(logger);
    ASSERT_NE(nullptr, sink);
    logger->start();
    BusClient client;
    auto pipe = queueOf(client);
    ASSERT_NE(nullptr, pipe);
    for (int i = 0; i < 2000; ++i) pipe->push(line);
    pipe.reset();

    std::atomic<bool> done{false};
    std::thread requests([&] {
      while (!done.load()) {
        if (byLoader) {
          BusDispatcher::processInstance().send(request("GET_RAW_DATA"));
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        } else {
          sink->onMessage(request("GET_RAW_DATA"));
          sink->onMessage(request("GET_LOGGER_QUEUE"));
        }
      }
    });
    if (byLoader) {
      loader.shutdown(logger);
      loader.start(logger);
      loader.shutdown(logger);
      loader.destroy(logger);
    } else {
      logger->shutdown();
      logger->start();
      logger->shutdown();
      done = true;  // a host that calls onMessage itself must stop before it destroys
      requests.join();
      std::thread bus([&] {
        for (int i = 0; i < 200; ++i)
          BusDispatcher::processInstance().send(request("GET_RAW_DATA"));
      });
      registration.destroy(logger);
      bus.join();
    }
    done = true;
    if (requests.joinable()) requests.join();
    BusDispatcher::processInstance().drain();
  }
  testing::internal::GetCapturedStdout();
}

TEST_F(TarvoLoggerPluginTest, TheExampleClientsLinesFromSeveralThreadsAreAllStored) {
  testsupport::TempDir dir;
  testsupport::hostConfig().setValue("Directories/VarPath", dir.str());
  pluginConfig().setValue("TarvoLogger/StorageFormat", "file");
  pluginConfig().setValue("ExampleClient/Threads", "4");
  pluginConfig().setValue("ExampleClient/Lines", "2500");
  loader.load(EXAMPLE_CLIENT_PATH);
  IComponent* logger = create();
  logger->start();
  IComponent* client = loader.create("exampleclient");
  client->start();
  client->shutdown();  // waits for the pipe and joins its threads
  logger->shutdown();
  loader.destroy(client);
  loader.destroy(logger);

  std::ifstream in(dir.file("tarvolog.log"));
  std::vector<int> next(4, 0);
  std::string line;
  int total = 0;
  while (std::getline(in, line)) {
    auto at = line.find("line ");
    ASSERT_NE(std::string::npos, at) << line;
    int n = std::stoi(line.substr(at + 5));
    int t = std::stoi(line.substr(line.find("of thread ") + 10));
    ASSERT_EQ(next[t]++, n) << "thread " << t << " out of order";
    ++total;
  }
  EXPECT_EQ(10000, total);
}

}  // namespace
