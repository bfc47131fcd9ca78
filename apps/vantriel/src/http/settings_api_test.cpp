#include "http/settings_api.h"

#include <gtest/gtest.h>

#include "base/settings.h"
#include "base/test_support.h"

namespace vantriel {
namespace {

using SettingsTest = DataFolderTest;

TEST_F(SettingsTest, AKeyWrittenTwiceIsSavedWhereItIsRead) {
  // Hand-edited files repeat keys and sections; the later line is the one in force, so
  // that is the line a save rewrites. The earlier ones stay as they were.
  put("vantriel.ini",
      "[general]\r\nidioma = en\r\nidioma = fr\r\n[recibir]\r\nfps = 15\r\n"
      "[ General ]\r\n\xEF\xBB\xBF FPS=60\r\n[recibir]\r\nFps = 60 ; mio\r\n;fps = 5\r\n");
  const auto reply = save_settings(data_, log_, 
      nlohmann::ordered_json::parse(R"({"general": {"idioma": "es"}, "recibir": {"fps": 30}})"));
  EXPECT_EQ(reply["msg"], "Ajustes guardados");
  EXPECT_EQ(reply["ajustes"]["general"]["idioma"], "es");
  EXPECT_EQ(reply["ajustes"]["recibir"]["fps"], "30");
  EXPECT_EQ(read("vantriel.ini"),
            "[general]\r\nidioma = en\r\nidioma = es\r\n[recibir]\r\nfps = 15\r\n"
            "[ General ]\r\n\xEF\xBB\xBF FPS=60\r\n[recibir]\r\nfps = 30\r\n;fps = 5\r\n");
  // The key of another section with the same name is left alone.
  EXPECT_EQ(setting(load_settings(data_), "general", "fps"), "60");
}

TEST_F(SettingsTest, SaveWalksTheKeyTable) {
  load_settings(data_);
  nlohmann::ordered_json body = nlohmann::ordered_json::parse(
      R"({"recibir": {"fps": 60, "sonido": false, "disponible": null, "nuevo": "x"},
          "general": {"idioma": "en", "nombre": true}, "llamada": "no es objeto"})");
  const auto reply = save_settings(data_, log_, body);
  EXPECT_EQ(reply["ok"], true);
  EXPECT_EQ(reply["msg"], "Ajustes guardados");
  EXPECT_EQ(reply["ajustes"]["recibir"]["fps"], "60");
  EXPECT_EQ(reply["ajustes"]["recibir"]["sonido"], "no");
  EXPECT_EQ(reply["ajustes"]["general"]["nombre"], "si");
  EXPECT_EQ(reply["ajustes"]["recibir"]["disponible"], "si");
  EXPECT_FALSE(reply["ajustes"]["recibir"].contains("nuevo"));
  EXPECT_TRUE(reply.dump().starts_with(
      R"({"ok":true,"msg":"Ajustes guardados","ajustes":{"general":{"nombre":"si","idioma":"en",)"));
  EXPECT_NE(read("vantriel.log").find("[AJUSTES] 4 valores guardados\n"), std::string::npos);

  // A rejected server stops the walk; keys before it stay written.
  body = nlohmann::ordered_json::parse(
      R"({"general": {"idioma": "es", "servidor": "http://x.example"}, "recibir": {"fps": 15}})");
  const auto refused = save_settings(data_, log_, body);
  EXPECT_EQ(refused.dump(), R"({"ok":false,"msg":"El servidor debe empezar con https://"})");
  const Settings s = load_settings(data_);
  EXPECT_EQ(setting(s, "general", "idioma"), "es");
  EXPECT_EQ(setting(s, "recibir", "fps"), "60");
  EXPECT_TRUE(
      settings_document(data_).dump().starts_with(R"({"general":{"nombre":"si","idioma":"es",)"));
}

}  // namespace
}  // namespace vantriel
