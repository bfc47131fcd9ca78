// The hub's surroundings as the server gives them: the system clocks, timers on the
// I/O thread and the log.
#ifndef VANTRIEL_SIGNAL_SERVER_ENV_H_
#define VANTRIEL_SIGNAL_SERVER_ENV_H_

#include <boost/asio/io_context.hpp>

#include "hub_env.h"

namespace vantriel::signal {

class ServerEnv : public HubEnv {
 public:
  // `ioc` outlives this; its timers keep their tasks until they run or it goes.
  explicit ServerEnv(boost::asio::io_context& ioc) : ioc_(ioc) {}

  std::chrono::steady_clock::time_point now() override;
  int64_t unix_now() override;
  void after(std::chrono::milliseconds delay, std::function<void()> task) override;
  void log(const std::string& line) override;

 private:
  boost::asio::io_context& ioc_;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_SERVER_ENV_H_
