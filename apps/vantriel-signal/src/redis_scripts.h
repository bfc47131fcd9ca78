// The Lua scripts through which the nodes of a deployment share their state in Redis,
// under "vtr:":
//   id:<id>          hash salt, hash (HMAC-SHA1(salt, key)), seen (unix s); expires
//                    400 days after its last use, like the data file's entries
//   host:<id>        "<node> <token>": the host socket that holds the ID now
//   room:<code>      the node that keeps the call room
//   call:<code>      hash: host (member id), m:<member id> (JSON: name, proof, order,
//                    muted, talk): what the room needs to go on when its node dies;
//                    expires kKeptRoomTtl after its node last wrote or renewed it
//   node:<node>      the node's lease, renewed every fifth of --redis-lease-ms; a node
//                    whose lease lapsed is dead: its hosts and rooms count as gone
//   g:id:<id>, g:addr:<addr>, g:miss:<addr>   the guard's failure counts and locks
//   g:join:<addr>, g:newid:<addr>, g:room:<addr>   the guard's allowances
// The guard's clock is Redis's own (TIME), so nodes whose clocks differ still count
// alike. Keys are never given access codes, host keys or names.
#ifndef VANTRIEL_SIGNAL_REDIS_SCRIPTS_H_
#define VANTRIEL_SIGNAL_REDIS_SCRIPTS_H_

#include <cstdint>
#include <string>

#include "resp.h"

namespace vantriel::signal {

inline constexpr int64_t kBindingTtl = 400LL * 86400;  // seconds: IDs unused this long are forgotten
// Milliseconds a kept call room outlives the last word of its node: time for its members
// to notice the node's death and come back through another node.
inline constexpr int64_t kKeptRoomTtl = 120000;

struct RedisScript {
  std::string body;
  std::string sha;  // hex SHA-1 of the body, as EVALSHA names it
};

// Each script with its keys and arguments is described where it is defined.
struct RedisScripts {
  static const RedisScript& hello_known();
  static const RedisScript& hello_new();
  static const RedisScript& join_gate();
  static const RedisScript& call_gate();
  static const RedisScript& room_missed();
  static const RedisScript& new_room();
  static const RedisScript& wrong_code();
  static const RedisScript& accepted();
  static const RedisScript& find_host();
  static const RedisScript& find_room();
  static const RedisScript& keep_call();
  static const RedisScript& delete_if();
  static const RedisScript& reassert();
  static const RedisScript& import();
};

// Item `i` of an array reply; 0 or "" when there is none.
int64_t integer_at(const RespValue& v, size_t i);
std::string string_at(const RespValue& v, size_t i);
// The node and the token of a holder, "<node> <token>".
std::string first_word(const std::string& s);
std::string second_word(const std::string& s);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_REDIS_SCRIPTS_H_
