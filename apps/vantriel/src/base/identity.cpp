#include "base/identity.h"

#include <system_error>

#include <nlohmann/json.hpp>

#include "base/environment.h"
#include "base/id_format.h"
#include "base/json_file.h"
#include "base/json_member.h"
#include "base/random.h"
#include "morvane/core/sync/mutex.h"

namespace vantriel {
namespace {

constexpr std::size_t kMinSecretBytes = 32;
constexpr std::size_t kSecretRandomBytes = 32;

// The identity file's other members: the ID, and a note for people who open the file.
constexpr char kIdMember[] = "id";
constexpr char kNoteMember[] = "_nota";

constexpr const char* kNote =
    "No compartas este archivo: la «llave» demuestra que este ID es de esta PC. "
    "Si lo borras, se crea un ID nuevo.";

// REQUIRES: the identity file's lock held, so a load never reads the file between
// new_identity's delete and its write.
Identity load_identity_locked(const DataFolder& folder, const Log& log) {
  const std::filesystem::path path = folder.file(kIdentityFileName);
  if (auto stored = read_json_file(path); stored && stored->is_object()) {
    Identity identity{text_member(*stored, kIdMember), text_member(*stored, kSecretMember)};
    if (is_valid_id(identity.id) && identity.secret.size() >= kMinSecretBytes) return identity;
  }

  Identity identity;
  if (auto wanted = env_var("VTR_ID"); wanted && is_valid_id(*wanted)) {
    identity.id = std::move(*wanted);
  } else {
    identity.id = std::to_string(100000000u + random_below(900000000u));
  }
  identity.secret = random_hex(kSecretRandomBytes);

  nlohmann::ordered_json document = nlohmann::ordered_json::object();
  document[kIdMember] = identity.id;
  document[kSecretMember] = identity.secret;
  document[kNoteMember] = kNote;
  // On failure the next load makes another one; the log says why this one was lost.
  if (const morvane::Status saved = write_json_atomic(path, document); !saved) {
    log.line("No se pudo guardar el ID de esta PC: " + saved.error());
  }
  log.line("ID nuevo de esta PC: " + format_id(identity.id));
  return identity;
}

}  // namespace

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

}  // namespace vantriel
