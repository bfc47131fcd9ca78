#include "http/pipeline.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "base/access_code.h"
#include "http/reply.h"
#include "input/desktop.h"
#include "main/app_version.h"
#include "support/history.h"
#include "support/support_sessions.h"
#include "update/updater.h"

namespace vantriel {
namespace {

TEST(IsLocalHost, AcceptsLoopbackNamesWithAnyPortAndRepeatedScheme) {
  for (const char* value : {"127.0.0.1:8800", "LOCALHOST:8800", "[::1]:8800", "localhost",
                            "http://127.0.0.1:8800", "http://http://localhost:1", "127.0.0.1"}) {
    EXPECT_TRUE(is_local_host(value)) << value;
  }
}

TEST(IsLocalHost, RefusesLookalikesOtherSchemesAndNull) {
  for (const char* value : {"127.0.0.1.example:8800", "https://127.0.0.1:8800", "null",
                            "evil.example:8800", "[::1]", "", "127.0.0.2", " localhost"}) {
    EXPECT_FALSE(is_local_host(value)) << value;
  }
}

TEST(IsOwnOrigin, OnlyThisServersSchemeLoopbackNameAndPort) {
  for (const char* value : {"http://127.0.0.1:8800", "http://LOCALHOST:8800"}) {
    EXPECT_TRUE(is_own_origin(value, 8800)) << value;
  }
  // Another port on this machine is another site; so is another scheme, a path or a name
  // this server does not listen on.
  for (const char* value : {"http://127.0.0.1:8801", "http://localhost:880", "http://127.0.0.1",
                            "https://127.0.0.1:8800", "http://[::1]:8800", "127.0.0.1:8800",
                            "http://127.0.0.1:8800/", "http://http://127.0.0.1:8800", "null", ""}) {
    EXPECT_FALSE(is_own_origin(value, 8800)) << value;
  }
  EXPECT_FALSE(is_own_origin("http://127.0.0.1:0", 0));
}

TEST(SameSecret, WholeEqualityOnly) {
  EXPECT_TRUE(same_secret("0123abcd", "0123abcd"));
  for (const char* given : {"", "0123abc", "0123abcd0", "0123abcD", "1123abcd", "0123abcd0123abcd"}) {
    EXPECT_FALSE(same_secret(given, "0123abcd")) << given;
  }
  EXPECT_FALSE(same_secret("", ""));
}

TEST(QueryLang, DecodesTheFirstLangPair) {
  EXPECT_EQ(query_lang("/manual/imprimir?lang=en"), "en");
  EXPECT_EQ(query_lang("/x?lang=e%6e"), "en");
  EXPECT_EQ(query_lang("/x?lang=%zz"), "%zz");
  EXPECT_EQ(query_lang("/x?lang=a+b"), "a b");
  EXPECT_EQ(query_lang("/x?a=1&lang=es&lang=en"), "es");
  EXPECT_EQ(query_lang("/x?lang"), "");
  EXPECT_EQ(query_lang("/x?lang=%"), "%");
  EXPECT_EQ(query_lang("/x?lang=%4"), "%4");
  EXPECT_EQ(query_lang("/x?lang=%ff"), "\xEF\xBF\xBD");  // a lone byte is not UTF-8
  EXPECT_EQ(query_lang("/x?language=en"), std::nullopt);
  EXPECT_EQ(query_lang("/x"), std::nullopt);
}

TEST(ParseBody, FallsBackToAnEmptyObject) {
  EXPECT_EQ(parse_body(""), nlohmann::ordered_json::object());
  EXPECT_EQ(parse_body("{\"a\":"), nlohmann::ordered_json::object());
  EXPECT_EQ(parse_body("{\"a\":\"\xff\"}"), nlohmann::ordered_json::object());
  EXPECT_EQ(parse_body("[1,2]"), nlohmann::ordered_json::array({1, 2}));
  EXPECT_EQ(parse_body("7"), 7);
}

TEST(ParseBody, RefusesNestingThatWouldExhaustTheStack) {
  std::string deep(kMaxBodyNesting + 1, '[');
  deep += std::string(kMaxBodyNesting + 1, ']');
  EXPECT_EQ(parse_body(deep), nlohmann::ordered_json::object());
  std::string ok(kMaxBodyNesting, '[');
  ok += std::string(kMaxBodyNesting, ']');
  EXPECT_TRUE(parse_body(ok).is_array());
  // Brackets inside strings do not count.
  EXPECT_EQ(parse_body("{\"a\":\"" + std::string(500, '[') + "\"}")["a"].get<std::string>().size(),
            500u);
}

class HandleRequest : public ::testing::Test {
 protected:
  HttpRequest make(std::string method, std::string target,
                   std::vector<std::pair<std::string, std::string>> headers = {}) {
    HttpRequest r;
    r.method = std::move(method);
    r.target = std::move(target);
    r.headers = std::move(headers);
    return r;
  }
  // The services the routes reach; none of the requests below changes them.
  DataFolder folder_{std::filesystem::path(::testing::TempDir()) / "pipeline_test_data"};
  Log log_{folder_};
  AccessCode access_code_;
  SupportSessions sessions_{SessionEffects{}};
  SessionHistory history_{std::filesystem::path(::testing::TempDir()) / "pipeline_history.jsonl"};
  Desktop desktop_{
      DesktopOptions{.record_input_to = std::nullopt, .monitors = {{}}, .consent_file = std::nullopt}};
  Updater updater_{UpdaterConfig{}, folder_, log_};
  ApiContext app{"0123456789abcdef0123456789abcdef",
                 8800,
                 std::make_shared<const std::string>("page"),
                 folder_,
                 log_,
                 access_code_,
                 sessions_,
                 history_,
                 desktop_,
                 updater_,
                 {}};
};

TEST_F(HandleRequest, OriginChecksComeFirst) {
  auto r = handle_request(make("GET", "/", {{"Host", "evil.example:8800"}}), app);
  EXPECT_EQ(r.status, 403);
  EXPECT_EQ(r.body_view(), "solo local");
  // Refused before the token check, even without a token.
  r = handle_request(make("POST", "/api/nada", {{"Origin", "null"}}), app);
  EXPECT_EQ(r.body_view(), "solo local");
  r = handle_request(make("GET", "/", {{"sec-fetch-site", "Cross-Site"}}), app);
  EXPECT_EQ(r.status, 403);
  r = handle_request(make("GET", "/", {{"Sec-Fetch-Dest", "iframe"}}), app);
  EXPECT_EQ(r.status, 403);
  // Only the first Host header counts.
  r = handle_request(make("GET", "/", {{"Host", "localhost"}, {"Host", "evil.example"}}), app);
  EXPECT_EQ(r.status, 200);
  // Origin is checked on POST only.
  r = handle_request(make("GET", "/", {{"Origin", "null"}, {"Sec-Fetch-Site", "same-origin"}}),
                     app);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body_view(), "page");
}

TEST_F(HandleRequest, TokenIsCheckedBeforeTheRoute) {
  auto r = handle_request(make("POST", "/api/nada", {{"X-Token", "wrong"}}), app);
  EXPECT_EQ(r.status, 403);
  EXPECT_EQ(r.content_type, "application/json");
  EXPECT_EQ(r.body_view(), "{\"ok\":false,\"msg\":\"token inv\xC3\xA1lido\"}");
  r = handle_request(make("POST", "/api/nada", {{"X-Token", "wrong"}, {"x-token", app.token}}), app);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body_view(), "{\"ok\":false,\"msg\":\"acci\xC3\xB3n desconocida\"}");
  // A prefix of the token is not the token.
  r = handle_request(make("POST", "/api/nada", {{"X-Token", app.token.substr(0, 31)}}), app);
  EXPECT_EQ(r.status, 403);
}

TEST_F(HandleRequest, MethodsAndPaths) {
  EXPECT_EQ(handle_request(make("PUT", "/"), app).status, 405);
  EXPECT_EQ(handle_request(make("get", "/"), app).status, 405);
  auto r = handle_request(make("GET", "/api/nada"), app);
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body_view(), "{\"error\":\"no encontrado\"}");
  EXPECT_EQ(handle_request(make("GET", "/INDEX.HTML"), app).status, 404);
  EXPECT_EQ(handle_request(make("GET", "/index.html?x=1"), app).body_view(), "page");
  r = handle_request(make("GET", "/api/version"), app);
  EXPECT_EQ(r.body_view(), "{\"version\":\"" + std::string(kAppVersion) + "\",\"app\":\"vantriel\"}");
  EXPECT_EQ(r.content_type, "application/json; charset=utf-8");
  EXPECT_EQ(r.cache_control, "no-store");
  // A POST-only route asked with GET is not found; a GET-only route asked with POST is
  // an unknown action.
  EXPECT_EQ(handle_request(make("GET", "/api/identidad"), app).status, 404);
  r = handle_request(make("POST", "/api/version", {{"X-Token", app.token}}), app);
  EXPECT_EQ(r.body_view(), "{\"ok\":false,\"msg\":\"acci\xC3\xB3n desconocida\"}");
}

// What the I/O thread may answer itself is exactly what the workers would answer, and
// only requests that need nothing but memory: anything else, a refusal included, goes to
// a worker.
TEST_F(HandleRequest, OnlyMemoryRoutesAreAnsweredAtOnceAndAsTheWorkersWould) {
  for (const char* target : {"/", "/index.html?x=1", "/api/version", "/favicon.ico", "/font/bold.woff2"}) {
    const auto at_once = answer_from_memory(make("GET", target, {{"Host", "127.0.0.1:8800"}}), app);
    ASSERT_TRUE(at_once) << target;
    const auto handled = handle_request(make("GET", target, {{"Host", "127.0.0.1:8800"}}), app);
    EXPECT_EQ(std::tie(at_once->status, at_once->content_type, at_once->cache_control),
              std::tie(handled.status, handled.content_type, handled.cache_control))
        << target;
    EXPECT_EQ(at_once->body_view(), handled.body_view()) << target;
  }
  EXPECT_FALSE(answer_from_memory(make("GET", "/api/estado"), app));
  EXPECT_FALSE(answer_from_memory(make("GET", "/api/manual?lang=es"), app));
  EXPECT_FALSE(answer_from_memory(make("GET", "/INDEX.HTML"), app));
  EXPECT_FALSE(answer_from_memory(make("POST", "/api/version", {{"X-Token", app.token}}), app));
  EXPECT_FALSE(answer_from_memory(make("GET", "/", {{"Host", "evil.example"}}), app));
  EXPECT_FALSE(answer_from_memory(make("GET", "/", {{"Sec-Fetch-Dest", "iframe"}}), app));
  HttpRequest message = make("GET", "/api/version");
  message.from_socket = true;
  EXPECT_FALSE(answer_from_memory(message, app));
}

// Short key messages of the input socket are applied on the I/O thread with the same
// checks and answer as on a worker; text, positions, long messages and sinks that may
// wait go to a worker, and a message with a wrong token is refused at once.
TEST_F(HandleRequest, ShortKeyMessagesAreAppliedAtOnceAndAsTheWorkersWould) {
  const std::string recording = ::testing::TempDir() + "pipeline_input_at_once.jsonl";
  std::filesystem::remove(recording);
  Desktop desktop{DesktopOptions{.record_input_to = recording,
                                 .monitors = std::vector<MonitorInfo>{{0, 0, 0, 1280, 800, true, "m"}},
                                 .consent_file = std::nullopt}};
  SupportSessions sessions{SessionEffects{
      .now_seconds = [] { return 1000.0; },
      .local_timestamp = [] { return std::string("2026-03-05 07:04:09"); },
      .log = [](const std::string&) {},
      .append_history_line = [](const std::string&) {},
      .release_input = [] {},
      .renew_access_code = [] {},
      .current_access_code = [] { return std::string("K"); },
      .control_allowed = {},
      .session_over = {},
  }};
  ApiContext api{app.token, app.port,    app.page,   app.folder, app.log, app.access_code,
                 sessions,  app.history, desktop,    app.updater, {}};
  const auto message = [&](std::string body, std::string token) {
    HttpRequest r = make("GET", "/api/input?token=" + token);
    r.body = std::move(body);
    r.from_socket = true;
    return r;
  };
  const std::string keys = R"({"mon":0,"ev":[{"k":"kd","c":"KeyA"},{"k":"ku","c":"KeyA"}]})";
  const auto lines = [&] {
    std::ifstream in(recording);
    int n = 0;
    for (std::string line; std::getline(in, line);) n += !line.empty();
    return n;
  };

  // No control yet: refused at once, as a worker refuses it, and nothing is injected.
  auto at_once = answer_at_once(message(keys, app.token), api);
  ASSERT_TRUE(at_once);
  EXPECT_EQ(at_once->body_view(), handle_request(message(keys, app.token), api).body_view());
  EXPECT_EQ(lines(), 0);

  (void)sessions.report(nlohmann::ordered_json::parse(
      R"({"activa":true,"rol":"host","control":true,"con":"Ana","id":"123456789"})"));
  at_once = answer_at_once(message(keys, app.token), api);
  ASSERT_TRUE(at_once);
  EXPECT_EQ(at_once->body_view(), R"({"ok":true,"n":2})");
  EXPECT_EQ(lines(), 2);

  at_once = answer_at_once(message(keys, app.token.substr(0, 31)), api);
  ASSERT_TRUE(at_once);
  EXPECT_EQ(at_once->status, 403);

  std::string nine = R"({"ev":[)";
  for (int i = 0; i < 9; ++i) nine += std::string(i ? "," : "") + R"({"k":"kd","c":"ShiftLeft"})";
  nine += "]}";
  for (const std::string& slow :
       {std::string(R"({"ev":[{"k":"t","s":"hola"}]})"), std::string(R"({"ev":[{"k":"m","x":0.5,"y":0.5}]})"),
        std::string(R"({"ev":[{"k":"d","b":0,"x":0.5,"y":0.5}]})"), nine,
        keys + std::string(kInputAtOnceBytes, ' ')}) {
    EXPECT_FALSE(answer_at_once(message(slow, app.token), api)) << slow;
  }
  EXPECT_EQ(lines(), 2);
  // The system's sink (whatever this machine offers) never runs on the I/O thread unless
  // it injects at once; requests that are not socket messages are the memory routes'.
  if (!injects_at_once(app.desktop.input_reach())) {
    EXPECT_FALSE(answer_at_once(message(keys, app.token), app));
  }
  EXPECT_TRUE(answer_at_once(make("GET", "/api/version"), api));
  HttpRequest post = make("POST", "/api/input", {{"X-Token", app.token}});
  post.body = keys;
  EXPECT_FALSE(answer_at_once(post, api));
  (void)sessions.report(nlohmann::ordered_json::parse(R"({"activa":false})"));
}

}  // namespace
}  // namespace vantriel
