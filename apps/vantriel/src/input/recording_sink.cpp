#include "input/recording_sink.h"
#include "morvane/core/sync/mutex.h"

#include <charconv>
#include <cstdint>

namespace vantriel {

void RecordingSink::send(std::span<const InputRecord> records) {
  morvane::MutexLock lock(mu_);
  calls_.emplace_back(records.begin(), records.end());
}

std::vector<std::vector<InputRecord>> RecordingSink::calls() const {
  morvane::MutexLock lock(mu_);
  return calls_;
}

std::vector<InputRecord> RecordingSink::records() const {
  morvane::MutexLock lock(mu_);
  std::vector<InputRecord> out;
  for (const auto& call : calls_) out.insert(out.end(), call.begin(), call.end());
  return out;
}

void RecordingSink::clear() {
  morvane::MutexLock lock(mu_);
  calls_.clear();
}

namespace {

void append_number(std::string& out, int64_t value) {
  char digits[24];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
  (void)error;  // 24 characters hold every int64
  out.append(digits, end);
}

// Appends one call as records_to_json_line writes it.
void append_records(std::string& out, std::span<const InputRecord> records) {
  out += '[';
  bool first = true;
  for (const InputRecord& r : records) {
    if (!first) out += ',';
    first = false;
    if (r.type == InputRecord::Type::kMouse) {
      out += "{\"type\":\"mouse\",\"dx\":";
      append_number(out, r.dx);
      out += ",\"dy\":";
      append_number(out, r.dy);
      out += ",\"data\":";
      append_number(out, r.mouse_data);
      out += ",\"flags\":";
      append_number(out, r.flags);
    } else {
      out += "{\"type\":\"key\",\"vk\":";
      append_number(out, r.vk);
      out += ",\"scan\":";
      append_number(out, r.scan);
      out += ",\"flags\":";
      append_number(out, r.flags);
    }
    out += '}';
  }
  out += ']';
}

}  // namespace

std::string records_to_json_line(std::span<const InputRecord> records) {
  std::string out;
  append_records(out, records);
  return out;
}

FileRecordingSink::FileRecordingSink(const std::string& path)
    : file_(std::fopen(path.c_str(), "ab")) {}

FileRecordingSink::~FileRecordingSink() {
  finish();
  if (file_ != nullptr) std::fclose(file_);
}

void FileRecordingSink::send(std::span<const InputRecord> records) {
  morvane::MutexLock lock(mu_);
  append_records(pending_, records);
  pending_ += '\n';
}

void FileRecordingSink::finish() {
  morvane::MutexLock lock(mu_);
  if (file_ != nullptr && !pending_.empty()) {
    std::fwrite(pending_.data(), 1, pending_.size(), file_);
    std::fflush(file_);
  }
  pending_.clear();  // keeps its capacity for the next batch
}

}  // namespace vantriel
