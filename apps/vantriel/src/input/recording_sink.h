// Sinks that record instead of injecting: in memory for unit tests, or as one JSON line
// per SendInput call in a file for tests that drive the whole program.
#ifndef VANTRIEL_INPUT_RECORDING_SINK_H_
#define VANTRIEL_INPUT_RECORDING_SINK_H_

#include <cstdio>
#include <string>
#include <vector>

#include "input/input_sink.h"
#include "morvane/core/sync/mutex.h"

namespace vantriel {

class RecordingSink : public InputSink {
 public:
  void send(std::span<const InputRecord> records) override;

  // Every call so far, each as the records it carried.
  std::vector<std::vector<InputRecord>> calls() const;
  // Every record so far, calls flattened.
  std::vector<InputRecord> records() const;
  void clear();

 private:
  mutable morvane::Mutex mu_;
  std::vector<std::vector<InputRecord>> calls_ GUARDED_BY(mu_);
};

// One call as a JSON array, e.g.
//   [{"type":"mouse","dx":0,"dy":65535,"data":0,"flags":49153},
//    {"type":"key","vk":0,"scan":28,"flags":8}]
std::string records_to_json_line(std::span<const InputRecord> records);

// Appends one line per call to a file. Lines are written at the end of each batch
// (finish), so a reader sees every call of every batch that has returned, and a batch
// costs one write. Calls that cannot be written are dropped.
class FileRecordingSink : public InputSink {
 public:
  explicit FileRecordingSink(const std::string& path);
  ~FileRecordingSink() override;
  FileRecordingSink(const FileRecordingSink&) = delete;
  FileRecordingSink& operator=(const FileRecordingSink&) = delete;

  void send(std::span<const InputRecord> records) override;
  void finish() override;

 private:
  morvane::Mutex mu_;
  std::FILE* file_ GUARDED_BY(mu_) = nullptr;
  std::string pending_ GUARDED_BY(mu_);
};

}  // namespace vantriel

#endif  // VANTRIEL_INPUT_RECORDING_SINK_H_
