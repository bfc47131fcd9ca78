#include "idle_watch.h"

namespace vantriel::signal {

IdleWatch::IdleWatch(boost::asio::io_context& ioc, Clock::duration timeout)
    : timer_(ioc), timeout_(timeout) {}

IdleWatch::~IdleWatch() {
  for (Member* m = first_; m != nullptr;) {
    Member* next = m->next_;
    m->prev_ = m->next_ = nullptr;
    m->watch_ = nullptr;
    m = next;
  }
}

void IdleWatch::heard(Member& m, Clock::time_point now) {
  m.heard_ = now;
  if (m.watch_ == this && last_ == &m) return;  // already last: the common case of a chat
  if (m.watch_ != nullptr) m.watch_->unlink(m);
  m.watch_ = this;
  m.prev_ = last_;
  m.next_ = nullptr;
  (last_ != nullptr ? last_->next_ : first_) = &m;
  last_ = &m;
  arm();
}

void IdleWatch::forget(Member& m) {
  if (m.watch_ != nullptr) m.watch_->unlink(m);
}

void IdleWatch::unlink(Member& m) {
  (m.prev_ != nullptr ? m.prev_->next_ : first_) = m.next_;
  (m.next_ != nullptr ? m.next_->prev_ : last_) = m.prev_;
  m.prev_ = m.next_ = nullptr;
  m.watch_ = nullptr;
}

void IdleWatch::arm() {
  if (armed_ || first_ == nullptr) return;
  armed_ = true;
  timer_.expires_at(first_->heard_ + timeout_);
  timer_.async_wait([this](const boost::system::error_code& ec) {
    if (ec) return;  // the watch is going away with the server
    armed_ = false;
    expire();
  });
}

void IdleWatch::expire() {
  const Clock::time_point now = Clock::now();
  while (first_ != nullptr && first_->heard_ + timeout_ <= now) {
    Member& m = *first_;
    unlink(m);
    m.idle_expired();
  }
  arm();
}

}  // namespace vantriel::signal
