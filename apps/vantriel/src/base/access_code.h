// The access code the person at the PC reads out to the technician: six characters,
// made for each run of the host and never stored.
#ifndef VANTRIEL_BASE_ACCESS_CODE_H_
#define VANTRIEL_BASE_ACCESS_CODE_H_

#include <string>
#include <string_view>

#include "morvane/core/sync/mutex.h"

namespace vantriel {

// Without I, L, O, 0 and 1, which are read out and typed wrongly.
inline constexpr std::string_view kAccessCodeAlphabet = "ABCDEFGHJKMNPQRSTUVWXYZ23456789";

// The member that holds the access code in the local API's requests and replies.
inline constexpr char kAccessCodeMember[] = "clave";

// The access code of this run: generated on first use, never stored. The host makes one
// and hands it to the routes and the support sessions. Callable from any thread.
class AccessCode {
 public:
  AccessCode() = default;
  AccessCode(const AccessCode&) = delete;
  AccessCode& operator=(const AccessCode&) = delete;

  std::string current();

  // Replaces the code with a new one and returns it.
  std::string renew();

  // Whether `typed` equals the code once white space and "-" are removed and letters
  // upper-cased. Compares in time independent of where the texts differ.
  bool check(std::string_view typed);

 private:
  const std::string& current_locked() REQUIRES(mu_);

  morvane::Mutex mu_;
  std::string code_ GUARDED_BY(mu_);  // empty until first needed
};

}  // namespace vantriel

#endif  // VANTRIEL_BASE_ACCESS_CODE_H_
