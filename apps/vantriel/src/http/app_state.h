#ifndef VANTRIEL_HTTP_APP_STATE_H_
#define VANTRIEL_HTTP_APP_STATE_H_

#include <functional>
#include <memory>
#include <string>

namespace vantriel {

// What every request worker shares for the life of the process; read-only after start,
// so it is read without a lock.
struct AppState {
  std::string token;                        // this run's API token, 32 hex digits
  std::shared_ptr<const std::string> page;  // the page with token and version filled in
  std::function<void()> exit_action;        // ends the process; never returns
};

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_APP_STATE_H_
