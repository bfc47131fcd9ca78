// The one node's bindings (bindings.h) and the thread that writes their file
// (file_writer.h): changed on the I/O thread, flushed now and then without waiting for
// the disk, and drained before the server stops.
#ifndef VANTRIEL_SIGNAL_BINDINGS_FILE_H_
#define VANTRIEL_SIGNAL_BINDINGS_FILE_H_

#include <string>

#include "bindings.h"
#include "file_writer.h"

namespace vantriel::signal {

class BindingsFile {
 public:
  explicit BindingsFile(const std::string& path) : store_(path), writer_(path) {}

  BindingStore& store() { return store_; }
  // Hands a snapshot to the writer when the bindings changed; a failed write is tried
  // again with the next snapshot.
  void flush();
  // Before stopping: everything reaches the disk.
  void flush_now();

 private:
  BindingStore store_;
  FileWriter writer_;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_BINDINGS_FILE_H_
