// Closes connections that stay silent for the idle time-out with one timer for the whole
// server instead of one per connection: an idle connection then holds two links and a time
// instead of a timer and its pending wait (about 170 bytes of every idle host).
//
// The watched connections form a list in the order they last heard from their client, so
// the oldest is always first: hearing moves a connection to the back (a few pointer
// writes, no timer operation), and the one timer waits for the first one's deadline. When
// it fires, every connection past its deadline leaves the list and is told; a connection
// that heard meanwhile is simply no longer first, and the timer waits for the new first.
// Runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_IDLE_WATCH_H_
#define VANTRIEL_SIGNAL_IDLE_WATCH_H_

#include <chrono>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

namespace vantriel::signal {

class IdleWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // A watched connection derives from this.
  class Member {
   public:
    // Its deadline passed: it has left the watch and must close.
    virtual void idle_expired() = 0;

   protected:
    Member() = default;
    virtual ~Member() = default;

   private:
    friend class IdleWatch;
    Member* prev_ = nullptr;
    Member* next_ = nullptr;
    IdleWatch* watch_ = nullptr;  // while in the list
    Clock::time_point heard_{};
  };

  IdleWatch(boost::asio::io_context& ioc, Clock::duration timeout);
  // Members still listed leave the watch untouched; they may outlive it.
  ~IdleWatch();
  IdleWatch(const IdleWatch&) = delete;
  IdleWatch& operator=(const IdleWatch&) = delete;

  // `m` heard from its client at `now`: it joins the watch, or moves to its back.
  void heard(Member& m, Clock::time_point now);
  // `m` leaves the watch (closing, or destroyed); nothing if it is not in it.
  static void forget(Member& m);

 private:
  void unlink(Member& m);
  void arm();
  void expire();

  boost::asio::steady_timer timer_;
  const Clock::duration timeout_;
  Member* first_ = nullptr;  // heard longest ago
  Member* last_ = nullptr;
  bool armed_ = false;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_IDLE_WATCH_H_
