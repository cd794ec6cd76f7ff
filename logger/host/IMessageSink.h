// A receiver of bus messages.
//
// The dispatcher calls onMessage() on its delivery thread. When unsubscribeOnDestroy is set (the
// constructor sets it), the destructor removes the sink from every topic, so no delivery reaches a
// destroyed sink; with no dispatcher in the process there is nothing to leave and nothing is
// called.
#pragma once

#include <boost/shared_ptr.hpp>

#include "logger/host/HostApi.h"

class LocalMessage;

class HOST_API IMessageSink {
 public:
  IMessageSink();
  virtual ~IMessageSink();
  virtual void onMessage(boost::shared_ptr<LocalMessage> message) = 0;

  bool unsubscribeOnDestroy;
};
