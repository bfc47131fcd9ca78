// Reads arbitrary bodies with the host's input reader and with a generic JSON reading of
// the same text; any difference in what they accept or in the events they find is a bug.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "input/input_batch.h"
#include "input/input_batch_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  if (vantriel::read_input_batch(body, vantriel::kMaxBodyNesting) !=
      vantriel::testing::reference_input_batch(body)) {
    std::abort();
  }
  return 0;
}
