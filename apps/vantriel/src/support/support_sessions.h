// What the host knows of the support session that the page runs, and of its voice call:
// whether one runs, in which role, with whom, and whether this PC's user lets the other
// side control it. The page reports both; the host gates input and the clipboard on it,
// keeps the history file and renews the access code after a received session.
#ifndef VANTRIEL_SUPPORT_SUPPORT_SESSIONS_H_
#define VANTRIEL_SUPPORT_SUPPORT_SESSIONS_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "morvane/core/sync/mutex.h"

namespace vantriel {

// A session's roles as the page reports them ("rol"): this PC receives help (the helped
// PC, the host of the session) or gives it.
inline constexpr char kHelpedPcRole[] = "host";
inline constexpr char kTechnicianRole[] = "tech";

struct SessionSnapshot {
  bool active = false;
  std::string role;  // kHelpedPcRole, kTechnicianRole, or empty
  bool control = false;
  std::string peer_name;  // the other side's name, as the page reports it ("con")
};

// The effects a session has outside itself, so tests can watch them.
struct SessionEffects {
  std::function<double()> now_seconds;           // UTC seconds since 1970, with fraction
  std::function<std::string()> local_timestamp;  // "YYYY-MM-DD HH:MM:SS"
  std::function<void(const std::string&)> log;
  std::function<void(const std::string&)> append_history_line;  // one compact record + "\n"
  // Takes the input locks and may wait for the event being applied: never called with
  // session_mu_ held, so "/api/sesion" and "/api/estado" answer while a batch types.
  std::function<void()> release_input;
  std::function<void()> renew_access_code;
  std::function<std::string()> current_access_code;
  // Control was allowed anew (a desktop that asks the person asks now) / the session
  // ended (whatever the desktop granted for it ends). Never called with session_mu_ held;
  // either may be empty.
  std::function<void()> control_allowed;
  std::function<void()> session_over;
};

class SupportSessions {
 public:
  explicit SupportSessions(SessionEffects effects);

  // "/api/sesion": starts, updates or ends the session; returns the reply.
  nlohmann::ordered_json report(const nlohmann::ordered_json& request);
  // "/api/llamada".
  void set_call_active(bool active);

  // Nonzero while the other side may control this PC; each grant of control has a value
  // of its own. A batch of input takes the grant once and checks before each event that it
  // still holds, so taking control back (or ending the session) stops it within one event,
  // even when control is given again meanwhile. Lock-free: cheap enough for every event.
  uint64_t control_grant() const { return control_grant_.load(); }
  bool control_allowed() const { return control_grant() != 0; }
  bool session_active();
  SessionSnapshot snapshot();
  bool call_active();
  // What an update would cut, in the order session, call; empty when neither runs.
  std::vector<std::string> busy_activities();

 private:
  SessionEffects effects_;

  // Guards the fields below. Never held while calling an effect that takes the input
  // locks (release_input): report() decides under it, unlocks, then acts.
  morvane::Mutex session_mu_;
  bool active_ GUARDED_BY(session_mu_) = false;
  std::string role_ GUARDED_BY(session_mu_);
  bool control_ GUARDED_BY(session_mu_) = false;
  std::string peer_name_ GUARDED_BY(session_mu_);
  std::string id_ GUARDED_BY(session_mu_);
  double started_ GUARDED_BY(session_mu_) = 0;
  uint64_t grants_ GUARDED_BY(session_mu_) = 0;  // grants of control so far
  // Written under session_mu_ (active_ && role_ == kHelpedPcRole && control_ ? a grant : 0);
  // read without it.
  std::atomic<uint64_t> control_grant_{0};

  morvane::Mutex call_mu_;  // never held together with session_mu_
  bool call_active_ GUARDED_BY(call_mu_) = false;
};

}  // namespace vantriel

#endif  // VANTRIEL_SUPPORT_SUPPORT_SESSIONS_H_
