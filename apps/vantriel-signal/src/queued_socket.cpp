#include "queued_socket.h"

#include <cstdint>

#include <boost/asio/write.hpp>

#include "flusher.h"

namespace vantriel::signal {

namespace net = boost::asio;

void QueuedSocket::append_text(std::string_view payload) {
  if (error_ || close_queued_) return;
  char header[10];
  size_t len = 2;
  header[0] = static_cast<char>(0x81);  // FIN, text
  const uint64_t size = payload.size();
  if (size < 126) {
    header[1] = static_cast<char>(size);
  } else if (size <= 0xFFFF) {
    header[1] = 126;
    header[2] = static_cast<char>(size >> 8);
    header[3] = static_cast<char>(size);
    len = 4;
  } else {
    header[1] = 127;
    for (int i = 0; i < 8; ++i) header[2 + i] = static_cast<char>(size >> (56 - 8 * i));
    len = 10;
  }
  queued_.append(header, len);
  queued_.append(payload);
  after_append();
}

void QueuedSocket::when_sent(std::function<void()> done) {
  if (unsent() == 0 || error_) {
    done();
    return;
  }
  waiting_.push_back(std::move(done));
}

void QueuedSocket::start_write(std::shared_ptr<void> keep) {
  scheduled_ = false;
  if (in_flight_ || error_ || queued_.empty()) return;
  in_flight_ = true;
  sending_.swap(queued_);
  net::async_write(socket_, net::buffer(sending_),
                   [this, keep = std::move(keep)](boost::beast::error_code ec, size_t) mutable {
                     in_flight_ = false;
                     sending_.clear();
                     // A burst to a slow reader can grow the buffer; give it back.
                     if (sending_.capacity() > (64u << 10)) std::string().swap(sending_);
                     if (ec) {
                       error_ = ec;
                       queued_.clear();
                     } else if (!queued_.empty()) {
                       schedule();  // with the rest of this round's frames
                       return;
                     }
                     auto waiting = std::move(waiting_);
                     waiting_.clear();
                     for (auto& done : waiting) done();
                   });
}

void QueuedSocket::after_append() {
  if (unsent() <= kMaxQueuedBytes) {
    schedule();
    return;
  }
  error_ = net::error::no_buffer_space;
  std::string().swap(queued_);
  if (on_overflow_) on_overflow_();
  boost::beast::error_code ignored;
  socket_.close(ignored);  // the read in progress ends with an error
}

void QueuedSocket::schedule() {
  if (scheduled_ || in_flight_) return;
  auto keep = owner_.lock();
  if (!keep) return;
  scheduled_ = true;
  flusher_.add(std::move(keep), this);
}

}  // namespace vantriel::signal
