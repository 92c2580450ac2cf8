// A process-local lock and its scoped guard: guards the hardware-status object's device lists and serialises the
// calls into the install engine.
#pragma once

#include <mutex>

class ThreadMutex {
 public:
  ThreadMutex() = default;
  ThreadMutex(const ThreadMutex&) = delete;
  ThreadMutex& operator=(const ThreadMutex&) = delete;
  void enter() { section_.lock(); }
  void leave() { section_.unlock(); }

 private:
  std::recursive_mutex section_;  // a critical section: the owning thread may enter again
};

class ThreadMutexGuard {
 public:
  explicit ThreadMutexGuard(ThreadMutex& mutex) : mutex_(mutex) {
    mutex_.enter();
    locked_ = true;
  }
  ~ThreadMutexGuard() {
    if (locked_) mutex_.leave();
    locked_ = false;
  }
  ThreadMutexGuard(const ThreadMutexGuard&) = delete;
  ThreadMutexGuard& operator=(const ThreadMutexGuard&) = delete;

 private:
  ThreadMutex& mutex_;
  bool locked_ = false;
};
