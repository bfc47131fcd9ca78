// Sends gathered: sockets with bytes waiting are flushed once per round of the I/O loop,
// after the handlers that were already due have run, so that every frame queued for one
// client in that round leaves in one system call. Frames that arrived together on one
// socket are handed over one handler at a time; while such frames wait, the flush waits
// for them too (a bounded number of times, so latency stays bounded under load). Runs on
// the I/O thread only.
#ifndef VANTRIEL_SIGNAL_FLUSHER_H_
#define VANTRIEL_SIGNAL_FLUSHER_H_

#include <memory>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>

namespace vantriel::signal {

class QueuedSocket;

class Flusher {
 public:
  // `ioc` outlives this.
  explicit Flusher(boost::asio::io_context& ioc) : ioc_(ioc) {}
  Flusher(const Flusher&) = delete;
  Flusher& operator=(const Flusher&) = delete;

  // `socket` has bytes to send; `keep` holds its owner until the round's flush.
  void add(std::shared_ptr<void> keep, QueuedSocket* socket);
  // A frame already received waits for its handler (+1), or has reached it (-1).
  void frames_waiting(int delta) { waiting_ += delta; }

 private:
  static constexpr int kMaxDeferrals = 16;
  void flush();

  boost::asio::io_context& ioc_;
  std::vector<std::pair<std::shared_ptr<void>, QueuedSocket*>> due_, flushing_;
  int waiting_ = 0;
  int deferrals_ = 0;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_FLUSHER_H_
