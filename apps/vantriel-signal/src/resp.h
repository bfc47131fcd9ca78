// RESP2, the protocol Redis speaks: commands written as arrays of bulk strings, replies
// read incrementally from whatever bytes have arrived. No I/O here (redis_link.h does it).
#ifndef VANTRIEL_SIGNAL_RESP_H_
#define VANTRIEL_SIGNAL_RESP_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantriel::signal {

struct RespValue {
  enum Type { kNil, kString, kError, kInteger, kArray };
  Type type = kNil;
  std::string str;  // kString, kError
  int64_t integer = 0;
  std::vector<RespValue> items;  // kArray
  bool is_error() const { return type == kError; }
};

// Appends one command: an array of bulk strings, binary-safe.
void append_command(std::string& out, const std::vector<std::string>& args);

class RespReader {
 public:
  enum Result { kValue, kNeedMore, kBad };
  void feed(std::string_view bytes);
  // The next complete reply. kBad: the stream is not RESP (or past the limits below);
  // the connection must be dropped.
  Result next(RespValue& out);
  void clear() {
    buffer_.clear();
    pos_ = 0;
  }

  static constexpr int64_t kMaxBulk = 64 << 20;
  static constexpr int64_t kMaxItems = 1 << 20;
  static constexpr int kMaxDepth = 8;

 private:
  Result parse(size_t& at, RespValue& out, int depth);
  std::string buffer_;
  size_t pos_ = 0;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_RESP_H_
