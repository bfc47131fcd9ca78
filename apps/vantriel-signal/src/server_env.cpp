#include "server_env.h"

#include <memory>

#include <boost/asio/steady_timer.hpp>

#include "log.h"

namespace vantriel::signal {

std::chrono::steady_clock::time_point ServerEnv::now() { return std::chrono::steady_clock::now(); }

int64_t ServerEnv::unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void ServerEnv::after(std::chrono::milliseconds delay, std::function<void()> task) {
  auto timer = std::make_shared<boost::asio::steady_timer>(ioc_, delay);
  timer->async_wait([timer, task = std::move(task)](const boost::system::error_code& ec) {
    if (!ec) task();
  });
}

void ServerEnv::log(const std::string& line) { log_line(line); }

}  // namespace vantriel::signal
