// Loopback ends for the tests of the peer owner lookup and its tables.
#ifndef VANTRIEL_HTTP_TCP_END_TEST_SUPPORT_H_
#define VANTRIEL_HTTP_TCP_END_TEST_SUPPORT_H_

#include <cstdint>

#include "http/peer_owner.h"

namespace vantriel {

// 127.0.0.`last`:`port`.
inline TcpEnd v4(std::uint8_t last, std::uint16_t port) {
  TcpEnd end;
  end.address = {127, 0, 0, last};
  end.port = port;
  return end;
}

// ::`last` or, with `mapped`, ::ffff:127.0.0.`last`.
inline TcpEnd v6(std::uint8_t last, std::uint16_t port, bool mapped = false) {
  TcpEnd end;
  end.v6 = true;
  if (mapped) end.address[10] = end.address[11] = 0xff, end.address[12] = 127;
  end.address[15] = last;
  end.port = port;
  return end;
}

// The host's end and its peer's of one loopback connection.
inline const TcpEnd kHost = v4(1, 8080);
inline const TcpEnd kPeer = v4(1, 50123);

}  // namespace vantriel

#endif  // VANTRIEL_HTTP_TCP_END_TEST_SUPPORT_H_
