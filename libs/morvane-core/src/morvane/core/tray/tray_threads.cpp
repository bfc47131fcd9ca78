#include "morvane/core/sync/mutex.h"
#include "morvane/core/sync/thread_name.h"
#include "morvane/core/tray/tray_threads.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace morvane {
namespace {

// Joining a thread from itself would hang the program for good; saying so and stopping is
// the better failure (an operation broke the contract in tray.h).
void join_from_outside(std::thread& thread, const char* what) {
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    std::fprintf(stderr, "tray: %s destroyed from its own thread\n", what);
    std::abort();
  }
  thread.join();
}

}  // namespace

ActionThreads::~ActionThreads() { join_all(); }

void ActionThreads::run(std::function<void()> job) {
  std::list<Job> finished;
  {
    morvane::MutexLock lock(mu_);
    if (closed_) return;
    for (auto it = jobs_.begin(); it != jobs_.end();) {
      auto next = std::next(it);
      if (it->done->load()) finished.splice(finished.end(), jobs_, it);
      it = next;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    // Thread: "tray action", one per job.
    jobs_.push_back({std::thread([job = std::move(job), done] {
                       set_current_thread_name("tray action");
                       job();
                       done->store(true);
                     }),
                     done});
  }
  for (auto& j : finished) join_from_outside(j.thread, "a tray action");
}

void ActionThreads::join_all() {
  std::list<Job> all;
  {
    morvane::MutexLock lock(mu_);
    closed_ = true;
    all.swap(jobs_);
  }
  for (auto& j : all) join_from_outside(j.thread, "the tray");
}

PeriodicThread::PeriodicThread(std::chrono::milliseconds period, std::function<void()> tick)
    : period_(period), tick_(std::move(tick)) {
  thread_ = std::thread([this] {
    set_current_thread_name("window watch");
    loop();
  });
}

PeriodicThread::~PeriodicThread() { stop(); }

void PeriodicThread::stop() {
  {
    morvane::MutexLock lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  join_from_outside(thread_, "the window watcher");
}

void PeriodicThread::loop() {
  morvane::MutexLock lock(mu_);
  while (!stopping_) {
    const auto due = std::chrono::steady_clock::now() + period_;
    while (!stopping_ && wake_.wait_until(mu_, due)) {
    }
    if (stopping_) break;
    lock.unlock();
    tick_();
    lock.lock();
  }
}

}  // namespace morvane
