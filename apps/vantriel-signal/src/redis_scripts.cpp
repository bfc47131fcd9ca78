#include "redis_scripts.h"

#include "crypto.h"

namespace vantriel::signal {
namespace {

// Shared by every script. Times are Redis's milliseconds; a failure count is a hash
// {n, first, until, held} that expires once its window, lock and held refusal are over.
constexpr const char* kPrelude = R"lua(
local function now_ms()
  local t = redis.call('TIME')
  return tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
end
local function num(key, field)
  return tonumber(redis.call('HGET', key, field)) or 0
end
local function mins_left(key, now)
  local u = num(key, 'until')
  if u <= now then return 0 end
  return math.floor((u - now + 59999) / 60000)
end
local function keep(key, window_ms, now)
  local last = math.max(num(key, 'first') + window_ms, num(key, 'until'), num(key, 'held'))
  if last > now then redis.call('PEXPIRE', key, last - now + 1000) end
end
local function count(key, max, window_ms, lock_ms, now)
  local n = num(key, 'n')
  local first = num(key, 'first')
  if n == 0 or now - first >= window_ms then
    n = 0
    first = now
  end
  n = n + 1
  local mins = 0
  if max > 0 and n >= max then
    n = 0
    local u = math.max(num(key, 'until'), now + lock_ms)
    redis.call('HSET', key, 'until', u)
    mins = math.floor((u - now + 59999) / 60000)
  end
  redis.call('HSET', key, 'n', n, 'first', first)
  keep(key, window_ms, now)
  return mins
end
local function spend(key, limit, window_ms)
  local n = redis.call('INCR', key)
  if n == 1 then redis.call('PEXPIRE', key, window_ms) end
  return n <= limit
end
local function alive(node)
  return redis.call('EXISTS', 'vtr:node:' .. node) == 1
end
local function claim(key, holder)
  local old = redis.call('GET', key)
  redis.call('SET', key, holder)
  if old and old ~= holder then
    local node = string.match(old, '^(%S+) ')
    if node and alive(node) then return old end
  end
  return ''
end
)lua";

// KEYS id, host, g:id; ARGV holder, hash, now (unix s), ttl (s)
constexpr const char* kHelloKnown = R"lua(
if redis.call('HGET', KEYS[1], 'hash') ~= ARGV[2] then return {'changed'} end
if tonumber(ARGV[3]) - (tonumber(redis.call('HGET', KEYS[1], 'seen')) or 0) >= 86400 then
  redis.call('HSET', KEYS[1], 'seen', ARGV[3])
  redis.call('EXPIRE', KEYS[1], ARGV[4])
end
local old = claim(KEYS[2], ARGV[1])
return {'ready', old, mins_left(KEYS[3], now_ms())}
)lua";

// KEYS id, host, g:id, g:newid:<addr>; ARGV holder, salt, hash, now (unix s), ttl, limit
constexpr const char* kHelloNew = R"lua(
if redis.call('EXISTS', KEYS[1]) == 1 then return {'changed'} end
if not spend(KEYS[4], tonumber(ARGV[6]), 3600000) then return {'refused'} end
redis.call('HSET', KEYS[1], 'salt', ARGV[2], 'hash', ARGV[3], 'seen', ARGV[4])
redis.call('EXPIRE', KEYS[1], ARGV[5])
local old = claim(KEYS[2], ARGV[1])
return {'ready', old, mins_left(KEYS[3], now_ms())}
)lua";

// KEYS g:addr, g:join, g:id; ARGV joins per minute
constexpr const char* kJoinGate = R"lua(
local now = now_ms()
local al = mins_left(KEYS[1], now)
if al > 0 then return {al, 0, 0, 0} end
if not spend(KEYS[2], tonumber(ARGV[1]), 60000) then return {0, 0, 0, 0} end
local held = 0
if num(KEYS[3], 'held') > now or num(KEYS[1], 'held') > now then held = 1 end
return {0, 1, mins_left(KEYS[3], now), held}
)lua";

// KEYS g:addr, g:join; ARGV joins per minute
constexpr const char* kCallGate = R"lua(
local now = now_ms()
if mins_left(KEYS[1], now) > 0 then return {1, 0} end
if not spend(KEYS[2], tonumber(ARGV[1]), 60000) then return {0, 0} end
return {0, 1}
)lua";

// KEYS g:miss, g:addr; ARGV max misses, window (s), lock (s), address window (s)
constexpr const char* kRoomMissed = R"lua(
local now = now_ms()
if count(KEYS[1], tonumber(ARGV[1]), tonumber(ARGV[2]) * 1000, tonumber(ARGV[3]) * 1000, now) == 0 then
  return 0
end
redis.call('HSET', KEYS[2], 'until', math.max(num(KEYS[2], 'until'), num(KEYS[1], 'until')))
keep(KEYS[2], tonumber(ARGV[4]) * 1000, now)
return mins_left(KEYS[2], now)
)lua";

// KEYS g:room; ARGV rooms per hour
constexpr const char* kNewRoom = R"lua(
if spend(KEYS[1], tonumber(ARGV[1]), 3600000) then return 1 end
return 0
)lua";

// KEYS g:id, g:addr; ARGV id max, window, lock, addr max, window, lock (s), delay base,
// delay max (ms)
constexpr const char* kWrongCode = R"lua(
local now = now_ms()
local run = math.max(num(KEYS[1], 'n') + 1, num(KEYS[2], 'n') + 1)
local il = count(KEYS[1], tonumber(ARGV[1]), tonumber(ARGV[2]) * 1000, tonumber(ARGV[3]) * 1000, now)
local al = count(KEYS[2], tonumber(ARGV[4]), tonumber(ARGV[5]) * 1000, tonumber(ARGV[6]) * 1000, now)
local delay = math.min(tonumber(ARGV[7]) * (2 ^ math.min(run - 1, 20)), tonumber(ARGV[8]))
redis.call('HSET', KEYS[1], 'held', now + delay)
redis.call('HSET', KEYS[2], 'held', now + delay)
keep(KEYS[1], tonumber(ARGV[2]) * 1000, now)
keep(KEYS[2], tonumber(ARGV[5]) * 1000, now)
return {il, al, delay}
)lua";

// KEYS g:id
constexpr const char* kAccepted = R"lua(
if redis.call('EXISTS', KEYS[1]) == 1 then redis.call('HSET', KEYS[1], 'n', 0) end
return 0
)lua";

// KEYS host
constexpr const char* kFindHost = R"lua(
local v = redis.call('GET', KEYS[1])
if not v then return '' end
local node = string.match(v, '^(%S+)')
if node and alive(node) then return node end
redis.call('DEL', KEYS[1])
return ''
)lua";

// A room whose node died is claimed by the first node asked for it while its members are
// kept. KEYS room, call; ARGV this node, "1" to claim a code no live node keeps
constexpr const char* kFindRoom = R"lua(
local v = redis.call('GET', KEYS[1])
if v and alive(v) then return v end
if ARGV[2] == '1' or redis.call('EXISTS', KEYS[2]) == 1 then
  redis.call('SET', KEYS[1], ARGV[1])
  return ARGV[1]
end
if v then redis.call('DEL', KEYS[1]) end
return ''
)lua";

// Writes fields of a kept room ("" deletes one) and starts its time again. KEYS call;
// ARGV time to keep (ms), then field and value pairs
constexpr const char* kKeepCall = R"lua(
for i = 2, #ARGV - 1, 2 do
  if ARGV[i + 1] == '' then
    redis.call('HDEL', KEYS[1], ARGV[i])
  else
    redis.call('HSET', KEYS[1], ARGV[i], ARGV[i + 1])
  end
end
if redis.call('EXISTS', KEYS[1]) == 1 then redis.call('PEXPIRE', KEYS[1], ARGV[1]) end
return 0
)lua";

// KEYS key; ARGV value
constexpr const char* kDeleteIf = R"lua(
if redis.call('GET', KEYS[1]) == ARGV[1] then redis.call('DEL', KEYS[1]) end
return 0
)lua";

// After Redis came back: the binding written again if Redis lost it, the ID held again
// unless another live node's host holds it now. KEYS id, host; ARGV salt, hash, seen,
// ttl, holder
constexpr const char* kReassert = R"lua(
local restored = '0'
local h = redis.call('HGET', KEYS[1], 'hash')
if not h then
  redis.call('HSET', KEYS[1], 'salt', ARGV[1], 'hash', ARGV[2], 'seen', ARGV[3])
  redis.call('EXPIRE', KEYS[1], ARGV[4])
  restored = '1'
elseif h ~= ARGV[2] then
  return {'taken', ''}
end
local v = redis.call('GET', KEYS[2])
if v and v ~= ARGV[5] then
  local node = string.match(v, '^(%S+) ')
  if node and alive(node) then return {'other', v} end
end
redis.call('SET', KEYS[2], ARGV[5])
return {'ok', restored}
)lua";

// KEYS id; ARGV salt, hash, seen, ttl
constexpr const char* kImport = R"lua(
if redis.call('EXISTS', KEYS[1]) == 1 then return 0 end
redis.call('HSET', KEYS[1], 'salt', ARGV[1], 'hash', ARGV[2], 'seen', ARGV[3])
redis.call('EXPIRE', KEYS[1], ARGV[4])
return 1
)lua";

std::string script_body(const char* body) { return std::string(kPrelude) + body; }

}  // namespace

int64_t integer_at(const RespValue& v, size_t i) {
  return v.type == RespValue::kArray && i < v.items.size() ? v.items[i].integer : 0;
}
std::string string_at(const RespValue& v, size_t i) {
  return v.type == RespValue::kArray && i < v.items.size() ? v.items[i].str : std::string();
}

std::string first_word(const std::string& s) { return s.substr(0, s.find(' ')); }
std::string second_word(const std::string& s) {
  const size_t sp = s.find(' ');
  return sp == std::string::npos ? std::string() : s.substr(sp + 1);
}

#define VTR_SCRIPT(name, text)                                                          \
  const RedisScript& RedisScripts::name() {                                             \
    static const RedisScript s{script_body(text), hex_encode(as_bytes(sha1(script_body(text))))}; \
    return s;                                                                           \
  }

VTR_SCRIPT(hello_known, kHelloKnown)
VTR_SCRIPT(hello_new, kHelloNew)
VTR_SCRIPT(join_gate, kJoinGate)
VTR_SCRIPT(call_gate, kCallGate)
VTR_SCRIPT(room_missed, kRoomMissed)
VTR_SCRIPT(new_room, kNewRoom)
VTR_SCRIPT(wrong_code, kWrongCode)
VTR_SCRIPT(accepted, kAccepted)
VTR_SCRIPT(find_host, kFindHost)
VTR_SCRIPT(find_room, kFindRoom)
VTR_SCRIPT(keep_call, kKeepCall)
VTR_SCRIPT(delete_if, kDeleteIf)
VTR_SCRIPT(reassert, kReassert)
VTR_SCRIPT(import, kImport)
#undef VTR_SCRIPT

}  // namespace vantriel::signal
