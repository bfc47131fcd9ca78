// Builds without OpenSSL: TLS to Redis is refused at start, with the reason.
#include "redis_stream.h"

namespace vantriel::signal {

morvane::Result<std::shared_ptr<RedisTls>> RedisTls::make(const Config& config) {
  if (!config.redis_tls) return std::shared_ptr<RedisTls>();
  return morvane::make_error("this build of vantriel-signal has no TLS; --redis-tls is not available");
}

}  // namespace vantriel::signal
