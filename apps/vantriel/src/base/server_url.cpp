#include "base/server_url.h"

#include "base/environment.h"
#include "base/setting_names.h"
#include "base/settings.h"
#include "morvane/core/text/utf8.h"

namespace vantriel {
namespace {

std::string strip_trailing_slashes(std::string text) {
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

}  // namespace

bool is_valid_server(std::string_view text) {
  const std::string url = morvane::trim_unicode(text);
  const std::string_view view = url;
  constexpr std::string_view kHttps = "https://";
  constexpr std::string_view kHttp = "http://";
  if (view.substr(0, kHttps.size()) == kHttps) {
    const std::string_view rest = view.substr(kHttps.size());
    if (rest.empty()) return false;
    for (const char c : rest) {
      const auto b = static_cast<unsigned char>(c);
      // Control characters can never be part of a working URL either.
      if (c == ' ' || c == '"' || c == '@' || c == '\\' || b < 0x20 || b == 0x7F) return false;
    }
    return true;
  }
  if (view.substr(0, kHttp.size()) == kHttp) {
    std::string_view authority = view.substr(kHttp.size());
    authority = authority.substr(0, authority.find('/'));
    std::string_view host = authority;
    if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      const std::string_view port = authority.substr(colon + 1);
      if (port.empty()) return false;
      for (const char c : port) {
        if (c < '0' || c > '9') return false;
      }
    }
    return host == "127.0.0.1" || host == "localhost";
  }
  return false;
}

std::string server_url(const DataFolder& folder) {
  if (auto env = env_var("VTR_SERVER"); env && env->size() > 3 && env->compare(0, 4, "http") == 0) {
    return strip_trailing_slashes(std::move(*env));
  }
  std::string configured =
      morvane::trim_unicode(setting(load_settings(folder), kGeneralSection, kServerKey));
  if (is_valid_server(configured)) return strip_trailing_slashes(std::move(configured));
  return std::string(kDefaultServerUrl);
}

}  // namespace vantriel
