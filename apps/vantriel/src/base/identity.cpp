#include "base/identity.h"

#include <system_error>

#include <nlohmann/json.hpp>

#include "base/environment.h"
#include "base/json_file.h"
#include "base/json_member.h"
#include "base/random.h"
#include "morvane/core/sync/mutex.h"
#include "morvane/core/text/ascii.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {
namespace {

constexpr std::size_t kMinLlaveBytes = 32;
constexpr std::size_t kLlaveRandomBytes = 32;
constexpr std::size_t kCodeLength = 6;

constexpr const char* kNota =
    "No compartas este archivo: la «llave» demuestra que este ID es de esta PC. "
    "Si lo borras, se crea un ID nuevo.";

// REQUIRES: the identity file's lock held, so a load never reads the file between
// new_identity's delete and its write.
Identity load_identity_locked(const DataFolder& folder, const Log& log) {
  const std::filesystem::path path = folder.file(kIdentityFileName);
  if (auto stored = read_json_file(path); stored && stored->is_object()) {
    Identity identity{text_member(*stored, "id"), text_member(*stored, "llave")};
    if (is_valid_id(identity.id) && identity.llave.size() >= kMinLlaveBytes) return identity;
  }

  Identity identity;
  if (auto wanted = env_var("VTR_ID"); wanted && is_valid_id(*wanted)) {
    identity.id = std::move(*wanted);
  } else {
    identity.id = std::to_string(100000000u + random_below(900000000u));
  }
  identity.llave = random_hex(kLlaveRandomBytes);

  nlohmann::ordered_json document = nlohmann::ordered_json::object();
  document["id"] = identity.id;
  document["llave"] = identity.llave;
  document["_nota"] = kNota;
  // On failure the next load makes another one; the log says why this one was lost.
  if (const morvane::Status saved = write_json_atomic(path, document); !saved) {
    log.line("No se pudo guardar el ID de esta PC: " + saved.error());
  }
  log.line("ID nuevo de esta PC: " + id_bonito(identity.id));
  return identity;
}

}  // namespace

bool is_valid_id(std::string_view id) {
  if (id.size() != 9 || id.front() == '0') return false;
  for (const char c : id) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string id_bonito(std::string_view id) {
  if (id.size() != 9) return std::string(id);
  std::string out;
  out.reserve(11);
  out.append(id.substr(0, 3)).append(" ").append(id.substr(3, 3)).append(" ").append(id.substr(6));
  return out;
}

Identity load_identity(const DataFolder& folder, const Log& log) {
  morvane::MutexLock lock(folder.file_lock(kIdentityFileName));
  return load_identity_locked(folder, log);
}

Identity new_identity(const DataFolder& folder, const Log& log) {
  morvane::MutexLock lock(folder.file_lock(kIdentityFileName));
  std::error_code ec;
  std::filesystem::remove(folder.file(kIdentityFileName), ec);
  return load_identity_locked(folder, log);
}

std::string random_code(std::string_view alphabet) {
  std::string code;
  code.reserve(kCodeLength);
  for (std::size_t i = 0; i < kCodeLength; ++i) {
    code.push_back(alphabet[random_below(static_cast<std::uint32_t>(alphabet.size()))]);
  }
  return code;
}

const std::string& AccessCode::current_locked() {
  if (code_.empty()) code_ = random_code(kClaveAlphabet);
  return code_;
}

std::string AccessCode::current() {
  morvane::MutexLock lock(mu_);
  return current_locked();
}

std::string AccessCode::renew() {
  std::string fresh = random_code(kClaveAlphabet);
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

std::string new_call_code() { return random_code(kCallCodeAlphabet); }

}  // namespace vantriel
