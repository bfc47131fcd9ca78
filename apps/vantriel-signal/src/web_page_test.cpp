#include "web_page.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace vantriel::signal {
namespace {

std::string header(const WebReply& r, const std::string& name) {
  for (const auto& [k, v] : r.headers) {
    if (k == name) return v;
  }
  return "(none)";
}

class WebPageTest : public testing::Test {
 protected:
  WebPage page_{{{"index.html", "<!doctype html><p>hola</p>"},
                 {"app.js", "(() => {})();\n"},
                 {"font/bold.woff2", std::string("wOF2\0\x01", 6)},
                 {"favicon.ico", "ico"},
                 {"manual_en.html", "<h2 id=\"giving-support\">Giving support</h2>\n"}}};
};

TEST_F(WebPageTest, EachFileGoesOutWithItsTypeThePolicyAndAStrongTag) {
  struct Case {
    const char* path;
    const char* type;
  };
  std::set<std::string> tags;
  for (const Case& c : {Case{"/", "text/html; charset=utf-8"},
                        Case{"/app.js", "text/javascript; charset=utf-8"},
                        Case{"/font/bold.woff2", "font/woff2"}, Case{"/favicon.ico", "image/x-icon"},
                        Case{"/manual_en.html", "text/html; charset=utf-8"}}) {
    auto r = page_.answer(c.path, false, "");
    ASSERT_TRUE(r) << c.path;
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(header(*r, "Content-Type"), c.type) << c.path;
    EXPECT_EQ(header(*r, "Content-Security-Policy"), kWebContentSecurityPolicy);
    EXPECT_EQ(header(*r, "X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(header(*r, "Referrer-Policy"), "no-referrer");
    EXPECT_EQ(header(*r, "X-Frame-Options"), "DENY");
    EXPECT_EQ(header(*r, "Cache-Control"), "no-cache");
    EXPECT_EQ(header(*r, "Access-Control-Allow-Origin"), "(none)");
    EXPECT_EQ(r->content_length, r->body.size());
    const std::string tag = header(*r, "ETag");
    EXPECT_TRUE(std::regex_match(tag, std::regex("\"[0-9a-f]{40}\""))) << tag;
    tags.insert(tag);
  }
  EXPECT_EQ(tags.size(), 5u);
  // The font's bytes arrive whole, the zero byte included.
  EXPECT_EQ(page_.answer("/font/bold.woff2", false, "")->body, std::string_view("wOF2\0\x01", 6));
  // The tag is the content's: the same bytes under another build give the same tag.
  WebPage again(std::vector<std::pair<std::string, std::string>>{
      {"index.html", "<!doctype html><p>hola</p>"}});
  EXPECT_EQ(header(*again.answer("/", false, ""), "ETag"), header(*page_.answer("/", false, ""), "ETag"));
}

TEST_F(WebPageTest, HeadAndCurrentCopies) {
  auto head = page_.answer("/app.js", true, "");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_TRUE(head->body.empty());
  EXPECT_EQ(head->content_length, 14u);
  EXPECT_EQ(header(*head, "Content-Type"), "text/javascript; charset=utf-8");

  const std::string tag = header(*head, "ETag");
  for (const std::string& sent : {tag, "\"other\", " + tag, "W/" + tag, std::string("*")}) {
    auto r = page_.answer("/app.js", false, sent);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 304) << sent;
    EXPECT_TRUE(r->body.empty());
    EXPECT_EQ(r->content_length, 0u);
    EXPECT_EQ(header(*r, "ETag"), tag);
    EXPECT_EQ(header(*r, "Content-Security-Policy"), kWebContentSecurityPolicy);
  }
  // Another file's tag, a cut tag or an old release's: the file itself.
  for (const std::string& sent : {header(*page_.answer("/", false, ""), "ETag"),
                                  tag.substr(0, tag.size() - 2) + "\"", std::string("\"0\"")}) {
    EXPECT_EQ(page_.answer("/app.js", false, sent)->status, 200) << sent;
  }
}

TEST_F(WebPageTest, OnlyTheFilesThemselvesAreNamed) {
  for (const char* path : {"", "/index.html", "/font/../app.js", "/./app.js", "//app.js",
                           "/app.js/", "/APP.JS", "/font/", "/font", "/app.js%00",
                           "/manual_es.html", "/..%2fapp.js"}) {
    EXPECT_FALSE(page_.answer(path, false, "")) << path;
  }
}

TEST(SameOrigin, TheOriginMustNameTheHostAsked) {
  struct Case {
    const char* origin;
    const char* host;
    bool same;
  };
  for (const Case& c : {
           Case{"https://soporte.example", "soporte.example", true},
           Case{"https://Soporte.Example", "soporte.example:443", true},
           Case{"http://127.0.0.1:8890", "127.0.0.1:8890", true},
           Case{"http://[::1]:8890", "[::1]:8890", true},
           Case{"http://example.org:80", "example.org", true},
           // The desktop page on its loopback port is not this server's page.
           Case{"http://127.0.0.1:51234", "127.0.0.1:8890", false},
           Case{"http://127.0.0.1", "127.0.0.1:8890", false},
           Case{"https://soporte.example", "soporte.example:80", false},
           Case{"https://soporte.example:4443", "soporte.example:443", false},
           Case{"https://soporte.example.evil", "soporte.example", false},
           Case{"https://soporte.example/", "soporte.example", false},
           Case{"https://user@soporte.example", "soporte.example", false},
           Case{"null", "soporte.example", false},
           Case{"file://", "", false},
           Case{"", "soporte.example", false},
           Case{"https://soporte.example", "", false},
           Case{"soporte.example", "soporte.example", false},
       }) {
    EXPECT_EQ(same_origin(c.origin, c.host), c.same) << c.origin << " / " << c.host;
  }
}

// The page as built and compiled in: everything index.html and app.css load is there.
TEST(CompiledWebPage, EverythingThePageLoadsIsServed) {
  const WebPage page = WebPage::compiled();
  auto index = page.answer("/", false, "");
  ASSERT_TRUE(index);
  const std::string html(index->body);
  auto css = page.answer("/app.css", false, "");
  ASSERT_TRUE(css);
  const std::string sheet(css->body);
  EXPECT_NE(html.find("<link rel=\"stylesheet\" href=\"/app.css\">"), std::string::npos);
  EXPECT_NE(html.find("<script src=\"/app.js\" defer></script>"), std::string::npos);
  EXPECT_EQ(html.find("__VERSION__"), std::string::npos);
  std::vector<std::string> loaded;
  const std::regex by_attribute("(?:src|href)=\"(/[^\"]*)\"");
  for (auto it = std::sregex_iterator(html.begin(), html.end(), by_attribute);
       it != std::sregex_iterator(); ++it) {
    loaded.push_back((*it)[1]);
  }
  // Quoted or not: the minified sheet drops the quotes.
  const std::regex by_url("url\\([\"']?(/[^\"')]*)[\"']?\\)");
  for (auto it = std::sregex_iterator(sheet.begin(), sheet.end(), by_url);
       it != std::sregex_iterator(); ++it) {
    loaded.push_back((*it)[1]);
  }
  EXPECT_GE(loaded.size(), 6u);  // the sheet, the script, the icon and three fonts
  for (const std::string& path : loaded) EXPECT_TRUE(page.answer(path, true, "")) << path;
  for (const char* path : {"/manual_es.html", "/manual_en.html", "/img/emblema.png",
                           "/img/emblema-512.png"}) {
    auto r = page.answer(path, true, "");
    ASSERT_TRUE(r) << path;
    EXPECT_GT(r->content_length, 100u) << path;
  }
}

}  // namespace
}  // namespace vantriel::signal
