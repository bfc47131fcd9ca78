// ICE server lists for pages: the configured STUN URLs, and the TURN URLs with
// credentials in the REST scheme TURN servers share (coturn's use-auth-secret):
// user name "<expiry unix time>:<user>", credential base64(HMAC-SHA1(secret, user name)).
#ifndef VANTRIEL_SIGNAL_ICE_H_
#define VANTRIEL_SIGNAL_ICE_H_

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vantriel::signal {

struct IceSettings {
  std::vector<std::string> stun;
  std::vector<std::string> turn;
  std::string turn_secret;  // TURN entries are left out while this is empty
  std::string turn_user;
  int turn_ttl = 3600;
};

// The `iceServers` array as of `now_unix` (seconds since 1970).
nlohmann::ordered_json ice_servers(const IceSettings& settings, int64_t now_unix);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_ICE_H_
