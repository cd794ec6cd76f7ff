// A payload that travels on a bus message.
//
// In-process payloads return an empty text from serialize(); a receiver reaches their content by
// a dynamic_cast to the concrete type. Payloads are owned through boost::shared_ptr only.
#pragma once

#include <string>

#include "logger/host/HostApi.h"

class HOST_API ISerializable {
 public:
  // The destructor follows serialize() in the table of virtual operations.
  virtual std::string serialize() = 0;
  virtual ~ISerializable();
};
