// The threads every tray needs besides its own loop, the same on every platform: one
// short-lived thread per menu action, and the window watcher's 2-second beat. Both are
// owned and joined; neither detaches.
#ifndef MORVANE_CORE_TRAY_TRAY_THREADS_H_
#define MORVANE_CORE_TRAY_TRAY_THREADS_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <thread>

#include "morvane/core/sync/mutex.h"

namespace morvane {

// Runs each job on a thread of its own ("tray action"), so a slow one (a browser that
// takes seconds to show its window, a program run) neither blocks the tray's loop nor
// the next job. Finished threads are joined as new jobs come; the destructor joins the
// rest, so it must not run on one of them.
class ActionThreads {
 public:
  ActionThreads() = default;
  ~ActionThreads();
  ActionThreads(const ActionThreads&) = delete;
  ActionThreads& operator=(const ActionThreads&) = delete;

  void run(std::function<void()> job);
  // Joins every job's thread; later jobs are refused.
  void join_all();

 private:
  struct Job {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  morvane::Mutex mu_;
  std::list<Job> jobs_ GUARDED_BY(mu_);
  bool closed_ GUARDED_BY(mu_) = false;
};

// Calls `tick` every `period` on a thread of its own ("window watch") until stop() or
// destruction; stop() returns once the current call has finished.
class PeriodicThread {
 public:
  PeriodicThread(std::chrono::milliseconds period, std::function<void()> tick);
  ~PeriodicThread();
  PeriodicThread(const PeriodicThread&) = delete;
  PeriodicThread& operator=(const PeriodicThread&) = delete;

  void stop();

 private:
  void loop();

  const std::chrono::milliseconds period_;
  const std::function<void()> tick_;
  morvane::Mutex mu_;
  morvane::CondVar wake_;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_;
};

}  // namespace morvane

#endif  // MORVANE_CORE_TRAY_TRAY_THREADS_H_
