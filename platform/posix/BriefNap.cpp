#include "platform/BriefNap.h"

#include <thread>

bool BriefNap::take(std::chrono::microseconds length) {
  std::this_thread::sleep_for(length);
  return true;
}
