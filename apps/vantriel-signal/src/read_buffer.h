// The buffer one WebSocket message is read into, made to hold little while its
// connection is idle: most connections spend their life waiting for a ping every 25 s,
// and a read waiting on a socket holds the space prepared for it. Beast prepares
// min(1536, max_size() - size()) bytes for each read, so a message's first read gets
// kFirstRead bytes (a ping, a hello, an answer or an ICE candidate fit); a larger
// message grows the buffer as a flat_buffer would, and release() gives the storage back
// once the message has been handled. A DynamicBuffer for Beast's websocket::stream.
//
// Every connection keeps two of these, so it is a flat_buffer in 24 bytes rather than
// 48: one pointer and offsets of 32 bits (a message is far smaller than 4 GiB: the
// server's --max-frame caps it first).
#ifndef VANTRIEL_SIGNAL_READ_BUFFER_H_
#define VANTRIEL_SIGNAL_READ_BUFFER_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <boost/asio/buffer.hpp>

namespace vantriel::signal {

class ReadBuffer {
 public:
  using const_buffers_type = boost::asio::const_buffer;
  using mutable_buffers_type = boost::asio::mutable_buffer;

  static constexpr size_t kFirstRead = 512;
  static constexpr size_t kMaxSize = std::numeric_limits<uint32_t>::max();

  ReadBuffer() = default;
  ReadBuffer(const ReadBuffer&) = delete;
  ReadBuffer& operator=(const ReadBuffer&) = delete;
  ~ReadBuffer() { delete[] begin_; }

  size_t size() const { return out_ - in_; }
  size_t max_size() const { return size() == 0 ? kFirstRead : kMaxSize; }
  size_t capacity() const { return end_; }
  const_buffers_type data() const { return {begin_ + in_, size()}; }
  const_buffers_type cdata() const { return data(); }

  // As flat_buffer::prepare: in the space after the data, else after moving the data to
  // the front, else in a new block of twice the data or the data and `n`, if larger.
  mutable_buffers_type prepare(size_t n) {
    const size_t len = size();
    if (n > end_ - out_) {
      if (n > kMaxSize - len) throw std::length_error("ReadBuffer too long");
      if (n <= end_ - len) {
        if (len > 0) std::memmove(begin_, begin_ + in_, len);
      } else {
        const size_t grown = std::min(kMaxSize, std::max(2 * len, len + n));
        char* p = new char[grown];
        if (len > 0) std::memcpy(p, begin_ + in_, len);
        delete[] begin_;
        begin_ = p;
        end_ = static_cast<uint32_t>(grown);
      }
      in_ = 0;
      out_ = static_cast<uint32_t>(len);
    }
    last_ = out_ + static_cast<uint32_t>(n);
    return {begin_ + out_, n};
  }
  void commit(size_t n) { out_ += static_cast<uint32_t>(std::min<size_t>(n, last_ - out_)); }
  void consume(size_t n) {
    if (n >= size()) {
      in_ = out_ = last_ = 0;
      return;
    }
    in_ += static_cast<uint32_t>(n);
  }

  // Empties the buffer and gives its storage back.
  void release() {
    delete[] begin_;
    begin_ = nullptr;
    in_ = out_ = last_ = end_ = 0;
  }

 private:
  char* begin_ = nullptr;
  // Offsets from begin_: the data is [in_, out_), the space prepared [out_, last_), the
  // storage ends at end_.
  uint32_t in_ = 0;
  uint32_t out_ = 0;
  uint32_t last_ = 0;
  uint32_t end_ = 0;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_READ_BUFFER_H_
