// The header of a bus message: its type, where it goes, and where answers go.
//
// A value type; the plug-in default-constructs one, sets messageType, deliveryMode, replyTopic and
// topic directly, and hands a copy to a LocalMessage.
#pragma once

#include <boost/shared_ptr.hpp>
#include <string>

#include "logger/host/HostApi.h"
#include "logger/host/UUId.h"

class HOST_API CommonMessageProperties {
 public:
  CommonMessageProperties();
  CommonMessageProperties(const CommonMessageProperties& other);
  CommonMessageProperties& operator=(const CommonMessageProperties& other);
  virtual ~CommonMessageProperties();

  // Members in this order; the copy constructor copies them one by one in the same order.
  UUId messageId;
  std::string messageType;
  int deliveryMode;  // the host's; replies from the logger always carry 0
  std::string replyTopic;
  std::string topic;
  boost::shared_ptr<void> senderContext;  // opaque to plug-ins
  UUId correlationId;
  std::string senderName;
  int hopCount;
};
