// A client component of the logger, built apart from it against the shared headers only. The
// host calls the lifecycle operations from one thread; the reply arrives on the bus's delivery
// thread, and the pushing threads it starts are the client's own, joined by shutdown().
#pragma once

#include <boost/shared_ptr.hpp>
#include <condition_variable>
#include <string>
#include <thread>
#include <vector>

#include "logger/core/ThreadAnnotations.h"
#include "logger/core/safe_pipe.h"
#include "logger/host/IComponent.h"
#include "logger/host/IMessageSink.h"

class ExampleClient final : public IComponent, public IMessageSink {
 public:
  ExampleClient();
  ExampleClient(const ExampleClient&) = delete;
  ExampleClient& operator=(const ExampleClient&) = delete;
  ~ExampleClient() override;

  // Subscribes to a reply topic of its own and asks "target:/TarvoLogger" for the pipe.
  void start() override EXCLUDES(mutex);
  // Waits up to ten seconds for the reply and then joins the threads; a reply that comes after
  // shutdown() starts nothing.
  void shutdown() override EXCLUDES(mutex);
  void reserved() override {}
  void cleanup() override EXCLUDES(mutex);

  // On "LOGGER_QUEUE" starts "ExampleClient/Threads" threads (default 2), each writing
  // "ExampleClient/Lines" lines (default 1000) through a TarvoLog:
  //   <time>\v<thread id>\vINFO\vexample_client\vline <n> of thread <t>\vfrom the example client
  void onMessage(boost::shared_ptr<LocalMessage> message) override EXCLUDES(mutex);

 private:
  void push(int thread) EXCLUDES(mutex);

  // Constant after construction
  const std::string replyTopic;
  const unsigned threads;
  const unsigned lines;

  // Guarded by mutex
  Mutex mutex;
  std::condition_variable replied;
  boost::shared_ptr<safe_pipe<std::string>> queue GUARDED_BY(mutex);
  std::vector<std::thread> pushers GUARDED_BY(mutex);
  bool stopped GUARDED_BY(mutex) = false;  // shut down since the last start()
};
