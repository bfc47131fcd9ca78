#include "file_writer.h"

#include <utility>

#include "bindings.h"
#include "morvane/core/sync/mutex.h"
#include "morvane/core/sync/thread_name.h"

namespace vantriel::signal {

FileWriter::FileWriter(std::string path)
    : path_(std::move(path)), thread_([this] {
        morvane::set_current_thread_name("bindings writer");
        run();
      }) {}

FileWriter::~FileWriter() {
  {
    morvane::MutexLock lock(mu_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void FileWriter::write(std::string text) {
  {
    morvane::MutexLock lock(mu_);
    waiting_ = std::move(text);
  }
  wake_.notify_one();
}

std::string FileWriter::spare() {
  morvane::MutexLock lock(mu_);
  return std::exchange(spare_, std::string());
}

void FileWriter::drain() {
  morvane::MutexLock lock(mu_);
  while (waiting_ || busy_) idle_.wait(mu_);
}

std::string FileWriter::take_error() {
  morvane::MutexLock lock(mu_);
  return std::exchange(error_, std::string());
}

void FileWriter::run() {
  morvane::MutexLock lock(mu_);
  for (;;) {
    while (!waiting_ && !stop_) wake_.wait(mu_);
    if (!waiting_) return;  // stopping with nothing left to write
    std::string text = std::move(*waiting_);
    waiting_.reset();
    busy_ = true;
    lock.unlock();
    const auto st = BindingStore::write_file(path_, text);
    lock.lock();
    text.clear();
    spare_ = std::move(text);
    busy_ = false;
    if (!st) error_ = st.error();
    if (!waiting_) idle_.notify_all();
  }
}

}  // namespace vantriel::signal
