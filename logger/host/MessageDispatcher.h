// The process-wide message bus.
//
// send() queues a message; one delivery thread hands each message, in send order, to every sink
// subscribed to exactly its topic (twice to a sink subscribed twice). Once unsubscribe() returns,
// no delivery to that sink is running or will start, unless it is called on the delivery thread
// itself (a sink may leave from inside its own onMessage). All operations are thread-safe.
#pragma once

#include <boost/shared_ptr.hpp>
#include <string>

#include "logger/host/HostApi.h"

class IMessageSink;
class LocalMessage;

class HOST_API MessageDispatcher {
 public:
  // The dispatcher that plug-ins and clients see: the process's own unless the host installed
  // another with setInstance(), or none after setInstance(nullptr).
  static MessageDispatcher* getInstance();

  // Host side: replaces what getInstance() returns and gives back the previous one. The caller
  // keeps ownership of what it installs.
  static MessageDispatcher* setInstance(MessageDispatcher* dispatcher);

  virtual ~MessageDispatcher();
  virtual void send(boost::shared_ptr<LocalMessage> message) = 0;
  virtual void subscribe(IMessageSink* sink, const std::string& topic) = 0;
  // An empty topic removes the sink from every topic.
  virtual void unsubscribe(IMessageSink* sink, const std::string& topic) = 0;
};
