#include "logger/core/WorkerErrorReporter.h"

void WorkerErrorReporter::report(const char* operation, const std::string& error) {
  std::string message = std::string(operation) + " failed: " + error;
  if (times_ > 0 && message == last_) {
    ++times_;
    if (times_ == nextCountAt_) {
      std::fprintf(out_, "%s%s (%llu times so far)\n", kPrefix, last_.c_str(),
                   static_cast<unsigned long long>(times_));
      std::fflush(out_);
      nextCountAt_ *= 10;
    }
    return;
  }
  finish();
  last_ = std::move(message);
  times_ = 1;
  nextCountAt_ = 10;
  std::fprintf(out_, "%s%s\n", kPrefix, last_.c_str());
  std::fflush(out_);
}

void WorkerErrorReporter::finish() {
  if (times_ > 1 && times_ * 10 != nextCountAt_) {
    std::fprintf(out_, "%s%s (repeated %llu times in all)\n", kPrefix, last_.c_str(),
                 static_cast<unsigned long long>(times_));
    std::fflush(out_);
  }
  times_ = 0;
  last_.clear();
}
