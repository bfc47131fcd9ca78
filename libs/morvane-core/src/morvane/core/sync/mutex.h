// A mutex, its scoped lock and a condition variable that carry lock contracts Clang checks
// (thread_annotations.h). They are std::mutex and std::condition_variable underneath, with
// nothing added on the hot path.
//
//   morvane::Mutex mu_;
//   int count_ GUARDED_BY(mu_);
//   void add() EXCLUDES(mu_) { morvane::MutexLock lock(mu_); ++count_; }
//
// Wait in a loop that reads the guarded state under the lock, so the analysis sees the
// reads: `while (queue_.empty()) ready_.wait(mu_);`. A predicate lambda is analysed on its
// own, without the lock.
#ifndef MORVANE_CORE_SYNC_MUTEX_H_
#define MORVANE_CORE_SYNC_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "morvane/core/sync/thread_annotations.h"

namespace morvane {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }

  // Tells the analysis that the caller holds this mutex where it cannot see it taken (a
  // callback run under the lock). Checks nothing at run time.
  void assert_held() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds a Mutex for its scope. unlock() and lock() let go for a while (to call out without
// the lock) and take it back; the destructor releases it only if held.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mu_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RELEASE() {
    mu_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mu_.lock();
    held_ = true;
  }

 private:
  Mutex& mu_;
  bool held_ = true;
};

class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Each releases `mu` while it sleeps and holds it again when it returns.
  void wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> held(mu.mu_, std::adopt_lock);
    cv_.wait(held);
    held.release();
  }
  // False once `deadline` has passed.
  template <typename Clock, typename Duration>
  bool wait_until(Mutex& mu, const std::chrono::time_point<Clock, Duration>& deadline)
      REQUIRES(mu) {
    std::unique_lock<std::mutex> held(mu.mu_, std::adopt_lock);
    const bool woken = cv_.wait_until(held, deadline) == std::cv_status::no_timeout;
    held.release();
    return woken;
  }

  void notify_one() { cv_.notify_one(); }
  void notify_all() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace morvane

#endif  // MORVANE_CORE_SYNC_MUTEX_H_
