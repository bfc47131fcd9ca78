#include "file_writer.h"

#include <utility>

#include "bindings.h"

namespace vantriel::signal {

FileWriter::FileWriter(std::string path)
    : path_(std::move(path)), thread_([this] { run(); }) {}  // the "bindings writer"

FileWriter::~FileWriter() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void FileWriter::write(std::string text) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    waiting_ = std::move(text);
  }
  wake_.notify_one();
}

std::string FileWriter::spare() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::exchange(spare_, std::string());
}

void FileWriter::drain() {
  std::unique_lock<std::mutex> lock(mu_);
  idle_.wait(lock, [this] { return !waiting_ && !busy_; });
}

std::string FileWriter::take_error() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::exchange(error_, std::string());
}

void FileWriter::run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    wake_.wait(lock, [this] { return waiting_ || stop_; });
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
