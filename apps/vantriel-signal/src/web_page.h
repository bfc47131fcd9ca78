// The technician's page for any browser, served at "/" of the public port: which file
// each address names, and the headers it goes out with. The page's files are fixed when
// the server is built; each is joined and hashed once, when the server opens. No Beast
// here: http_session.cpp writes what answer() decides. Immutable after construction, so
// any thread may read it.
#ifndef VANTRIEL_SIGNAL_WEB_PAGE_H_
#define VANTRIEL_SIGNAL_WEB_PAGE_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantriel::signal {

// What the page may load and from where: its own files and the signalling server's own
// sockets (Chromium's 'self' covers ws: and wss: to the same host), pictures and media
// also from the page's own blobs (received screens, files) and data: addresses; no
// inline script or style, no plugins, forms, frames or <base>.
inline constexpr char kWebContentSecurityPolicy[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; "
    "font-src 'self'; media-src 'self' blob:; connect-src 'self'; object-src 'none'; "
    "base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

struct WebReply {
  int status = 200;  // 200, or 304 when the browser's copy is current
  std::vector<std::pair<std::string, std::string>> headers;  // Content-Length aside
  std::string_view body;      // empty for 304 and for HEAD
  std::size_t content_length = 0;  // of the file, for HEAD too; 0 for 304
};

class WebPage {
 public:
  // Files by their path in the page's folder ("index.html", "font/bold.woff2").
  explicit WebPage(const std::vector<std::pair<std::string, std::string>>& files);
  // The page compiled into this server (web_files.h).
  static WebPage compiled();

  // The answer to GET (or HEAD, `head`) of `path`, the request target without its query;
  // "/" is index.html. Nothing when the page has no such file: paths are looked up as
  // they are, never resolved, so "/font/../x" names nothing. `if_none_match` is the
  // request's If-None-Match.
  std::optional<WebReply> answer(std::string_view path, bool head,
                                 std::string_view if_none_match) const;

  std::size_t size() const { return files_.size(); }

 private:
  struct File {
    std::string path;  // as requested: "/", "/app.js", "/font/bold.woff2"
    std::string type;
    std::string body;
    std::string etag;  // strong: the content's SHA-1, quoted
  };
  std::vector<File> files_;
};

// Whether a WebSocket upgrade came from a page of this server: the request's Origin
// (scheme://host[:port]) names the host and port of its Host header, letters compared
// without case and the scheme's default port optional. False without either header,
// for "null" and for any other form of Origin.
bool same_origin(std::string_view origin, std::string_view host);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_WEB_PAGE_H_
