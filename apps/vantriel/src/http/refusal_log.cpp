#include "http/refusal_log.h"

namespace vantriel {
namespace {

constexpr char kTag[] = "[SERVIDOR] ";

}  // namespace

std::optional<std::string> RefusalLog::refuse(PeerOwner owner, const TcpEnd& remote,
                                              Clock::time_point now) {
  if (last_ && now - *last_ < kInterval) {
    ++unlogged_;
    return std::nullopt;
  }
  std::string line =
      std::string(kTag) + "Conexi\xC3\xB3n cerrada sin respuesta: " + to_string(remote) +
      (owner == PeerOwner::kOtherUser ? " es de un proceso de otro usuario"
                                      : " es de un proceso que no se pudo identificar");
  if (unlogged_ > 0) {
    line += " (y " + std::to_string(unlogged_) + " m\xC3\xA1s desde el aviso anterior)";
  }
  last_ = now;
  unlogged_ = 0;
  return line;
}

}  // namespace vantriel
