// The buffer one WebSocket message is read into, made to hold little while its
// connection is idle: most connections spend their life waiting for a ping every 25 s,
// and a read waiting on a socket holds the space prepared for it. Beast prepares
// min(1536, max_size() - size()) bytes for each read, so a message's first read gets
// kFirstRead bytes (a ping, a hello, an answer or an ICE candidate fit); a larger
// message grows the buffer as a flat_buffer would, and release() gives the storage back
// once the message has been handled. A DynamicBuffer for Beast's websocket::stream.
#ifndef VANTRIEL_SIGNAL_READ_BUFFER_H_
#define VANTRIEL_SIGNAL_READ_BUFFER_H_

#include <cstddef>

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/flat_buffer.hpp>

namespace vantriel::signal {

class ReadBuffer {
 public:
  using const_buffers_type = boost::beast::flat_buffer::const_buffers_type;
  using mutable_buffers_type = boost::beast::flat_buffer::mutable_buffers_type;

  static constexpr size_t kFirstRead = 512;

  size_t size() const { return buffer_.size(); }
  size_t max_size() const { return buffer_.size() == 0 ? kFirstRead : buffer_.max_size(); }
  size_t capacity() const { return buffer_.capacity(); }
  const_buffers_type data() const { return buffer_.data(); }
  const_buffers_type cdata() const { return buffer_.cdata(); }
  mutable_buffers_type prepare(size_t n) { return buffer_.prepare(n); }
  void commit(size_t n) { buffer_.commit(n); }
  void consume(size_t n) { buffer_.consume(n); }

  // Empties the buffer and gives its storage back.
  void release() {
    buffer_.clear();
    buffer_.shrink_to_fit();
  }

 private:
  boost::beast::flat_buffer buffer_;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_READ_BUFFER_H_
