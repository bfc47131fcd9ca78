#include "morvane/core/web/http_get.h"

#include "morvane/core/text/ascii.h"

namespace morvane {
Result<UrlParts> split_url(std::string_view url) {
  UrlParts parts;
  constexpr std::string_view kHttps = "https://", kHttp = "http://";
  std::string_view rest;
  if (url.substr(0, kHttps.size()) == kHttps) {
    parts.secure = true;
    rest = url.substr(kHttps.size());
  } else if (url.substr(0, kHttp.size()) == kHttp) {
    rest = url.substr(kHttp.size());
  } else {
    return make_error(kBadUrl);
  }
  size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  parts.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  parts.port = parts.secure ? 443 : 80;
  parts.host = std::string(authority);
  size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos) {
    std::string_view digits = authority.substr(colon + 1);
    bool all_digits = true;
    for (char c : digits) all_digits = all_digits && c >= '0' && c <= '9';
    if (all_digits) {
      // Leading zeros are harmless; the length bound keeps the sum from overflowing.
      uint32_t port = 0;
      for (char c : digits) {
        port = port * 10 + static_cast<uint32_t>(c - '0');
        if (port > 65535) return make_error(kBadUrl);
      }
      if (digits.empty()) return make_error(kBadUrl);
      parts.port = static_cast<uint16_t>(port);
      parts.host = std::string(authority.substr(0, colon));
    }
  }
  return parts;
}

std::string take_user_agent(const HttpHeaders& headers, HttpHeaders* rest) {
  std::string agent;
  bool found = false;
  for (const auto& header : headers) {
    if (!found && equals_ignoring_ascii_case(header.first, "User-Agent")) {
      agent = header.second;
      found = true;
      continue;
    }
    rest->push_back(header);
  }
  return found ? agent : std::string(kDefaultAgent);
}

Result<HttpResponse> http_get(std::string_view url, const HttpHeaders& headers, uint32_t timeout_ms,
                              const BodySink& sink) {
  auto parts = split_url(url);
  if (!parts.ok()) return make_error(parts.error());
  HttpHeaders rest;
  std::string agent = take_user_agent(headers, &rest);
  return internal::platform_http_get(*parts, agent, rest, timeout_ms, sink);
}

}  // namespace morvane
