// Locking rules that clang's -Wthread-safety checks at compile time, as LevelDB writes them:
// GUARDED_BY(mutex) on data, REQUIRES(mutex) / EXCLUDES(mutex) on functions. Other compilers
// see empty macros.
//
// libstdc++'s std::mutex carries no annotations, so classes with a std::mutex hold a Mutex (the
// same std::mutex, annotated) and lock it with MutexLock. Both are as thread-safe as std::mutex.
#pragma once

#include <mutex>

#if defined(__clang__)
#define THREAD_ANNOTATION_ATTRIBUTE(x) __attribute__((x))
#else
#define THREAD_ANNOTATION_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) THREAD_ANNOTATION_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) THREAD_ANNOTATION_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION_ATTRIBUTE(release_capability(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION_ATTRIBUTE(no_thread_safety_analysis)

// A std::mutex the analysis knows as a capability.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex.lock(); }
  void unlock() RELEASE() { mutex.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex;
};

// Holds a Mutex for its scope, like std::unique_lock: unlock() and lock() let go of it and take it
// back in between. A std::condition_variable waits on waitable(); the wait gives the mutex up and
// takes it back before it returns, so to the analysis the mutex stays held across it.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : held(mutex.mutex) {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;
  ~MutexLock() RELEASE() {}

  void lock() ACQUIRE() { held.lock(); }
  void unlock() RELEASE() { held.unlock(); }
  std::unique_lock<std::mutex>& waitable() { return held; }

 private:
  std::unique_lock<std::mutex> held;
};
