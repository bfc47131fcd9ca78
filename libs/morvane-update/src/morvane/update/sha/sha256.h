// SHA-256 (FIPS 180-4), fed in pieces of any size.
#ifndef MORVANE_UPDATE_SHA_SHA256_H_
#define MORVANE_UPDATE_SHA_SHA256_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace morvane {

class Sha256 {
 public:
  using Digest = std::array<uint8_t, 32>;

  Sha256();

  void update(const void* data, size_t size);
  void update(std::string_view data) { update(data.data(), data.size()); }

  // Ends the computation; the object must be reset() before it is fed again.
  Digest finish();
  // finish() written as 64 lower-case hexadecimal digits.
  std::string finish_hex();
  void reset();

 private:
  uint32_t state_[8];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t total_ = 0;
};

Sha256::Digest sha256(std::string_view data);
std::string sha256_hex(std::string_view data);

}  // namespace morvane

#endif  // MORVANE_UPDATE_SHA_SHA256_H_
