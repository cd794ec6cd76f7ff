#include "tests/support/ProcessStats.h"

#include "tests/support/TestSupport.h"

namespace testsupport {

std::size_t threadCount() { return procEntries("/proc/self/task"); }

}  // namespace testsupport
