// Release documents: the canonical text that the publisher signs, version ordering, the
// update key, and the evaluation of a fetched document into a ReleaseInfo.
#ifndef MORVANE_UPDATE_RELEASE_H_
#define MORVANE_UPDATE_RELEASE_H_

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "morvane/update/product.h"

namespace morvane {

using Json = nlohmann::ordered_json;
using UpdateKey = std::array<uint8_t, 32>;
__extension__ typedef __int128 VersionPart;
// Compared element by element; a key that is a prefix of another is the smaller one.
using VersionKey = std::vector<VersionPart>;

inline constexpr size_t kMaxDocumentBytes = 200000;
inline constexpr std::string_view kPackageMismatch =
    "el archivo descargado no coincide con el publicado (SHA-256 distinto)";

// The exact bytes that are signed: no whitespace, object members sorted by key bytes,
// texts escaped only where JSON requires it (other characters as raw UTF-8), floats by
// float_text().
std::string canonical_json(const Json& value);

// A value as text for messages and version keys: None, True, False, decimal integers,
// float_text(), a text itself, arrays and objects as compact JSON in stored order.
std::string value_text(const Json& value);

// The shortest text that reads back as |value|: positional between 1e-4 and 1e16 (with
// ".0" when it has no point), else d.ddde+XX; NaN, Infinity, -Infinity.
std::string float_text(double value);

// "1.2.0", "v1.2" ... as integers; any part that is not an integer (optional sign, digits
// with single underscores between them) makes the whole key [0].
VersionKey version_key(std::string_view text);

// False for null, false, 0, 0.0, "", [] and {}.
bool truthy(const Json& value);

// NoneType, bool, int, float, str, list, dict: the type names used in messages.
std::string type_name(const Json& value);

// The key text compiled in (MORVANE_UPDATE_KEY_HEX at configure time, then a line feed).
// It is defined in a file of its own, made from update_key.cpp.in: a program that trusts
// another key links its own copy of that file (morvane_update_key_source() in CMake).
std::string_view compiled_update_key_text();

// The compiled key when it decodes to 32 bytes; else the hexadecimal text of
// "clave_actualizaciones.pub" in |install_folder|, then in its sub-folder "mrv".
std::optional<UpdateKey> load_update_key(const std::filesystem::path& install_folder);
std::optional<UpdateKey> load_update_key(const std::filesystem::path& install_folder,
                                         std::string_view compiled_key_text);

// MRV_UPDATE_URL when set and not empty, else the product's manifest_url.
std::string manifest_url(const UpdateProduct& product);

struct Release {
  Json info;  // ReleaseInfo: version, date, url, size, sha256, page, changes, signed
  bool newer = false;
  std::string version;  // value_text of the release's version
};

struct ReleaseFailure {
  std::string message;
  // True when the description itself was read and found wanting (missing version, bad
  // signature, other app, bad change list); false for transport, text and JSON faults.
  bool description_read = false;
};

using ReleaseCheck = std::variant<Release, ReleaseFailure>;

// Judges a fetched release document: |http_status| and |body| as received, the running
// version, and the update key if there is one. Without a key unsigned descriptions pass
// with "signed" false. A document that names an app must name |product|'s; a release
// without a page gets the product's support page. Never throws.
ReleaseCheck evaluate_release(int http_status, std::string_view body,
                              std::string_view running_version,
                              const std::optional<UpdateKey>& key, const UpdateProduct& product);

// The package check: |package_sha256_hex| (lower case) equals the release's "sha256" text
// in lower case, character for character; a missing or non-text "sha256" never matches.
bool package_matches(const Json& release_info, std::string_view package_sha256_hex);

}  // namespace morvane

#endif  // MORVANE_UPDATE_RELEASE_H_
