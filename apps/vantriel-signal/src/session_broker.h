// The session broker: which helped PC's socket holds which ID (its registration), and
// the requests and sessions that pair a technician with it, from "join" to their end.
// Part of the hub (hub.h); runs on the I/O thread only.
#ifndef VANTRIEL_SIGNAL_SESSION_BROKER_H_
#define VANTRIEL_SIGNAL_SESSION_BROKER_H_

#include <cstdint>
#include <string>
#include <unordered_map>

#include "hub_core.h"
#include "raw_json.h"

namespace vantriel::signal {

class SessionBroker {
 public:
  explicit SessionBroker(HubCore& core);

  // The host socket's messages, once it sent a valid "hello" (on_hello itself aside).
  void on_hello(Conn& c, const Json& msg);
  void on_answer(Conn& c, const Json& msg);
  void on_host_signal(Conn& c, const SignalView& v);
  void on_host_bye(Conn& c, const Json& msg);
  // The host's connection ends ("left") or is taken over ("replaced"): end what it was
  // in and unregister.
  void host_gone(Conn& c, const char* why);
  // A host socket of this node, named by its token, lost its ID to a registration
  // elsewhere.
  void replace_host(const std::string& id, const std::string& token);

  // A technician's "join", served by this node: the guard, then a request to the host.
  void join_here(Conn& c, const Json& msg);
  void on_tech_signal(Conn& c, const SignalView& v);
  // The technician gave up ("cancel"), ended ("bye") or its socket closed.
  void on_tech_leave(Conn& c, bool said_bye);
  // The technician's socket closed without a word: an accepted session whose page can
  // come back (its join asked for a resume secret) waits the grace for it; anything else
  // ends as on_tech_leave.
  void tech_dropped(Conn& c);

  size_t hosts() const { return registrations_.size(); }
  size_t sessions() const { return sessions_.size(); }
  // Adds the registered hosts, pending requests and open sessions.
  void gauge(HubGauges& g) const;

 private:
  using Kind = Conn::Kind;
  struct Session {
    std::string sid;
    std::string id;
    Link* host = nullptr;
    Link* tech = nullptr;
    std::string tech_name;
    std::string tech_addr;
    bool accepted = false;
    bool resumable = false;   // the technician's join asked for a resume secret
    std::string resume_secret;  // that secret, from acceptance on
    uint64_t drops = 0;       // the technician's socket dropped this often: names the grace
  };

  // `resume`: the session the hello named, to be carried over from an older connection.
  void registered(const LinkPtr& link, const std::string& name, const std::string& resume,
                  const Shared::Registration& r);
  void join_gated(const LinkPtr& link, const Json& msg, const Shared::JoinGate& g);
  void expire_request(const std::string& sid);
  // A join naming a session and its secret: takes the technician's place in it.
  void resume_tech(Conn& c, const std::string& sid, const std::string& secret);
  void resume_expired(const std::string& sid, uint64_t drop);
  // Forgets the session and frees its host, counting why it ended; the links stay as they
  // are.
  void drop_session(const std::string& sid, Ending why);
  // Moves the accepted session of `old` to the new registration `c` of the same ID.
  void carry_session(Conn& old, Conn& c);

  Conn* conn(Link* link) { return core_.conn(link); }
  std::string holder(const Conn& c) const { return core_.holder(c); }
  Json ice() const { return core_.ice(); }

  HubCore& core_;
  const Config& config_;
  HubEnv& env_;
  Shared& shared_;
  Cluster* const cluster_;  // none for one node
  HubCounters& counters_;
  std::unordered_map<Link*, Conn>& conns_;
  // ID (id_number) -> the socket of the helped PC registered under it.
  std::unordered_map<uint32_t, Link*> registrations_;
  std::unordered_map<std::string, Session> sessions_;
};

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_SESSION_BROKER_H_
