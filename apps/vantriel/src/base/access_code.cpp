#include "base/access_code.h"

#include "base/random.h"
#include "morvane/core/text/ascii.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {
namespace {

constexpr std::size_t kCodeLength = 6;

}  // namespace

const std::string& AccessCode::current_locked() {
  if (code_.empty()) code_ = random_text(kAccessCodeAlphabet, kCodeLength);
  return code_;
}

std::string AccessCode::current() {
  morvane::MutexLock lock(mu_);
  return current_locked();
}

std::string AccessCode::renew() {
  std::string fresh = random_text(kAccessCodeAlphabet, kCodeLength);
  morvane::MutexLock lock(mu_);
  code_ = fresh;
  return fresh;
}

bool AccessCode::check(std::string_view typed) {
  std::string normalized;
  for (const char32_t cp : morvane::decode_utf8(typed)) {
    if (morvane::is_unicode_space(cp) || cp == U'-') continue;
    morvane::append_utf8(normalized, cp);
  }
  normalized = morvane::ascii_upper(normalized);

  std::string expected;
  {
    morvane::MutexLock lock(mu_);
    expected = current_locked();
  }
  if (normalized.size() != expected.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    diff |= static_cast<unsigned char>(normalized[i] ^ expected[i]);
  }
  return diff == 0;
}

}  // namespace vantriel
