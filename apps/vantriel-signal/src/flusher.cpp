#include "flusher.h"

#include <boost/asio/post.hpp>

#include "queued_socket.h"

namespace vantriel::signal {

void Flusher::add(std::shared_ptr<void> keep, QueuedSocket* socket) {
  if (due_.empty()) boost::asio::post(ioc_, [this] { flush(); });
  due_.emplace_back(std::move(keep), socket);
}

void Flusher::flush() {
  if (waiting_ > 0 && deferrals_ < kMaxDeferrals) {
    ++deferrals_;
    boost::asio::post(ioc_, [this] { flush(); });
    return;
  }
  deferrals_ = 0;
  flushing_.swap(due_);
  for (auto& [keep, socket] : flushing_) socket->start_write(std::move(keep));
  flushing_.clear();
}

}  // namespace vantriel::signal
