// A small synchronous HTTP(S) GET client for the updater: one request per call, nothing
// retried, certificates checked by the platform. WinHTTP on Windows, libcurl on Linux.
#ifndef MORVANE_CORE_WEB_HTTP_GET_H_
#define MORVANE_CORE_WEB_HTTP_GET_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "morvane/core/result.h"

namespace morvane {

// Receives each chunk of the body as it arrives; returns false to stop reading. Errors of
// the sink are its own business: it keeps its text and answers false.
using BodySink = std::function<bool(const char* data, size_t size)>;

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpResponse {
  std::string body;     // empty when a sink took the body
  uint16_t status = 0;  // 0 when the status could not be read
};

// Bodies read into memory stop growing past this; the part read so far is returned.
inline constexpr size_t kMaxBodyBytes = 64u * 1024u * 1024u;
inline constexpr size_t kReadChunkBytes = 64u * 1024u;
inline constexpr char kBadUrl[] = "URL no v\xC3\xA1lida";
// Agent text when |headers| carry no "User-Agent": the library's own name (apps send
// theirs).
inline constexpr char kDefaultAgent[] = "morvane";

struct UrlParts {
  bool secure = false;
  std::string host;
  uint16_t port = 0;
  std::string path;  // from the first "/" after the authority, query included; "/" when none
};

// "https://" or "http://" exactly (case-sensitive), then the authority up to the first
// "/". A port is what follows the authority's last ":" when that is all digits (empty or
// above 65535 fails); otherwise the whole authority is the host and the port is 443 or 80.
// Fails with kBadUrl.
Result<UrlParts> split_url(std::string_view url);

// The value of the first header named "User-Agent" (ASCII case ignored), or
// kDefaultAgent; |rest| receives every other header in order.
std::string take_user_agent(const HttpHeaders& headers, HttpHeaders* rest);

// GETs |url| with |headers| in order. |timeout_ms| bounds each of resolve, connect, send
// and every wait for data. Any status is a success here; the caller judges it. Without a
// sink the body is collected in memory and reading stops once it passes kMaxBodyBytes.
// Transport failures read "error de red <code>" (a time-out is 12002 on every platform).
// Blocking; callable from any thread.
Result<HttpResponse> http_get(std::string_view url, const HttpHeaders& headers, uint32_t timeout_ms,
                              const BodySink& sink = nullptr);

namespace internal {
// The platform half: |parts| already checked.
Result<HttpResponse> platform_http_get(const UrlParts& parts, const std::string& agent,
                                       const HttpHeaders& headers, uint32_t timeout_ms,
                                       const BodySink& sink);
}  // namespace internal

}  // namespace morvane

#endif  // MORVANE_CORE_WEB_HTTP_GET_H_
