#include "ice.h"

#include "crypto.h"

namespace vantriel::signal {

nlohmann::ordered_json ice_servers(const IceSettings& settings, int64_t now_unix) {
  auto list = nlohmann::ordered_json::array();
  if (!settings.stun.empty()) list.push_back({{"urls", settings.stun}});
  if (!settings.turn.empty() && !settings.turn_secret.empty()) {
    const std::string user =
        std::to_string(now_unix + settings.turn_ttl) + ":" + settings.turn_user;
    list.push_back({{"urls", settings.turn},
                    {"username", user},
                    {"credential", base64_encode(as_bytes(hmac_sha1(settings.turn_secret, user)))}});
  }
  return list;
}

}  // namespace vantriel::signal
