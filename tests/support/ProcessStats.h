// What a test can count about its own process, to prove that nothing was left behind.
#pragma once

#include <cstddef>

namespace testsupport {

// The threads of this process as the system counts them now.
std::size_t threadCount();

}  // namespace testsupport
