// The ZIP reader on arbitrary bytes: the directory and every entry either read or fail
// with a text.
#include <cstddef>
#include <cstdint>

#include "morvane/update/zip/zip_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> archive(data, size);
  auto entries = morvane::read_zip_directory(archive);
  if (!entries.ok()) return 0;
  for (const morvane::ZipEntry& e : *entries) {
    // Sizes are declared by the input; keep one run's memory bounded.
    if (e.uncompressed_size > (1u << 24)) continue;
    auto contents = morvane::read_zip_entry(archive, e);
    if (!contents.ok() && contents.error().empty()) __builtin_trap();
  }
  return 0;
}
