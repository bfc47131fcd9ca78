#include "session_broker.h"

#include <algorithm>

#include "crypto.h"
#include "support_id.h"

namespace vantriel::signal {
namespace {

// Wire names that say something else than the names in this code.
constexpr const char* kSecretMember = "key";        // "hello": the PC's secret
constexpr const char* kAccessCodeMember = "pass";   // "join", "req": the offered access code
constexpr const char* kWrongAccessCode = "badkey";  // "answer", "denied": the reason

constexpr size_t kMaxName = 64;        // bytes of a display name kept
constexpr size_t kMaxAccessCode = 64;  // bytes of an offered access code relayed
constexpr size_t kMaxSecret = 512;     // bytes of a PC's secret
constexpr size_t kMaxReason = 32;      // bytes of a refusal reason relayed
constexpr size_t kResumeBytes = 16;    // random bytes of a technician's resume secret

}  // namespace

SessionBroker::SessionBroker(HubCore& core)
    : core_(core),
      config_(core.config()),
      env_(core.env()),
      shared_(core.shared()),
      cluster_(core.cluster()),
      counters_(core.counters()),
      conns_(core.conns()) {}

void SessionBroker::gauge(HubGauges& g) const {
  g.hosts = registrations_.size();
  for (const auto& [sid, s] : sessions_) ++(s.accepted ? g.sessions_open : g.requests_pending);
}

// ---- host socket ----

void SessionBroker::replace_host(const std::string& id, const std::string& token) {
  auto it = registrations_.find(id_number(id));
  if (it == registrations_.end()) return;
  Link* old = it->second;
  Conn* oc = conn(old);
  if (oc == nullptr || oc->token != token) return;
  env_.log("host " + id + " replaced by a connection to another node");
  send(old, {{"t", "replaced"}});
  host_gone(*oc, "replaced");
  old->close();
}

void SessionBroker::on_hello(Conn& c, const Json& msg) {
  if (c.started || c.registering || id_number(c.target) == 0) return;
  const std::string secret = text(msg, kSecretMember, kMaxSecret + 1);
  // A hello without a usable secret waits.
  if (secret.empty() || secret.size() > kMaxSecret) return;
  c.registering = true;
  LinkPtr hold = c.link;
  // The session this hello asks to take over from the ID's older connection, if any.
  std::string resume = text(msg, "sid", 64);
  std::string name = text(msg, "name", kMaxName);
  const std::string id = c.target, who = holder(c);
  shared_.register_host(id, secret, hold->address(), who,
                        [this, hold, name = std::move(name), resume = std::move(resume), id,
                         who](const Shared::Registration& r) {
                          if (conn(hold.get()) != nullptr) {
                            registered(hold, name, resume, r);
                          } else if (cluster_ != nullptr &&
                                     r.outcome == Shared::Registration::kReady) {
                            cluster_->host_left(id, who);  // gone while being registered
                          }
                        });
}

void SessionBroker::registered(const LinkPtr& hold, const std::string& name,
                                 const std::string& resume, const Shared::Registration& r) {
  Conn& c = *conn(hold.get());
  c.registering = false;
  Link* link = hold.get();
  const std::string& id = c.target;
  const std::string& addr = link->address();
  switch (r.outcome) {
    case Shared::Registration::kTaken:
      env_.log("host " + id + " from " + addr + ": taken (another key)");
      counters_.refuse(Refusal::kHostTaken);
      send_and_close(link, {{"t", "taken"}});
      return;
    case Shared::Registration::kTooManyNewIds:
      env_.log("host " + id + " from " + addr + ": refused, too many new IDs from address");
      counters_.refuse(Refusal::kHostNewIds);
      link->close();
      return;
    case Shared::Registration::kUnavailable:
      // Acting alone could hand the ID to any key: the page retries through its back-off.
      env_.log("host " + id + " from " + addr + ": refused, shared state unreachable");
      counters_.refuse(Refusal::kHostUnavailable);
      link->close();
      return;
    case Shared::Registration::kReady:
      if (r.new_binding) env_.log("host " + id + " from " + addr + ": new binding");
      break;
  }
  c.started = true;
  c.name = name;
  const uint32_t number = id_number(id);
  if (auto it = registrations_.find(number); it != registrations_.end() && it->second != link) {
    Link* old = it->second;
    if (Conn* oc = conn(old)) {
      env_.log("host " + id + " replaced by a connection from " + addr);
      if (!resume.empty() && resume == oc->sid) carry_session(*oc, c);
      send(old, {{"t", "replaced"}});
      host_gone(*oc, "replaced");
      old->close();
    }
  }
  registrations_[number] = link;
  ++counters_.hosts_registered;
  env_.log("host " + id + " from " + addr + ": ready");
  send(link, {{"t", "ready"}});
  if (r.id_lock_minutes > 0) send(link, {{"t", "locked"}, {"mins", r.id_lock_minutes}});
}

void SessionBroker::host_gone(Conn& c, const char* why) {
  if (!c.started) return;
  c.started = false;
  if (!c.sid.empty()) {
    auto it = sessions_.find(c.sid);
    if (it != sessions_.end()) {
      env_.log("session " + c.sid + " on " + c.target + ": host " + why);
      Link* tech = it->second.tech;
      drop_session(c.sid, Ending::kHostGone);
      if (tech != nullptr) send_and_close(tech, {{"t", "ended"}, {"reason", "hostgone"}});
    }
    c.sid.clear();
  }
  auto it = registrations_.find(id_number(c.target));
  if (it != registrations_.end() && it->second == c.link.get()) {
    registrations_.erase(it);
    env_.log("host " + c.target + ": " + why);
    if (cluster_ != nullptr) cluster_->host_left(c.target, holder(c));
  }
}

// A page registers again during a session when its socket may be dead without knowing
// it (the PC's address changed under it): the session's peer connection is still there
// to be mended, so the session goes on with the new connection. Only an accepted
// session moves, and only to a connection that proved the ID's secret.
void SessionBroker::carry_session(Conn& old, Conn& c) {
  auto it = sessions_.find(old.sid);
  if (it == sessions_.end() || !it->second.accepted || it->second.host != old.link.get()) return;
  it->second.host = c.link.get();
  c.sid = old.sid;
  old.sid.clear();
  env_.log("session " + c.sid + " on " + c.target + ": carried over to the host's new connection");
}

void SessionBroker::on_answer(Conn& c, const Json& msg) {
  const std::string sid = text(msg, "sid", 64);
  auto it = sessions_.find(sid);
  if (sid.empty() || it == sessions_.end() || it->second.host != c.link.get() ||
      it->second.accepted) {
    return;
  }
  Session& s = it->second;
  Link* tech = s.tech;
  if (flag(msg, "ok")) {
    s.accepted = true;
    ++counters_.accepted;
    shared_.accepted(s.id);
    env_.log("session " + sid + " on " + s.id + ": accepted");
    Json accepted = {{"t", "accepted"}, {"name", c.name}, {"iceServers", ice()}};
    if (s.resumable) {
      s.resume_secret = random_hex(kResumeBytes);
      accepted["sid"] = sid;
      accepted["resume"] = s.resume_secret;
    }
    send(tech, accepted);
    return;
  }
  std::string reason = text(msg, "reason", kMaxReason);
  if (reason.empty()) reason = "denied";
  const std::string id = s.id, addr = s.tech_addr;
  drop_session(sid, reason == kWrongAccessCode ? Ending::kWrongAccessCode : Ending::kDenied);
  if (reason != kWrongAccessCode) {
    env_.log("session " + sid + " on " + id + ": denied (" + reason + ")");
    send_and_close(tech, {{"t", "denied"}, {"reason", reason}});
    return;
  }
  auto tech_conn = conns_.find(tech);
  LinkPtr hold = tech_conn == conns_.end() ? nullptr : tech_conn->second.link;
  LinkPtr host = c.link;
  ++counters_.wrong_codes;
  shared_.wrong_code(id, addr, [this, sid, id, addr, hold, host](const Guard::Verdict& v,
                                                                  bool unavailable) {
    env_.log("session " + sid + " on " + id + ": wrong code from " + addr);
    if (unavailable) {
      env_.log("wrong code not counted: shared state unreachable");
      if (hold && conns_.count(hold.get()) != 0) {
        send_and_close(hold.get(), {{"t", "denied"}, {"reason", kWrongAccessCode}});
      }
      return;
    }
    if (v.id_lock_minutes > 0) {
      counters_.lock(LockScope::kId);
      env_.log("ID " + id + " locked for " + std::to_string(v.id_lock_minutes) + " min");
      if (conns_.count(host.get()) != 0) send(host.get(), {{"t", "locked"}, {"mins", v.id_lock_minutes}});
    }
    if (v.addr_lock_minutes > 0) {
      counters_.lock(LockScope::kAddress);
      env_.log("address " + addr + " locked for " + std::to_string(v.addr_lock_minutes) + " min");
    }
    Json reply = {{"t", "denied"}, {"reason", kWrongAccessCode}};
    if (v.id_lock_minutes > 0 || v.addr_lock_minutes > 0) {
      reply = {{"t", "locked"}, {"mins", std::max(v.id_lock_minutes, v.addr_lock_minutes)}};
    }
    // The refusal waits so that guessing one code after another is slow; the link is
    // held by the task so the frame still goes if nothing else closes it meanwhile.
    if (!hold || conns_.count(hold.get()) == 0) return;
    env_.after(v.delay, [this, hold, reply] {
      if (conns_.count(hold.get()) != 0) send_and_close(hold.get(), reply);
    });
  });
}

// Relayed signals are spliced, not re-written: "data" reaches the peer byte for byte.
void SessionBroker::on_host_signal(Conn& c, const SignalView& v) {
  if (c.sid.empty() || v.sid != c.sid) return;
  auto it = sessions_.find(c.sid);
  if (it == sessions_.end() || !it->second.accepted) return;
  std::string frame;
  frame.reserve(v.data.size() + 24);
  frame += R"({"t":"signal","data":)";
  frame += v.data;
  frame += '}';
  counters_.relayed(RelayKind::kSupport, frame.size());
  // While the technician's page comes back on a new socket nothing reaches it: the ICE
  // restart that follows its return carries all that is needed.
  if (it->second.tech != nullptr) it->second.tech->send(std::move(frame));
}

void SessionBroker::on_host_bye(Conn& c, const Json& msg) {
  const std::string sid = text(msg, "sid", 64);
  if (sid.empty() || sid != c.sid) return;
  auto it = sessions_.find(sid);
  if (it == sessions_.end()) return;
  Link* tech = it->second.tech;
  env_.log("session " + sid + " on " + c.target + ": ended by the host");
  drop_session(sid, Ending::kBye);
  if (tech != nullptr) send_and_close(tech, {{"t", "ended"}, {"reason", "bye"}});
}

void SessionBroker::drop_session(const std::string& sid, Ending why) {
  auto it = sessions_.find(sid);
  if (it == sessions_.end()) return;
  counters_.end(why);
  if (Conn* h = conn(it->second.host); h != nullptr && h->sid == sid) h->sid.clear();
  if (Conn* t = conn(it->second.tech); t != nullptr && t->sid == sid) t->sid.clear();
  sessions_.erase(it);
}

// ---- join socket ----

void SessionBroker::join_here(Conn& c, const Json& msg) {
  LinkPtr hold = c.link;
  shared_.join_gate(hold->address(), c.target, [this, hold, msg](const Shared::JoinGate& g) {
    if (conn(hold.get()) != nullptr) join_gated(hold, msg, g);
  });
}

void SessionBroker::join_gated(const LinkPtr& hold, const Json& msg, const Shared::JoinGate& g) {
  Conn& c = *conn(hold.get());
  Link* link = hold.get();
  const std::string& id = c.target;
  const std::string& addr = link->address();
  if (g.unavailable) {
    env_.log("join " + id + " from " + addr + ": refused, shared state unreachable");
    counters_.refuse(Refusal::kJoinUnavailable);
    link->close();
    return;
  }
  if (g.addr_lock_minutes > 0) {
    env_.log("join " + id + " from " + addr + ": address locked");
    counters_.refuse(Refusal::kJoinAddrLocked);
    send_and_close(link, {{"t", "locked"}, {"mins", g.addr_lock_minutes}});
    return;
  }
  if (!g.allowed) {
    env_.log("join " + id + " from " + addr + ": too many joins from address");
    counters_.refuse(Refusal::kJoinRate);
    send_and_close(link, {{"t", "locked"}, {"mins", 1}});
    return;
  }
  // A session that is already running is not a new request: the ID's lock and a held
  // refusal are for those.
  if (const std::string sid = text(msg, "sid", 64); !sid.empty()) {
    resume_tech(c, sid, text(msg, "resume", 2 * kResumeBytes + 1));
    return;
  }
  if (g.id_lock_minutes > 0) {
    env_.log("join " + id + " from " + addr + ": ID locked");
    counters_.refuse(Refusal::kJoinIdLocked);
    send_and_close(link, {{"t", "locked"}, {"mins", g.id_lock_minutes}});
    return;
  }
  auto host_it = registrations_.find(id_number(id));
  if (host_it == registrations_.end()) {
    env_.log("join " + id + " from " + addr + ": offline");
    counters_.refuse(Refusal::kJoinOffline);
    send_and_close(link, {{"t", "offline"}});
    return;
  }
  Conn* host = conn(host_it->second);
  if (host == nullptr || !host->sid.empty() || g.held) {
    env_.log("join " + id + " from " + addr + ": busy");
    counters_.refuse(Refusal::kJoinBusy);
    send_and_close(link, {{"t", "busy"}});
    return;
  }
  Session s;
  s.sid = random_hex(8);
  s.id = id;
  s.host = host_it->second;
  s.tech = link;
  s.tech_name = text(msg, "name", kMaxName);
  s.tech_addr = addr;
  s.resumable = flag(msg, "resumable") && config_.policy.resume_grace > 0;
  c.sid = s.sid;
  host->sid = s.sid;
  const std::string sid = s.sid;
  env_.log("join " + id + " from " + addr + ": request " + sid);
  ++counters_.requests;
  Json req = {{"t", "req"},
              {"sid", sid},
              {"name", s.tech_name},
              {kAccessCodeMember, text(msg, kAccessCodeMember, kMaxAccessCode)},
              {"iceServers", ice()}};
  // The person is told the technician is in a browser; desktop technicians' requests
  // stay as they were.
  if (c.web) req["web"] = true;
  send(s.host, req);
  sessions_.emplace(sid, std::move(s));
  send(link, {{"t", "waiting"}, {"timeout", config_.policy.request_timeout}});
  env_.after(std::chrono::seconds(config_.policy.request_timeout),
             [this, sid] { expire_request(sid); });
}

void SessionBroker::expire_request(const std::string& sid) {
  auto it = sessions_.find(sid);
  if (it == sessions_.end() || it->second.accepted) return;
  Link* host = it->second.host;
  Link* tech = it->second.tech;
  env_.log("session " + sid + " on " + it->second.id + ": no answer, withdrawn");
  drop_session(sid, Ending::kTimeout);
  send(host, {{"t", "cancel"}, {"sid", sid}});
  send_and_close(tech, {{"t", "denied"}, {"reason", "timeout"}});
}

void SessionBroker::on_tech_signal(Conn& c, const SignalView& v) {
  if (c.sid.empty()) return;
  auto it = sessions_.find(c.sid);
  if (it == sessions_.end() || !it->second.accepted) return;
  // The sid is ours (hex), so it needs no escaping.
  std::string frame;
  frame.reserve(v.data.size() + c.sid.size() + 32);
  frame += R"({"t":"signal","sid":")";
  frame += c.sid;
  frame += R"(","data":)";
  frame += v.data;
  frame += '}';
  counters_.relayed(RelayKind::kSupport, frame.size());
  it->second.host->send(std::move(frame));
}

// A technician's page whose network changed comes back on a new socket, naming its
// session and the secret it was handed on acceptance. Within the grace it takes the old
// socket's place (an old socket still open here is one its page gave up: it is closed)
// and the person is not asked again; the host hears "resumed" and restarts ICE at once,
// which mends the path sooner than either side's timers. Anything else is refused with
// one answer, so that a guesser learns nothing, and changes nothing.
void SessionBroker::resume_tech(Conn& c, const std::string& sid, const std::string& secret) {
  Link* link = c.link.get();
  const std::string& addr = link->address();
  auto it = sessions_.find(sid);
  const char* refused = nullptr;
  if (it == sessions_.end() || !it->second.accepted || it->second.id != c.target ||
      it->second.resume_secret.empty()) {
    refused = "no such session, or its grace is over";
  } else if (!constant_time_equal(secret, it->second.resume_secret)) {
    refused = "wrong secret";
  }
  if (refused != nullptr) {
    env_.log("join " + c.target + " from " + addr + ": resume refused (" + refused + ")");
    send_and_close(link, {{"t", "denied"}, {"reason", "noresume"}});
    return;
  }
  Session& s = it->second;
  if (s.tech != nullptr && s.tech != link) {
    if (Conn* old = conn(s.tech)) old->sid.clear();
    s.tech->close();
  }
  s.tech = link;
  s.tech_addr = addr;
  ++s.drops;  // a grace still running is over
  c.sid = sid;
  env_.log("session " + sid + " on " + s.id + ": technician back from " + addr);
  send(link, {{"t", "resumed"}, {"sid", sid}, {"iceServers", ice()}});
  send(s.host, {{"t", "resumed"}, {"sid", sid}});
}

void SessionBroker::tech_dropped(Conn& c) {
  auto it = c.sid.empty() ? sessions_.end() : sessions_.find(c.sid);
  if (it == sessions_.end() || !it->second.accepted || it->second.resume_secret.empty() ||
      it->second.tech != c.link.get()) {
    on_tech_leave(c, true);
    return;
  }
  Session& s = it->second;
  s.tech = nullptr;
  c.sid.clear();
  const uint64_t drop = ++s.drops;
  const std::string sid = s.sid;
  env_.log("session " + sid + " on " + s.id + ": technician's socket dropped, held " +
           std::to_string(config_.policy.resume_grace) + " s for its return");
  env_.after(std::chrono::seconds(config_.policy.resume_grace),
             [this, sid, drop] { resume_expired(sid, drop); });
}

void SessionBroker::resume_expired(const std::string& sid, uint64_t drop) {
  auto it = sessions_.find(sid);
  if (it == sessions_.end() || it->second.tech != nullptr || it->second.drops != drop) return;
  Link* host = it->second.host;
  env_.log("session " + sid + " on " + it->second.id + ": technician did not come back");
  drop_session(sid, Ending::kLeft);
  send(host, {{"t", "left"}, {"sid", sid}});
}

void SessionBroker::on_tech_leave(Conn& c, bool said_bye) {
  if (c.sid.empty()) return;
  auto it = sessions_.find(c.sid);
  if (it == sessions_.end()) return;
  const std::string sid = c.sid;
  const bool accepted = it->second.accepted;
  Link* host = it->second.host;
  env_.log("session " + sid + " on " + c.target + ": technician left");
  drop_session(sid, accepted ? Ending::kLeft : Ending::kCancel);
  const char* t = accepted && said_bye ? "left" : "cancel";
  send(host, {{"t", t}, {"sid", sid}});
  c.link->close();
}

}  // namespace vantriel::signal
