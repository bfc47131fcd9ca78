// Inflate on arbitrary bytes: any input either decodes or fails with a text.
#include <cstddef>
#include <cstdint>

#include "morvane/update/zip/inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte picks a size hint, so that both a short and a generous first buffer run.
  const size_t hint = size > 0 ? size_t{data[0]} << (data[0] % 8) : 0;
  auto result = morvane::inflate(std::span<const uint8_t>(data, size), hint);
  if (!result.ok() && result.error().empty()) __builtin_trap();
  return 0;
}
