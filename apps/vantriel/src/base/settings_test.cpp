#include "base/settings.h"

#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/test_support.h"

namespace vantriel {
namespace {

using SettingsTest = DataFolderTest;

std::string lf_to_crlf(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

TEST_F(SettingsTest, MissingFileIsCreatedFromTheTemplateWithCrLf) {
  const Settings settings = load_settings(data_);
  const std::string text = read("vantriel.ini");
  EXPECT_EQ(text, lf_to_crlf(kSettingsTemplate));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 33);
  EXPECT_TRUE(text.ends_with("\r\nprocesar_voz = si\r\n"));
  EXPECT_FALSE(exists("vantriel.ini.tmp"));
  EXPECT_EQ(setting(settings, "general", "idioma"), "es");
  EXPECT_EQ(setting(settings, "recibir", "fps"), "30");
  EXPECT_EQ(setting(settings, "general", "nombre"), "");
  EXPECT_EQ(setting(settings, "general", "nada"), "");
}

TEST(SettingsParseTest, ReadsNamesCommentsQuotesAndRemarks) {
  const Settings s = parse_settings(
      "\xEF\xBB\xBF top = 1\r\n"
      "[ GENERAL ]\n"
      "Nombre = \"Ana \xC3\x91\"\n"
      "servidor = https://x.example/ ; el nuestro\n"
      "idioma = en;es\n"
      ";fps = 60\n"
      "#fps = 15\n"
      "sin igual\n"
      "\xE3\x80\x80 fps = 15 \xE3\x80\x80\n"
      "fps = 60\n"
      "[recibir]\n"
      "raro==x\n"
      "\xEF\xBB\xBF\xEF\xBB\xBF[Extra]\n"
      "x = \"\"1\"\"\n");
  EXPECT_EQ(setting(s, "", "top"), "1");
  EXPECT_EQ(setting(s, "general", "nombre"), "Ana \xC3\x91");
  EXPECT_EQ(setting(s, "general", "servidor"), "https://x.example/");
  EXPECT_EQ(setting(s, "general", "idioma"), "en;es");
  EXPECT_EQ(setting(s, "general", "fps"), "60");  // the later line wins
  EXPECT_EQ(setting(s, "recibir", "raro"), "=x");
  EXPECT_EQ(setting(s, "extra", "x"), "1");
  EXPECT_EQ(s.values().size(), 7u);
  // Switches read as off whatever their case and blanks; anything else, empty too, is on.
  EXPECT_TRUE(setting_is_off(" OFF "));
  EXPECT_TRUE(setting_is_off("0"));
  EXPECT_FALSE(setting_is_off(""));
  EXPECT_FALSE(setting_is_off("nope"));
}

TEST_F(SettingsTest, LoadLaysTheFileOverDefaults) {
  put("vantriel.ini", "[general]\r\nidioma = en\r\n[extra]\r\nclave = 1\r\n");
  const Settings s = load_settings(data_);
  EXPECT_EQ(setting(s, "general", "idioma"), "en");
  EXPECT_EQ(setting(s, "llamada", "procesar_voz"), "si");
  EXPECT_EQ(setting(s, "extra", "clave"), "1");

  put("vantriel.ini", "[general]\nidioma = en\n\xFF\n");  // not UTF-8: all defaults
  EXPECT_EQ(setting(load_settings(data_), "general", "idioma"), "es");
}

TEST_F(SettingsTest, WritesReplaceLinesInPlace) {
  put("vantriel.ini",
      "; nota\r\n[GENERAL]\r\nIDIOMA = es\r\n\r\n[recibir]\r\n;fps = 15\r\nfps = 30\r\n"
      "disponible = si\r\n\r\n\r\n");
  ASSERT_TRUE(set_setting(data_, "general", "idioma", "en").ok());
  ASSERT_TRUE(set_setting(data_, "recibir", "fps", " 60\r\n").ok());
  ASSERT_TRUE(set_setting(data_, "recibir", "sonido", "no").ok());
  ASSERT_TRUE(set_setting(data_, "llamada", "microfono", "mic\n 1").ok());
  EXPECT_EQ(read("vantriel.ini"),
            "; nota\r\n[GENERAL]\r\nidioma = en\r\n\r\n[recibir]\r\n;fps = 15\r\nfps = 60\r\n"
            "disponible = si\r\nsonido = no\r\n\r\n\r\n\r\n[llamada]\r\nmicrofono = mic 1\r\n");
  const Settings s = load_settings(data_);
  EXPECT_EQ(setting(s, "general", "idioma"), "en");
  EXPECT_EQ(setting(s, "llamada", "microfono"), "mic 1");
  EXPECT_EQ(setting(s, "llamada", "procesar_voz"), "si");
  EXPECT_FALSE(exists("vantriel.ini.tmp"));
}

TEST_F(SettingsTest, RewritingTheSameValueKeepsTheFileStable) {
  load_settings(data_);
  ASSERT_TRUE(set_setting(data_, "recibir", "fps", "30").ok());
  EXPECT_EQ(read("vantriel.ini"), lf_to_crlf(kSettingsTemplate));
}

TEST_F(SettingsTest, UnreadableFileIsReplacedFromTheTemplate) {
  put("vantriel.ini", "idioma = \xFF\xFE\n");
  ASSERT_TRUE(set_setting(data_, "general", "idioma", "en").ok());
  std::string expected = lf_to_crlf(kSettingsTemplate);
  expected.replace(expected.find("idioma = es"), 11, "idioma = en");
  EXPECT_EQ(read("vantriel.ini"), expected);
  // Invalid UTF-8 in a value would make the whole file unreadable; it is replaced.
  ASSERT_TRUE(set_setting(data_, "general", "nombre", "a\xFF").ok());
  EXPECT_EQ(setting(load_settings(data_), "general", "nombre"), "a\xEF\xBF\xBD");
}

TEST_F(SettingsTest, ConcurrentWritersLoseNothing) {
  load_settings(data_);
  constexpr int kThreads = 6, kPerThread = 8;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      auto text = read_file(data_file("vantriel.ini"));
      if (!text || text->find("procesar_voz = si\r\n") == std::string::npos) ++torn;
      // A reader that never lets go would keep Windows from ever replacing the file (an
      // open file cannot be replaced); real readers come and go.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, t] {
      for (int i = 0; i < kPerThread; ++i) {
        EXPECT_TRUE(set_setting(data_, "recibir", "k" + std::to_string(t) + "_" + std::to_string(i),
                                std::to_string(i))
                        .ok());
      }
    });
  }
  for (auto& w : writers) w.join();
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0);
  const Settings s = load_settings(data_);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      EXPECT_EQ(setting(s, "recibir", "k" + std::to_string(t) + "_" + std::to_string(i)),
                std::to_string(i));
    }
  }
}

}  // namespace
}  // namespace vantriel
