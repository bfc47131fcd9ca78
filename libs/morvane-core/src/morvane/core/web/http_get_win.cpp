// WinHTTP, synchronous. Proxies and redirects are WinHTTP's defaults; certificates are
// checked by the system and nothing is relaxed.
#include <windows.h>
#include <winhttp.h>

#include <optional>
#include <vector>

#include "morvane/core/text/utf16.h"
#include "morvane/core/web/http_get.h"

namespace morvane::internal {
namespace {

Error network_error(DWORD code) {
  return make_error("error de red " + std::to_string(static_cast<unsigned long>(code)));
}

// Closes a WinHTTP handle on every path.
class Handle {
 public:
  explicit Handle(HINTERNET h) : h_(h) {}
  ~Handle() {
    if (h_) WinHttpCloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HINTERNET get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }

 private:
  HINTERNET h_;
};

constexpr DWORD kAutomaticProxy = 4;  // WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
constexpr DWORD kStatusCodeAsNumber = 0x20000013;

// The Content-Length the server announced, if it announced a plain decimal one.
std::optional<uint64_t> announced_length(HINTERNET request) {
  wchar_t text[32];
  DWORD size = sizeof text;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                           text, &size, WINHTTP_NO_HEADER_INDEX)) {
    return std::nullopt;
  }
  const size_t n = size / sizeof(wchar_t);
  if (n == 0 || n > 19) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = 0; i < n; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(text[i] - L'0');
  }
  return value;
}

}  // namespace

Result<HttpResponse> platform_http_get(const UrlParts& parts, const std::string& agent,
                                       const HttpHeaders& headers, uint32_t timeout_ms,
                                       const BodySink& sink) {
  std::wstring wide_agent = utf8_to_wide(agent);
  Handle session(WinHttpOpen(wide_agent.c_str(), kAutomaticProxy, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, 0));
  Handle fallback(session ? nullptr
                          : WinHttpOpen(wide_agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                        WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  HINTERNET open = session ? session.get() : fallback.get();
  if (!open) return network_error(GetLastError());
  int t = static_cast<int>(timeout_ms > 0x7FFFFFFFu ? 0x7FFFFFFFu : timeout_ms);
  WinHttpSetTimeouts(open, t, t, t, t);

  Handle connection(WinHttpConnect(open, utf8_to_wide(parts.host).c_str(), parts.port, 0));
  if (!connection) return network_error(GetLastError());
  std::wstring path = utf8_to_wide(parts.path);
  Handle request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr,
                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                    parts.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return network_error(GetLastError());

  std::string block;
  for (const auto& [name, value] : headers) block += name + ": " + value + "\r\n";
  std::wstring wide_block = utf8_to_wide(block);
  BOOL sent = wide_block.empty() ? WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS,
                                                      0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)
                                 : WinHttpSendRequest(request.get(), wide_block.c_str(),
                                                      static_cast<DWORD>(wide_block.size()),
                                                      WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
  if (!sent) return network_error(GetLastError());
  if (!WinHttpReceiveResponse(request.get(), nullptr)) return network_error(GetLastError());

  HttpResponse response;
  DWORD status = 0;
  DWORD status_size = sizeof(status);
  if (WinHttpQueryHeaders(request.get(), kStatusCodeAsNumber, WINHTTP_HEADER_NAME_BY_INDEX, &status,
                          &status_size, WINHTTP_NO_HEADER_INDEX)) {
    response.status = static_cast<uint16_t>(status & 0xFFFF);
  }

  // A connection closed before the announced length is a failure, never a short body:
  // WinHTTP (Wine's at least) reports the early end as the body's normal end.
  const std::optional<uint64_t> length = announced_length(request.get());
  uint64_t received = 0;
  std::vector<char> buffer(kReadChunkBytes);
  for (;;) {
    DWORD got = 0;
    if (!WinHttpReadData(request.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
      return network_error(GetLastError());
    }
    if (got == 0) {
      if (length && received < *length) return network_error(ERROR_WINHTTP_CONNECTION_ERROR);
      break;
    }
    received += got;
    if (sink) {
      if (!sink(buffer.data(), got)) break;
    } else {
      response.body.append(buffer.data(), got);
      if (response.body.size() > kMaxBodyBytes) break;
    }
  }
  return response;
}

}  // namespace morvane::internal
