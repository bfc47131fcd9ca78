#include "web_page.h"

#include "crypto.h"
#include "morvane/core/text/ascii.h"
#include "web_files.h"

namespace vantriel::signal {
namespace {

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Text says its character set: a browser must not guess it.
std::string content_type(std::string_view path) {
  struct Kind {
    const char* extension;
    const char* type;
  };
  static constexpr Kind kKinds[] = {
      {".html", "text/html; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".woff2", "font/woff2"},
      {".ttf", "font/ttf"},
      {".png", "image/png"},
      {".ico", "image/x-icon"},
  };
  for (const Kind& k : kKinds) {
    if (ends_with(path, k.extension)) return k.type;
  }
  return "application/octet-stream";
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// If-None-Match compares weakly: W/"x" matches "x"; "*" matches any file.
bool none_match_hit(std::string_view header, std::string_view etag) {
  while (!header.empty()) {
    const size_t comma = header.find(',');
    std::string_view tag = trim(header.substr(0, comma));
    if (tag == "*") return true;
    if (tag.substr(0, 2) == "W/") tag.remove_prefix(2);
    if (tag == etag) return true;
    if (comma == std::string_view::npos) break;
    header.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

WebPage::WebPage(const std::vector<std::pair<std::string, std::string>>& files) {
  files_.reserve(files.size());
  for (const auto& [path, body] : files) {
    File f;
    f.path = path == "index.html" ? "/" : "/" + path;
    f.type = content_type(path);
    f.body = body;
    f.etag = "\"" + hex_encode(as_bytes(sha1(body))) + "\"";
    files_.push_back(std::move(f));
  }
}

WebPage WebPage::compiled() {
  std::vector<std::pair<std::string, std::string>> files;
  files.reserve(web::files_count);
  for (std::size_t i = 0; i < web::files_count; ++i) {
    files.emplace_back(web::files[i].path, web::files[i].file->joined());
  }
  return WebPage(files);
}

std::optional<WebReply> WebPage::answer(std::string_view path, bool head,
                                        std::string_view if_none_match) const {
  for (const File& f : files_) {
    if (f.path != path) continue;
    WebReply r;
    // Every answer, 304 too, carries the policy: a cached copy is used under it.
    r.headers = {
        {"Content-Security-Policy", kWebContentSecurityPolicy},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"X-Frame-Options", "DENY"},
        // Kept, but asked after every time: a new release reaches the browser at once.
        {"Cache-Control", "no-cache"},
        {"ETag", f.etag},
    };
    if (!if_none_match.empty() && none_match_hit(if_none_match, f.etag)) {
      r.status = 304;
      return r;
    }
    r.headers.emplace_back("Content-Type", f.type);
    r.content_length = f.body.size();
    if (!head) r.body = f.body;
    return r;
  }
  return std::nullopt;
}

bool same_origin(std::string_view origin, std::string_view host) {
  std::string o = morvane::ascii_lower(origin), h = morvane::ascii_lower(host);
  std::string_view default_port;
  if (o.rfind("https://", 0) == 0) {
    o.erase(0, 8);
    default_port = ":443";
  } else if (o.rfind("http://", 0) == 0) {
    o.erase(0, 7);
    default_port = ":80";
  } else {
    return false;  // "null", another scheme, or none
  }
  if (o.empty() || h.empty() || o.find_first_of("/?#@ ") != std::string::npos) return false;
  if (ends_with(o, default_port)) o.resize(o.size() - default_port.size());
  if (ends_with(h, default_port)) h.resize(h.size() - default_port.size());
  return o == h;
}

}  // namespace vantriel::signal
