#include "input/recording_sink.h"

namespace vantriel {

void RecordingSink::send(std::span<const InputRecord> records) {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.emplace_back(records.begin(), records.end());
}

std::vector<std::vector<InputRecord>> RecordingSink::calls() const {
  std::lock_guard<std::mutex> lock(mu_);
  return calls_;
}

std::vector<InputRecord> RecordingSink::records() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<InputRecord> out;
  for (const auto& call : calls_) out.insert(out.end(), call.begin(), call.end());
  return out;
}

void RecordingSink::clear() {
  std::lock_guard<std::mutex> lock(mu_);
  calls_.clear();
}

std::string records_to_json_line(std::span<const InputRecord> records) {
  std::string out = "[";
  for (const InputRecord& r : records) {
    if (out.size() > 1) out += ',';
    if (r.type == InputRecord::Type::kMouse) {
      out += "{\"type\":\"mouse\",\"dx\":" + std::to_string(r.dx) +
             ",\"dy\":" + std::to_string(r.dy) + ",\"data\":" + std::to_string(r.mouse_data) +
             ",\"flags\":" + std::to_string(r.flags) + "}";
    } else {
      out += "{\"type\":\"key\",\"vk\":" + std::to_string(r.vk) +
             ",\"scan\":" + std::to_string(r.scan) + ",\"flags\":" + std::to_string(r.flags) +
             "}";
    }
  }
  out += "]";
  return out;
}

FileRecordingSink::FileRecordingSink(const std::string& path)
    : file_(std::fopen(path.c_str(), "ab")) {}

FileRecordingSink::~FileRecordingSink() {
  finish();
  if (file_ != nullptr) std::fclose(file_);
}

void FileRecordingSink::send(std::span<const InputRecord> records) {
  const std::string line = records_to_json_line(records) + "\n";
  std::lock_guard<std::mutex> lock(mu_);
  pending_ += line;
}

void FileRecordingSink::finish() {
  std::lock_guard<std::mutex> lock(mu_);
  if (file_ != nullptr && !pending_.empty()) {
    std::fwrite(pending_.data(), 1, pending_.size(), file_);
    std::fflush(file_);
  }
  pending_.clear();
}

}  // namespace vantriel
