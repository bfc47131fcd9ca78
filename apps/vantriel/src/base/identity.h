// This PC's permanent identity: the file "identidad.json" in the data folder, with the
// nine-digit ID and the secret that proves to the signalling server that the ID is this
// PC's.
#ifndef VANTRIEL_BASE_IDENTITY_H_
#define VANTRIEL_BASE_IDENTITY_H_

#include <string>
#include <string_view>

#include "base/data_folder.h"
#include "base/log.h"

namespace vantriel {

struct Identity {
  std::string id;      // 9 ASCII digits, first not "0"
  std::string secret;  // at least 32 bytes; generated ones are 64 lower-case hex digits
};

inline constexpr std::string_view kIdentityFileName = "identidad.json";
// The member that holds the secret, in the identity file and in the local API's replies.
inline constexpr char kSecretMember[] = "llave";

// Reads the identity file of `folder`; when it is missing or invalid, makes, stores and
// logs a new identity (VTR_ID supplies the ID when it holds a valid one). Never fails; a
// write error only means the next call makes another identity. Serialised with
// new_identity through the file's lock, so two callers that find the file missing at once
// end with one identity.
Identity load_identity(const DataFolder& folder, const Log& log);

// Deletes the identity file and loads, so a new ID and secret are made.
Identity new_identity(const DataFolder& folder, const Log& log);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_IDENTITY_H_
