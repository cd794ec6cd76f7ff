// One in-process bus message: properties plus an optional payload.
//
// Messages travel as boost::shared_ptr<LocalMessage>. A message is filled by its sender before
// send() and only read afterwards, so readers on other threads need no lock.
#pragma once

#include <boost/shared_ptr.hpp>
#include <string>

#include "logger/host/CommonMessageProperties.h"
#include "logger/host/HostApi.h"
#include "logger/host/ISerializable.h"

class HOST_API LocalMessage {
 public:
  explicit LocalMessage(CommonMessageProperties properties);
  virtual ~LocalMessage();

  LocalMessage(const LocalMessage&) = delete;
  LocalMessage& operator=(const LocalMessage&) = delete;

  const std::string& getMessageType() const;
  const std::string& getReplyTopic() const;
  const std::string& getTopic() const;
  const CommonMessageProperties& getProperties() const;

  // The message keeps the reference for as long as it lives.
  void setPayload(boost::shared_ptr<ISerializable> payload);
  const boost::shared_ptr<ISerializable>& getPayload() const;

 private:
  CommonMessageProperties properties;
  boost::shared_ptr<ISerializable> payload;
};
