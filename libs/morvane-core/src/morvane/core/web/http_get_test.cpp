#include "morvane/core/web/http_get.h"

#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "morvane/core/web/testing/loopback_listener.h"

namespace morvane {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(SplitUrl, SchemesAndPorts) {
  auto https = split_url("https://example.org:8443/a/b?x=1#f");
  ASSERT_TRUE(https.ok());
  EXPECT_TRUE(https->secure);
  EXPECT_EQ(https->host, "example.org");
  EXPECT_EQ(https->port, 8443);
  EXPECT_EQ(https->path, "/a/b?x=1#f");

  auto bare = split_url("https://example.org");
  ASSERT_TRUE(bare.ok());
  EXPECT_EQ(bare->port, 443);
  EXPECT_EQ(bare->path, "/");
  auto plain = split_url("http://example.org?q");
  ASSERT_TRUE(plain.ok());
  EXPECT_FALSE(plain->secure);
  EXPECT_EQ(plain->port, 80);
  EXPECT_EQ(plain->host, "example.org?q");
  EXPECT_EQ(plain->path, "/");

  // Letters after the colon: the whole authority is the host, default port.
  auto letters = split_url("http://host:abc/x");
  ASSERT_TRUE(letters.ok());
  EXPECT_EQ(letters->host, "host:abc");
  EXPECT_EQ(letters->port, 80);
  auto max = split_url("http://h:65535/");
  ASSERT_TRUE(max.ok());
  EXPECT_EQ(max->port, 65535);

  for (const char* bad : {"HTTPS://example.org/", "ftp://x/", "https:/x", "", "http://h:/x",
                          "http://h:99999/x", "http://h:65536", " https://x/"}) {
    auto parts = split_url(bad);
    ASSERT_FALSE(parts.ok()) << bad;
    EXPECT_EQ(parts.error(), kBadUrl);
  }
}

TEST(TakeUserAgent, FirstMatchIgnoringCaseIsRemoved) {
  HttpHeaders rest;
  EXPECT_EQ(take_user_agent(
                {{"Cache-Control", "no-cache"}, {"user-AGENT", "A/1"}, {"User-Agent", "B"}}, &rest),
            "A/1");
  EXPECT_EQ(rest, (HttpHeaders{{"Cache-Control", "no-cache"}, {"User-Agent", "B"}}));
  rest.clear();
  EXPECT_EQ(take_user_agent({{"X", "1"}}, &rest), kDefaultAgent);
  EXPECT_EQ(rest, (HttpHeaders{{"X", "1"}}));
}

// Serves one canned response on a loopback port and keeps the request it read.
class OneShotServer {
 public:
  explicit OneShotServer(std::string response) : response_(std::move(response)) {
    thread_ = std::thread([this] { serve(); });
  }
  ~OneShotServer() {
    if (thread_.joinable()) thread_.join();
  }
  std::string url(const std::string& path) const { return listener_.url(path); }
  // Valid after the client's call returned.
  const std::string& request() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  void serve() {
    const auto c = listener_.accept_one();
    if (c == testing::kNoSocket) return;
    char buf[4096];
    while (request_.find("\r\n\r\n") == std::string::npos) {
      const long n = testing::recv_some(c, buf, sizeof buf);
      if (n <= 0) break;
      request_.append(buf, static_cast<size_t>(n));
    }
    (void)testing::send_all(c, response_);  // false when the client stopped reading
    testing::close_socket(c);
  }

  testing::LoopbackListener listener_;
  std::string response_;
  std::string request_;
  std::thread thread_;
};

std::string reply(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

TEST(HttpGet, SendsHeadersInOrderAndReturnsAnyStatus) {
  OneShotServer server(reply(404, "missing"));
  auto response = http_get(server.url("/v.json?x=1"),
                           {{"User-Agent", "Vantriel/0.1.1 (actualizaciones)"},
                            {"Cache-Control", "no-cache"},
                            {"X-Two", "2"}},
                           5000);
  ASSERT_TRUE(response.ok()) << response.error();
  EXPECT_EQ(response->status, 404);
  EXPECT_EQ(response->body, "missing");
  const std::string& request = server.request();
  EXPECT_THAT(request, HasSubstr("GET /v.json?x=1 HTTP/1.1\r\n"));
  EXPECT_THAT(request, HasSubstr("User-Agent: Vantriel/0.1.1 (actualizaciones)\r\n"));
  EXPECT_THAT(request, HasSubstr("Cache-Control: no-cache\r\nX-Two: 2\r\n"));
}

TEST(HttpGet, DefaultAgentWhenNoneGiven) {
  OneShotServer server(reply(200, "ok"));
  auto response = http_get(server.url("/"), {}, 5000);
  ASSERT_TRUE(response.ok()) << response.error();
  EXPECT_THAT(server.request(), HasSubstr("User-Agent: morvane\r\n"));
}

TEST(HttpGet, BodyWithoutSinkIsCutPastTheCap) {
  std::string big(kMaxBodyBytes + 6u * 1024u * 1024u, 'x');
  OneShotServer server(reply(200, big));
  auto response = http_get(server.url("/big"), {}, 10000);
  ASSERT_TRUE(response.ok()) << response.error();
  EXPECT_EQ(response->status, 200);
  EXPECT_GT(response->body.size(), kMaxBodyBytes);
  EXPECT_LE(response->body.size(), kMaxBodyBytes + kReadChunkBytes);
}

TEST(HttpGet, SinkTakesChunksAndMayStop) {
  std::string body(300000, 'y');
  {
    OneShotServer server(reply(200, body));
    size_t seen = 0;
    auto response = http_get(server.url("/"), {}, 5000, [&](const char*, size_t n) {
      seen += n;
      return true;
    });
    ASSERT_TRUE(response.ok()) << response.error();
    EXPECT_EQ(seen, body.size());
    EXPECT_TRUE(response->body.empty());
  }
  OneShotServer server(reply(200, body));
  int calls = 0;
  auto response = http_get(server.url("/"), {}, 5000, [&](const char*, size_t) {
    ++calls;
    return false;
  });
  ASSERT_TRUE(response.ok()) << response.error();
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(response->status, 200);
}

TEST(HttpGet, TransportFailuresAreNetworkErrors) {
  // A body cut short by the server, and a port where nobody listens.
  OneShotServer server("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nshort");
  auto cut = http_get(server.url("/"), {}, 5000);
  ASSERT_FALSE(cut.ok());
  EXPECT_THAT(cut.error(), HasSubstr("error de red "));
  auto refused = http_get("http://127.0.0.1:1/", {}, 5000);
  ASSERT_FALSE(refused.ok());
  EXPECT_THAT(refused.error(), HasSubstr("error de red "));
  EXPECT_THAT(http_get("htp://x/", {}, 5000).error(), Not(HasSubstr("red")));
}

}  // namespace
}  // namespace morvane
