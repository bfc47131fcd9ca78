// Which signalling server this PC uses: the environment's, the settings file's or the
// default, and which texts are acceptable as the settings file's server.
#ifndef VANTRIEL_BASE_SERVER_URL_H_
#define VANTRIEL_BASE_SERVER_URL_H_

#include <string>
#include <string_view>

#include "base/data_folder.h"

namespace vantriel {

// The signalling server used when neither VTR_SERVER nor `servidor` names one.
inline constexpr std::string_view kDefaultServerUrl = "https://senal.vantriel.app";

// The signalling server's base URL without trailing "/": VTR_SERVER when it looks like an
// http(s) URL, else a valid `servidor`, else kDefaultServerUrl.
std::string server_url(const DataFolder& folder);

// Whether `text` (trimmed) is acceptable as `servidor`: an https URL without blanks,
// quotes, "@" or backslashes, or http to 127.0.0.1 / localhost with an optional port.
bool is_valid_server(std::string_view text);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_SERVER_URL_H_
