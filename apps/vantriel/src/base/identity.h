// This PC's permanent identity ("identidad.json": nine-digit ID and secret key) and the
// short codes that are never stored: the access code (`clave`) and call codes.
#ifndef VANTRIEL_BASE_IDENTITY_H_
#define VANTRIEL_BASE_IDENTITY_H_

#include <string>
#include <string_view>

#include "base/data_folder.h"
#include "base/log.h"
#include "morvane/core/sync/mutex.h"

namespace vantriel {

struct Identity {
  std::string id;     // 9 ASCII digits, first not "0"
  std::string llave;  // at least 32 bytes; generated ones are 64 lower-case hex digits
};

inline constexpr std::string_view kIdentityFileName = "identidad.json";
inline constexpr std::string_view kClaveAlphabet = "ABCDEFGHJKMNPQRSTUVWXYZ23456789";
inline constexpr std::string_view kCallCodeAlphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";

// Reads the identity file of `folder`; when it is missing or invalid, makes, stores and
// logs a new identity (VTR_ID supplies the ID when it holds a valid one). Never fails; a
// write error only means the next call makes another identity. Serialised with
// new_identity through the file's lock, so two callers that find the file missing at once
// end with one identity.
Identity load_identity(const DataFolder& folder, const Log& log);

// Deletes the identity file and loads, so a new ID and key are made.
Identity new_identity(const DataFolder& folder, const Log& log);

// "123 456 789" for a 9-character ID; any other text unchanged.
std::string id_bonito(std::string_view id);

// Exactly 9 ASCII digits, the first not "0".
bool is_valid_id(std::string_view id);

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

// A fresh 6-character call code.
std::string new_call_code();

// 6 characters drawn uniformly from `alphabet`.
std::string random_code(std::string_view alphabet);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_IDENTITY_H_
