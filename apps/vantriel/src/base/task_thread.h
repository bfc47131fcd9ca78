// A thread of its own that runs tasks one after the other, in the order they were posted
// (a delayed task when its time comes). Services that must not block their caller (a
// request worker, the tray's message loop) hand their slow work to one: starting a
// browser, an update check, the exit.
//
// The destructor drops the tasks that have not started, waits for the running one and
// joins the thread; a task must therefore not wait for its own TaskThread to end.
#ifndef VANTRIEL_BASE_TASK_THREAD_H_
#define VANTRIEL_BASE_TASK_THREAD_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>

#include "morvane/core/sync/mutex.h"

namespace vantriel {

class TaskThread {
 public:
  using Task = std::function<void()>;

  // `name` is what the thread is called in logs, debuggers and the system's thread lists
  // (set_current_thread_name).
  explicit TaskThread(std::string name);
  ~TaskThread();
  TaskThread(const TaskThread&) = delete;
  TaskThread& operator=(const TaskThread&) = delete;

  // Callable from any thread, the task thread included.
  void post(Task task) { post_delayed(std::move(task), std::chrono::milliseconds(0)); }
  void post_delayed(Task task, std::chrono::milliseconds delay) EXCLUDES(mu_);

  const std::string& name() const { return name_; }
  bool on_task_thread() const { return std::this_thread::get_id() == thread_.get_id(); }

 private:
  using Clock = std::chrono::steady_clock;
  void run() EXCLUDES(mu_);

  const std::string name_;
  morvane::Mutex mu_;
  morvane::CondVar cv_;
  // Keyed by due time, then by posting order, so equal times run in the posted order.
  std::map<std::pair<Clock::time_point, std::uint64_t>, Task> tasks_ GUARDED_BY(mu_);
  std::uint64_t posted_ GUARDED_BY(mu_) = 0;
  bool stopping_ GUARDED_BY(mu_) = false;
  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace vantriel

#endif  // VANTRIEL_BASE_TASK_THREAD_H_
