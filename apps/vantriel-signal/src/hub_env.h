// What the hub needs from its surroundings: the server's clock, timers and log, or a
// test's.
#ifndef VANTRIEL_SIGNAL_HUB_ENV_H_
#define VANTRIEL_SIGNAL_HUB_ENV_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vantriel::signal {

class HubEnv {
 public:
  virtual ~HubEnv() = default;
  virtual std::chrono::steady_clock::time_point now() = 0;
  virtual int64_t unix_now() = 0;
  virtual void after(std::chrono::milliseconds delay, std::function<void()> task) = 0;
  virtual void log(const std::string& line) = 0;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_HUB_ENV_H_
