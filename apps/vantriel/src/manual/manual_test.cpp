#include "manual/manual.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "main/app_version.h"
#include "base/data_folder.h"
#include "base/log.h"
#include "manual/markdown.h"

namespace vantriel {
namespace {

using json = nlohmann::ordered_json;

class ManualFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::filesystem::path(::testing::TempDir()) /
              ("vantriel_manual_" + std::string(info->name()));
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  void put(const std::string& name, std::string_view bytes) const {
    std::ofstream(folder_ / name, std::ios::binary) << bytes;
  }

  std::filesystem::path folder_;
};

std::vector<std::string> keys(const json& object) {
  std::vector<std::string> out;
  for (const auto& item : object.items()) out.push_back(item.key());
  return out;
}

TEST(ManualLanguage, OnlyExactEnIsEnglish) {
  EXPECT_EQ(manual_language(std::string("en")), "en");
  for (const char* other : {"", "EN", "en ", "en-US", "fr", "es"}) {
    EXPECT_EQ(manual_language(std::string(other)), "es") << other;
  }
  EXPECT_EQ(manual_language(std::nullopt), "es");
}

TEST(ManualDocument, ReplyShapeAndLabels) {
  const json doc = manual_document_from_text("en", "## Start\n### Step\ntext\n", "9.9.9");
  EXPECT_EQ(keys(doc), (std::vector<std::string>{"ok", "lang", "html", "toc", "version", "author",
                                                 "contact", "txt"}));
  EXPECT_EQ(doc["ok"], true);
  EXPECT_EQ(doc["lang"], "en");
  EXPECT_EQ(doc["version"], "v9.9.9");
  EXPECT_EQ(doc["toc"].dump(),
            R"([{"id":"start","title":"Start","sub":[{"id":"step","title":"Step"}]}])");
  EXPECT_EQ(
      doc["txt"].dump(),
      R"({"title":"User manual","ver":"Manual for","toc":"Contents","by":"App developed by"})");
  EXPECT_FALSE(doc["author"].get<std::string>().empty());
  EXPECT_FALSE(doc["contact"].get<std::string>().empty());

  const json es = manual_document_from_text("es", "", "1.0");
  EXPECT_EQ(es["lang"], "es");
  EXPECT_EQ(es["html"], "");
  EXPECT_EQ(es["toc"], json::array());
  EXPECT_EQ(es["version"], "v1.0");
  EXPECT_EQ(es["txt"].dump(),
            "{\"title\":\"Manual de usuario\",\"ver\":\"Manual de la\",\"toc\":\"Contenido\","
            "\"by\":\"App desarrollada por\"}");
}

TEST(ManualDocument, VersionMarkerAndPlaceholder) {
  // The manual's version comes from the first line; {{VERSION}} is always the program's.
  const json doc = manual_document_from_text(
      "es", "<!-- manual-version:  2.4-rc \t-->\r\nVersión {{VERSION}} y {{VERSION}}.", "0.1.1");
  EXPECT_EQ(doc["version"], "v2.4-rc");
  EXPECT_EQ(doc["html"], "<p>Versión 0.1.1 y 0.1.1.</p>\n");

  // Only the first line counts.
  EXPECT_EQ(
      manual_document_from_text("es", "title\n<!-- manual-version: 3 -->", "0.1.1")["version"],
      "v0.1.1");
  // The marker without a comment around it, and a placeholder inside the marker.
  EXPECT_EQ(manual_document_from_text("es", "manual-version: 7", "0.1.1")["version"], "v7");
  EXPECT_EQ(
      manual_document_from_text("es", "<!-- manual-version: {{VERSION}} -->", "0.1.1")["version"],
      "v{{VERSION}}");
}

TEST(ManualDocument, ByteOrderMarkIsNotText) {
  const json doc =
      manual_document_from_text("es", "\xEF\xBB\xBF<!-- manual-version: 5 -->\n## Hola\n", "0.1.1");
  EXPECT_EQ(doc["version"], "v5");
  EXPECT_EQ(doc["html"], "<h2 id=\"hola\">Hola</h2>\n");
}

TEST_F(ManualFolderTest, ReadsTheChosenLanguage) {
  put("manual_es.md", "## Hola\n");
  put("manual_en.md", "## Hello\n");
  EXPECT_EQ(manual_document_in(folder_, std::string("en"))["html"],
            "<h2 id=\"hello\">Hello</h2>\n");
  EXPECT_EQ(manual_document_in(folder_, std::string("de"))["html"], "<h2 id=\"hola\">Hola</h2>\n");
  const json doc = manual_document_in(folder_, std::nullopt);
  EXPECT_EQ(doc["lang"], "es");
  EXPECT_EQ(doc["version"], std::string("v") + kAppVersion);
}

TEST_F(ManualFolderTest, MissingOrBrokenFileGivesTheRefusal) {
  const json es = manual_document_in(folder_, std::nullopt);
  EXPECT_EQ(es.dump(),
            "{\"ok\":false,\"msg\":\"No encontr\xC3\xA9 el manual (carpeta manual junto a "
            "Vantriel.exe).\"}");
  EXPECT_EQ(manual_document_in(folder_ / "nowhere", std::string("en")).dump(),
            R"({"ok":false,"msg":"Manual not found (manual folder)."})");

  put("manual_es.md", "bad \xC3\x28 bytes");
  EXPECT_EQ(manual_document_in(folder_, std::nullopt)["ok"], false);
  // A folder where the file should be.
  std::filesystem::create_directories(folder_ / "manual_en.md");
  EXPECT_EQ(manual_document_in(folder_, std::string("en"))["ok"], false);
}

TEST_F(ManualFolderTest, PrintPage) {
  put("manual_en.md", "<!-- manual-version: 3.1 -->\n## Part <one>\ntext\n");
  const std::string page = manual_print_page_in(folder_, std::string("en"));
  EXPECT_EQ(page.rfind("<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<title>Vantriel \xC2\xB7 User manual</title>\n<style>",
                       0),
            0u);
  EXPECT_NE(page.find("</style></head><body>\n<div class=\"top\"><img src=\"/img/emblema-512.png\" "
                      "alt=\"\"><div><h1 style=\"margin:0\">Vantriel \xC2\xB7 User manual</h1>"
                      "<div>v3.1</div></div></div>\n<p class=\"noprint\"><button "
                      "onclick=\"print()\">\xF0\x9F\x96\xA8 Print / Save as PDF</button></p>"
                      "<h2 id=\"part-one\">Part &lt;one&gt;</h2>\n<p>text</p>\n\n"
                      "<div class=\"sign\"><img src=\"/img/firma.png\" alt=\""),
            std::string::npos)
      << page;
  EXPECT_NE(page.find("@media print{.noprint{display:none}}"), std::string::npos);
  EXPECT_NE(page.find("print();},600)"), std::string::npos);
  EXPECT_TRUE(page.ends_with("</script></body></html>"));
}

TEST_F(ManualFolderTest, PrintPageOfAMissingManual) {
  const std::string page = manual_print_page_in(folder_, std::string("en"));
  // Nothing of the refusal is known but its text: no title, no version, no body.
  EXPECT_EQ(page.rfind("<!doctype html><html lang=\"es\"><head><meta charset=\"utf-8\">"
                       "<title>Vantriel \xC2\xB7 </title>",
                       0),
            0u);
  EXPECT_NE(page.find("<div></div></div></div>\n<p class=\"noprint\"><button onclick=\"print()\">"
                      "\xF0\x9F\x96\xA8 Print / Save as PDF</button></p>\n<div class=\"sign\">"),
            std::string::npos);
  EXPECT_EQ(manual_print_page_in(folder_, std::nullopt).find("Print / Save"), std::string::npos);
}

TEST_F(ManualFolderTest, AManualThatCannotBePreparedIsAVisibleFailureLoggedOnce) {
  const DataFolder data(folder_ / "data");
  std::filesystem::create_directories(data.path());
  const Log log(data);
  const morvane::Result<std::string> failed = manual_guarded(
      "en", log, []() -> std::string { throw std::runtime_error("no memory left"); });
  ASSERT_FALSE(failed.ok());  // never an empty page that looks like a manual
  EXPECT_EQ(failed.error(), manual_failed("en")["msg"].get<std::string>());
  EXPECT_EQ(manual_failed("es").dump(),
            "{\"ok\":false,\"msg\":\"No se pudo preparar el manual. Vuelve a intentarlo; si "
            "sigue igual, reinicia Vantriel.\"}");
  EXPECT_EQ(manual_guarded("es", log, [] { return std::string("page"); }).value_or("?"), "page");

  std::ifstream in(data.file("vantriel.log"));
  std::stringstream text;
  text << in.rdbuf();
  const std::string lines = text.str();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
  EXPECT_NE(lines.find("[MANUAL] No se pudo preparar el manual (en): no memory left"),
            std::string::npos)
      << lines;

  EXPECT_EQ(print_failure_page("en", "a <b> & c"),
            "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>Vantriel"
            "</title></head><body><p>a &lt;b&gt; &amp; c</p></body></html>");
}

TEST(PrintPage, EscapesEveryValue) {
  json doc = manual_document_from_text("es", "<!-- manual-version: 1<script>x\" -->\n", "0.1.1");
  doc["lang"] = "es\"><script>";
  const std::string page = print_page_from_document("es", doc);
  EXPECT_EQ(page.find("<script>x"), std::string::npos);
  EXPECT_EQ(page.find("es\"><script>"), std::string::npos);
  EXPECT_NE(page.find("<div>v1&lt;script&gt;x&quot;</div>"), std::string::npos);
}

#ifdef VANTRIEL_MANUAL_SOURCE_DIR
// The manuals we ship: they render, every section has a unique id, and every link inside
// the manual leads to a heading that exists.
TEST(ShippedManual, RendersWithWorkingContentsAndLinks) {
  for (const char* lang : {"es", "en"}) {
    SCOPED_TRACE(lang);
    const json doc = manual_document_in(VANTRIEL_MANUAL_SOURCE_DIR, std::string(lang));
    ASSERT_EQ(doc["ok"], true);
    EXPECT_EQ(doc["lang"], lang);
    EXPECT_GE(doc["toc"].size(), 8u);
    const std::string html = doc["html"].get<std::string>();
    EXPECT_EQ(html.find("{{VERSION}}"), std::string::npos);
    EXPECT_EQ(html.find("**"), std::string::npos);

    std::set<std::string> ids;
    const std::regex id_re("id=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), id_re);
         it != std::sregex_iterator(); ++it) {
      EXPECT_TRUE(ids.insert((*it)[1]).second) << "duplicate id " << (*it)[1];
    }
    // The manual is shown inside the page, whose own elements carry these ids: a heading
    // with the same id would be a second element of that id and its links would not work.
    for (const char* taken : {"bver", "chat", "credit", "hdr", "history", "hostbar", "main", "menu",
                              "modal", "recents", "toast", "upover", "viewer", "xfers"}) {
      EXPECT_EQ(ids.count(taken), 0u) << "heading id used by the page: " << taken;
    }
    const std::regex href_re("href=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), href_re);
         it != std::sregex_iterator(); ++it) {
      const std::string target = (*it)[1];
      if (target.starts_with("#")) {
        EXPECT_EQ(ids.count(target.substr(1)), 1u) << "dangling link " << target;
      }
    }
  }
}

TEST(ShippedManual, BothLanguagesHaveTheSameSections) {
  const json es = manual_document_in(VANTRIEL_MANUAL_SOURCE_DIR, std::string("es"));
  const json en = manual_document_in(VANTRIEL_MANUAL_SOURCE_DIR, std::string("en"));
  ASSERT_EQ(es["ok"], true);
  ASSERT_EQ(en["ok"], true);
  ASSERT_EQ(es["toc"].size(), en["toc"].size());
  for (std::size_t i = 0; i < es["toc"].size(); ++i) {
    EXPECT_EQ(es["toc"][i]["sub"].size(), en["toc"][i]["sub"].size())
        << es["toc"][i]["title"] << " / " << en["toc"][i]["title"];
  }
  EXPECT_EQ(es["version"], en["version"]);
}
#endif

}  // namespace
}  // namespace vantriel
