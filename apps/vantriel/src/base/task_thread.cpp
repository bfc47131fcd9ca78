#include "base/task_thread.h"

#include "morvane/core/sync/thread_name.h"

namespace vantriel {

TaskThread::TaskThread(std::string name) : name_(std::move(name)), thread_([this] { run(); }) {}

TaskThread::~TaskThread() {
  {
    morvane::MutexLock lock(mu_);
    stopping_ = true;
    tasks_.clear();
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TaskThread::post_delayed(Task task, std::chrono::milliseconds delay) {
  {
    morvane::MutexLock lock(mu_);
    if (stopping_) return;
    tasks_.emplace(std::make_pair(Clock::now() + delay, posted_++), std::move(task));
  }
  cv_.notify_all();
}

void TaskThread::run() {
  morvane::set_current_thread_name(name_);
  morvane::MutexLock lock(mu_);
  for (;;) {
    if (stopping_) return;
    if (tasks_.empty()) {
      cv_.wait(mu_);
      continue;
    }
    auto first = tasks_.begin();
    if (first->first.first > Clock::now()) {
      cv_.wait_until(mu_, first->first.first);
      continue;
    }
    Task task = std::move(first->second);
    tasks_.erase(first);
    lock.unlock();
    task();
    lock.lock();
  }
}

}  // namespace vantriel
