// Replaces one file with snapshots of its content on a thread of its own (named
// "bindings writer" where it starts), so that a slow disk never stalls the I/O thread.
// Only the newest waiting snapshot is written: an older one is dropped unwritten.
#ifndef VANTRIEL_SIGNAL_FILE_WRITER_H_
#define VANTRIEL_SIGNAL_FILE_WRITER_H_

#include <optional>
#include <string>
#include <thread>

#include "morvane/core/sync/mutex.h"

namespace vantriel::signal {

class FileWriter {
 public:
  explicit FileWriter(std::string path);
  // Writes what still waits, then stops the thread.
  ~FileWriter();
  FileWriter(const FileWriter&) = delete;
  FileWriter& operator=(const FileWriter&) = delete;

  // Hands over the file's new content; returns at once.
  void write(std::string text);
  // An empty string with the capacity of one written before, if any, for the next
  // snapshot.
  std::string spare();
  // Waits until nothing is waiting or being written.
  void drain();
  // The error of the last failed write since the previous call, else empty. The caller
  // decides whether to hand over a new snapshot.
  std::string take_error();

 private:
  void run();

  const std::string path_;
  morvane::Mutex mu_;
  morvane::CondVar wake_;
  morvane::CondVar idle_;
  std::optional<std::string> waiting_ GUARDED_BY(mu_);
  std::string spare_ GUARDED_BY(mu_);
  bool busy_ GUARDED_BY(mu_) = false;
  bool stop_ GUARDED_BY(mu_) = false;
  std::string error_ GUARDED_BY(mu_);
  std::thread thread_;  // last: started once the members above exist
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_FILE_WRITER_H_
