// Out-of-line members of the host's small interfaces and value classes. Defining the virtual
// destructors here gives each class one vtable and one type_info, in the host library.

#include "logger/host/CommonMessageProperties.h"
#include "logger/host/IMessageSink.h"
#include "logger/host/ISerializable.h"
#include "logger/host/LocalMessage.h"
#include "logger/host/MessageDispatcher.h"
#include "logger/host/OwnThreads.h"

ISerializable::~ISerializable() {}

namespace {
thread_local bool ownThread = false;
}  // namespace

void OwnThreads::markCurrent() { ownThread = true; }
bool OwnThreads::isCurrent() { return ownThread; }

IMessageSink::IMessageSink() : unsubscribeOnDestroy(true) {}

IMessageSink::~IMessageSink() {
  if (!unsubscribeOnDestroy) return;
  if (MessageDispatcher* dispatcher = MessageDispatcher::getInstance()) {
    dispatcher->unsubscribe(this, std::string());
  }
}

CommonMessageProperties::CommonMessageProperties() : deliveryMode(0), hopCount(0) {}

CommonMessageProperties::CommonMessageProperties(const CommonMessageProperties& other)
    : messageId(other.messageId),
      messageType(other.messageType),
      deliveryMode(other.deliveryMode),
      replyTopic(other.replyTopic),
      topic(other.topic),
      senderContext(other.senderContext),
      correlationId(other.correlationId),
      senderName(other.senderName),
      hopCount(other.hopCount) {}

CommonMessageProperties& CommonMessageProperties::operator=(const CommonMessageProperties& other) =
    default;

CommonMessageProperties::~CommonMessageProperties() {}

LocalMessage::LocalMessage(CommonMessageProperties theProperties)
    : properties(std::move(theProperties)) {}

LocalMessage::~LocalMessage() {}

const std::string& LocalMessage::getMessageType() const { return properties.messageType; }
const std::string& LocalMessage::getReplyTopic() const { return properties.replyTopic; }
const std::string& LocalMessage::getTopic() const { return properties.topic; }
const CommonMessageProperties& LocalMessage::getProperties() const { return properties; }

void LocalMessage::setPayload(boost::shared_ptr<ISerializable> thePayload) {
  payload = std::move(thePayload);
}

const boost::shared_ptr<ISerializable>& LocalMessage::getPayload() const { return payload; }
