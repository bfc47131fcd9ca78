// SHA-512 (FIPS 180-4), fed in pieces of any size.
#ifndef MORVANE_UPDATE_SHA_SHA512_H_
#define MORVANE_UPDATE_SHA_SHA512_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvane {

class Sha512 {
 public:
  using Digest = std::array<uint8_t, 64>;

  Sha512();

  void update(const void* data, size_t size);
  void update(std::string_view data) { update(data.data(), data.size()); }

  // Ends the computation; the object must be reset() before it is fed again.
  Digest finish();
  void reset();

 private:
  uint64_t state_[8];
  uint8_t buffer_[128];
  size_t buffered_ = 0;
  uint64_t total_ = 0;  // bytes; messages beyond 2^61 bytes are not a concern here
};

Sha512::Digest sha512(std::string_view data);

}  // namespace morvane

#endif  // MORVANE_UPDATE_SHA_SHA512_H_
