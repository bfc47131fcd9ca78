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

void QueuedSocket::follow(const unsigned char* p, size_t n) {
  auto frame_read = [this] {
    if (!ends_message_) return;
    ++messages_;
    message_end_ = offset_;
  };
  while (n > 0) {
    if (payload_left_ > 0) {
      const size_t k = static_cast<size_t>(std::min<uint64_t>(payload_left_, n));
      payload_left_ -= k;
      offset_ += k;
      p += k;
      n -= k;
      if (payload_left_ == 0) frame_read();
      continue;
    }
    header_[header_len_++] = *p++;
    ++offset_;
    --n;
    if (header_len_ < 2) continue;
    const unsigned len7 = header_[1] & 0x7f;
    const size_t need = 2 + (len7 == 126 ? 2 : len7 == 127 ? 8 : 0) + (header_[1] & 0x80 ? 4 : 0);
    if (header_len_ < need) continue;
    uint64_t len = len7;
    if (len7 >= 126) {
      len = 0;
      for (size_t i = 2; i < (len7 == 126 ? 4u : 10u); ++i) len = (len << 8) | header_[i];
    }
    ends_message_ = (header_[0] & 0x80) != 0 && (header_[0] & 0x0f) < 8;
    header_len_ = 0;
    payload_left_ = len;
    if (payload_left_ == 0) frame_read();
  }
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
                     // Most connections are idle between writes: they keep no storage.
                     std::string().swap(sending_);
                     if (queued_.empty()) std::string().swap(queued_);
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
  if (owner_ != nullptr) owner_->overflowed();
  boost::beast::error_code ignored;
  socket_.close(ignored);  // the read in progress ends with an error
}

void QueuedSocket::schedule() {
  if (scheduled_ || in_flight_) return;
  if (owner_ == nullptr) return;
  auto keep = owner_->hold();
  if (!keep) return;
  scheduled_ = true;
  flusher_.add(std::move(keep), this);
}

}  // namespace vantriel::signal
