#include "resp.h"

#include <charconv>

namespace vantriel::signal {

void append_command(std::string& out, const std::vector<std::string>& args) {
  out += '*';
  out += std::to_string(args.size());
  out += "\r\n";
  for (const std::string& a : args) {
    out += '$';
    out += std::to_string(a.size());
    out += "\r\n";
    out += a;
    out += "\r\n";
  }
}

void RespReader::feed(std::string_view bytes) {
  if (pos_ > 0 && pos_ == buffer_.size()) {
    buffer_.clear();
    pos_ = 0;
  } else if (pos_ > (1u << 16) && pos_ > buffer_.size() / 2) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  buffer_.append(bytes);
}

RespReader::Result RespReader::next(RespValue& out) {
  size_t at = pos_;
  const Result r = parse(at, out, 0);
  if (r == kValue) pos_ = at;
  return r;
}

RespReader::Result RespReader::parse(size_t& at, RespValue& out, int depth) {
  if (depth > kMaxDepth) return kBad;
  const size_t eol = buffer_.find("\r\n", at);
  if (eol == std::string::npos) return buffer_.size() - at > 65536 ? kBad : kNeedMore;
  if (eol == at) return kBad;
  const char kind = buffer_[at];
  const std::string_view line(buffer_.data() + at + 1, eol - at - 1);
  auto number = [&line](int64_t& n) {
    const auto [p, ec] = std::from_chars(line.data(), line.data() + line.size(), n);
    return ec == std::errc() && p == line.data() + line.size();
  };
  out.items.clear();
  out.str.clear();
  switch (kind) {
    case '+':
    case '-':
      out.type = kind == '+' ? RespValue::kString : RespValue::kError;
      out.str.assign(line);
      at = eol + 2;
      return kValue;
    case ':':
      out.type = RespValue::kInteger;
      if (!number(out.integer)) return kBad;
      at = eol + 2;
      return kValue;
    case '$': {
      int64_t n = 0;
      if (!number(n) || n < -1 || n > kMaxBulk) return kBad;
      if (n == -1) {
        out.type = RespValue::kNil;
        at = eol + 2;
        return kValue;
      }
      const size_t start = eol + 2;
      if (buffer_.size() < start + static_cast<size_t>(n) + 2) return kNeedMore;
      if (buffer_.compare(start + static_cast<size_t>(n), 2, "\r\n") != 0) return kBad;
      out.type = RespValue::kString;
      out.str.assign(buffer_, start, static_cast<size_t>(n));
      at = start + static_cast<size_t>(n) + 2;
      return kValue;
    }
    case '*': {
      int64_t n = 0;
      if (!number(n) || n < -1 || n > kMaxItems) return kBad;
      size_t p = eol + 2;
      if (n == -1) {
        out.type = RespValue::kNil;
        at = p;
        return kValue;
      }
      out.type = RespValue::kArray;
      // Grown as items arrive: a count alone allocates nothing.
      std::vector<RespValue> items;
      for (int64_t i = 0; i < n; ++i) {
        RespValue item;
        const Result r = parse(p, item, depth + 1);
        if (r != kValue) return r;
        items.push_back(std::move(item));
      }
      out.items = std::move(items);
      at = p;
      return kValue;
    }
    default:
      return kBad;
  }
}

}  // namespace vantriel::signal
