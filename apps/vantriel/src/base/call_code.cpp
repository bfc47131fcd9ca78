#include "base/call_code.h"

#include "base/random.h"

namespace vantriel {
namespace {

constexpr std::size_t kCallCodeLength = 6;

}  // namespace

std::string new_call_code() { return random_text(kCallCodeAlphabet, kCallCodeLength); }

}  // namespace vantriel
