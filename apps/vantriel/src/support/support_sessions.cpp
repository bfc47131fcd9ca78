#include "morvane/core/sync/mutex.h"
#include "support/support_sessions.h"

#include <cmath>

#include "base/access_code.h"
#include "base/json_member.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {
namespace {

// A peer chooses its name; inside a log line a line break in it would forge lines.
std::string for_log(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  return out;
}

}  // namespace

SupportSessions::SupportSessions(SessionEffects effects) : effects_(std::move(effects)) {}

nlohmann::ordered_json SupportSessions::report(const nlohmann::ordered_json& request) {
  const bool starts_or_updates = member_is_true(request, "activa");
  std::string ended_role;
  bool release = false;
  bool allowed = false;
  bool over = false;
  {
    morvane::MutexLock lock(session_mu_);
    if (starts_or_updates) {
      std::string role = text_member(request, "rol") == kTechnicianRole ? kTechnicianRole
                                                                        : kHelpedPcRole;
      bool wanted_control = member_is_true(request, "control");
      std::string peer_name = morvane::utf8_prefix(text_member(request, "con"), 40);
      if (active_) {
        if (control_ != wanted_control) {
          effects_.log(std::string("[SESION] Control ") +
                       (wanted_control ? "permitido" : "pausado"));
        }
      } else {
        started_ = effects_.now_seconds();
        effects_.log(std::string("[SESION] Empieza: ") +
                     (role == kHelpedPcRole ? "recibo soporte de " : "doy soporte a ") +
                     (peer_name.empty() ? std::string("?") : for_log(peer_name)));
      }
      active_ = true;
      role_ = role;
      control_ = role == kHelpedPcRole && wanted_control;
      peer_name_ = peer_name;
      id_ = morvane::utf8_prefix(text_member(request, "id"), 12);
      if (!control_) {
        control_grant_ = 0;
      } else if (control_grant_ == 0) {
        control_grant_ = ++grants_;
        allowed = true;
      }
      release = !control_;
    } else {
      control_grant_ = 0;
      release = active_;
      if (active_) {
        double seconds = std::round(std::max(0.0, effects_.now_seconds() - started_));
        nlohmann::ordered_json record = {{"fecha", effects_.local_timestamp()},
                                         {"rol", role_ == kHelpedPcRole ? "recibi" : "di"},
                                         {"con", peer_name_},
                                         {"id", id_},
                                         {"segundos", seconds},
                                         {"control", control_}};
        effects_.append_history_line(
            record.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
        effects_.log("[SESION] Termina (" + std::to_string(static_cast<long long>(seconds)) +
                     " s)");
      }
      ended_role = role_;
      over = active_;
      active_ = false;
      role_.clear();
      control_ = false;
      peer_name_.clear();
      id_.clear();
      started_ = 0;
    }
  }
  // Outside the lock: the release waits for the event being applied, and the grant is
  // already gone, so no later event of any batch is applied after it.
  if (release) effects_.release_input();
  // After the release: the keys it lets go of travel through what the session opened.
  if (over && effects_.session_over) effects_.session_over();
  if (allowed && effects_.control_allowed) effects_.control_allowed();
  if (starts_or_updates) return {{"ok", true}};
  // After this PC received support the code the other side used must stop working.
  if (ended_role != kTechnicianRole) effects_.renew_access_code();
  return {{"ok", true}, {kAccessCodeMember, effects_.current_access_code()}};
}

void SupportSessions::set_call_active(bool active) {
  morvane::MutexLock lock(call_mu_);
  call_active_ = active;
}

bool SupportSessions::session_active() {
  morvane::MutexLock lock(session_mu_);
  return active_;
}

SessionSnapshot SupportSessions::snapshot() {
  morvane::MutexLock lock(session_mu_);
  return SessionSnapshot{active_, role_, control_, peer_name_};
}

bool SupportSessions::call_active() {
  morvane::MutexLock lock(call_mu_);
  return call_active_;
}

std::vector<std::string> SupportSessions::busy_activities() {
  std::vector<std::string> busy;
  if (session_active()) busy.emplace_back("la sesi\xC3\xB3n de soporte");
  if (call_active()) busy.emplace_back("la llamada");
  return busy;
}

}  // namespace vantriel
