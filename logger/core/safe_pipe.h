// An unbounded, thread-safe pipe of lines from any number of writers to one reader.
//
// Shared with separately built client components, which run push() in their own code: the fields,
// their order and the locking rules below are an interface and must stay as they are. Any thread
// may push(); only the logger core's worker thread pops. The pipe is owned through shared
// references by the core and every client holding a queue reply; the last holder destroys it.
#pragma once

#include <algorithm>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/locks.hpp>
#include <boost/thread/mutex.hpp>
#include <chrono>
#include <cstddef>
#include <deque>
#include <utility>

template <typename T>
class safe_pipe {
 public:
  safe_pipe() : cancelled(false) {}
  safe_pipe(const safe_pipe&) = delete;
  safe_pipe& operator=(const safe_pipe&) = delete;

  // Appends a copy of line. Wakes the reader only when the pipe was empty, after unlocking, so
  // a burst of lines costs one wake.
  void push(const T& line) {
    T copy(line);  // copied before locking, so that writers hold the mutex only to link it in
    bool wasEmpty;
    {
      boost::mutex::scoped_lock lock(mutex);
      wasEmpty = lines.empty();
      lines.push_back(std::move(copy));
    }
    if (wasEmpty) condition.notify_one();
  }

  // Appends line itself, moved in: a line built for the pipe costs no second copy. An added
  // overload, so clients built before it keep their own push(const T&).
  void push(T&& line) {
    bool wasEmpty;
    {
      boost::mutex::scoped_lock lock(mutex);
      wasEmpty = lines.empty();
      lines.push_back(std::move(line));
    }
    if (wasEmpty) condition.notify_one();
  }

  // Blocks until a line can be taken or the pipe is cancelled. Returns true with the oldest line
  // in out; returns false, out untouched and the lines left queued, when cancelled was set (which
  // clears it). The flag takes precedence over queued lines.
  bool pop(T& out) {
    boost::mutex::scoped_lock lock(mutex);
    if (!awaitLine(lock)) return false;
    out = std::move(lines.front());
    lines.pop_front();
    return true;
  }

  // Like pop(), but takes every waiting line at once, oldest first, into out (which must be
  // empty): one lock for a whole burst. Meant for the single reader.
  bool popAll(std::deque<T>& out) {
    boost::mutex::scoped_lock lock(mutex);
    if (!awaitLine(lock)) return false;
    out.swap(lines);
    return true;
  }

  // Like popAll(), but waits only until deadline: true with out still empty when it passed with
  // no line waiting. A deadline of time_point::max() waits as popAll() does. Meant for the single
  // reader.
  bool popAllUntil(std::deque<T>& out, std::chrono::steady_clock::time_point deadline) {
    boost::mutex::scoped_lock lock(mutex);
    if (deadline == std::chrono::steady_clock::time_point::max()) {
      if (!awaitLine(lock)) return false;
    } else if (!awaitLineUntil(lock, deadline)) {
      return false;
    }
    out.swap(lines);  // empty when the deadline passed
    return true;
  }

  // Whether no line is waiting at this moment. An empty pipe says only that the reader has taken
  // every line, not that it is done with them: the logger's reader takes lines in bursts.
  bool empty() {
    boost::mutex::scoped_lock lock(mutex);
    return lines.empty();
  }

  // How many lines wait at this moment (for progress displays).
  std::size_t size() {
    boost::mutex::scoped_lock lock(mutex);
    return lines.size();
  }

  // Makes the reader's current or next pop() return false once. The logger itself never calls it.
  void cancel() {
    {
      boost::mutex::scoped_lock lock(mutex);
      cancelled = true;
    }
    condition.notify_one();
  }

 private:
  // The reader's wait, with the mutex held: true once a line waits; false when cancelled was set,
  // which it clears. The flag takes precedence over queued lines.
  bool awaitLine(boost::mutex::scoped_lock& lock) {
    while (lines.empty() && !cancelled) condition.wait(lock);
    if (!cancelled) return true;
    cancelled = false;
    return false;
  }

  // awaitLine() that gives up at deadline: true once a line waits or deadline has passed. Boost's
  // relative wait keeps its own clock, so the time left is taken again from steady_clock after
  // every wake, rounded up so that the last microsecond is not spent spinning; one wait lasts at
  // most an hour, so that no platform timer is asked for more than it holds.
  bool awaitLineUntil(boost::mutex::scoped_lock& lock,
                      std::chrono::steady_clock::time_point deadline) {
    const std::chrono::microseconds longest = std::chrono::hours(1);
    while (lines.empty() && !cancelled) {
      const auto left =
          std::chrono::ceil<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return true;
      condition.timed_wait(lock, boost::posix_time::microseconds(std::min(left, longest).count()));
    }
    if (!cancelled) return true;
    cancelled = false;
    return false;
  }

  // Guarded by mutex
  //
  // Written down here, not as GUARDED_BY/REQUIRES (logger/core/ThreadAnnotations.h): clang's
  // analysis takes those only on a mutex type marked as a capability, and boost::mutex is marked
  // only where every includer defines BOOST_THREAD_ENABLE_THREAD_SAFETY_ANALYSIS, while its
  // scoped_lock is not marked at all. The annotated Mutex would change the members that separately
  // built clients compile into push(), so the pipe keeps its Boost types and goes unchecked.
  boost::condition_variable condition;
  boost::mutex mutex;
  std::deque<T> lines;
  bool cancelled;
};
