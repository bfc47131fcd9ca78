#include "base/identity.h"

#include <regex>

#include <gtest/gtest.h>

#include "base/json_file.h"
#include "base/test_support.h"

namespace vantriel {
namespace {

using IdentityTest = DataFolderTest;

const char* const kNotaJson =
    "No compartas este archivo: la \xC2\xAB"
    "llave\xC2\xBB demuestra que este ID es de esta PC. Si lo borras, se crea un ID nuevo.";

TEST_F(IdentityTest, NewIdentityFileIsWrittenByteForByte) {
  ScopedEnv no_id("VTR_ID", std::nullopt);
  const Identity identity = load_identity(data_, log_);
  EXPECT_TRUE(is_valid_id(identity.id));
  EXPECT_TRUE(std::regex_match(identity.llave, std::regex("[0-9a-f]{64}")));
  EXPECT_EQ(read("identidad.json"), "{\n  \"id\": \"" + identity.id + "\",\n  \"llave\": \"" +
                                        identity.llave + "\",\n  \"_nota\": \"" + kNotaJson +
                                        "\"\n}");
  EXPECT_FALSE(exists("identidad.tmp"));
  EXPECT_NE(read("vantriel.log").find(" ID nuevo de esta PC: " + id_bonito(identity.id) + "\n"),
            std::string::npos);

  // A valid file is returned as it is and not rewritten.
  const Identity again = load_identity(data_, log_);
  EXPECT_EQ(again.id, identity.id);
  EXPECT_EQ(again.llave, identity.llave);

  const Identity fresh = new_identity(data_, log_);
  EXPECT_NE(fresh.llave, identity.llave);
  EXPECT_EQ(load_identity(data_, log_).llave, fresh.llave);
}

TEST_F(IdentityTest, InvalidFilesAreReplaced) {
  ScopedEnv no_id("VTR_ID", std::nullopt);
  const std::string key32(32, 'k');
  for (const std::string& bad :
       {std::string("{\"id\": \"012345678\", \"llave\": \"" + key32 + "\"}"),
        std::string("{\"id\": \"12345678\", \"llave\": \"" + key32 + "\"}"),
        std::string("{\"id\": \"1234567890\", \"llave\": \"" + key32 + "\"}"),
        std::string("{\"id\": \"12345678a\", \"llave\": \"" + key32 + "\"}"),
        std::string("{\"id\": 123456789, \"llave\": \"" + key32 + "\"}"),
        std::string("{\"id\": \"123456789\", \"llave\": \"" + std::string(31, 'k') + "\"}"),
        std::string("[\"123456789\"]"), std::string("{\"id\": ")}) {
    put("identidad.json", bad);
    const Identity identity = load_identity(data_, log_);
    EXPECT_TRUE(is_valid_id(identity.id)) << bad;
    EXPECT_EQ(identity.llave.size(), 64u) << bad;
    EXPECT_NE(identity.llave, key32) << bad;
  }
  put("identidad.json", "{\"x\": 1, \"llave\": \"" + key32 + "\", \"id\": \"987654321\"}");
  const Identity kept = load_identity(data_, log_);
  EXPECT_EQ(kept.id, "987654321");
  EXPECT_EQ(kept.llave, key32);
}

TEST_F(IdentityTest, VtrIdIsHonouredOnlyWhenValid) {
  {
    ScopedEnv id("VTR_ID", "555444333");
    EXPECT_EQ(load_identity(data_, log_).id, "555444333");
  }
  ScopedEnv bad("VTR_ID", "055444333");
  const Identity identity = new_identity(data_, log_);
  EXPECT_NE(identity.id, "055444333");
  EXPECT_TRUE(is_valid_id(identity.id));
}

TEST(IdentityFormatTest, IdBonitoAndValidity) {
  EXPECT_EQ(id_bonito("123456789"), "123 456 789");
  EXPECT_EQ(id_bonito("12345"), "12345");
  EXPECT_TRUE(is_valid_id("100000000"));
  EXPECT_FALSE(is_valid_id("012345678"));
  EXPECT_FALSE(is_valid_id("12345678\xD9\xA1"));  // Arabic-Indic digit
}

TEST(ClaveTest, CodesUseTheirAlphabets) {
  AccessCode access_code;
  const std::regex clave("[ABCDEFGHJKMNPQRSTUVWXYZ2-9]{6}");
  const std::regex call("[ABCDEFGHJKLMNPQRSTUVWXYZ2-9]{6}");
  bool saw_l = false;
  for (int i = 0; i < 300; ++i) {
    ASSERT_TRUE(std::regex_match(access_code.renew(), clave));
    const std::string code = new_call_code();
    ASSERT_TRUE(std::regex_match(code, call));
    saw_l = saw_l || code.find('L') != std::string::npos;
  }
  EXPECT_TRUE(saw_l);  // 1800 draws; missing L has probability below 1e-24
}

TEST(ClaveTest, CheckNormalisesWhatPeopleType) {
  AccessCode access_code;
  const std::string clave = access_code.renew();
  EXPECT_EQ(access_code.current(), clave);
  std::string typed;
  for (const char c : clave) {
    typed += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    typed += "- \t\xE3\x80\x80";  // dash, blank, tab, ideographic space
  }
  EXPECT_TRUE(access_code.check(typed));
  EXPECT_TRUE(access_code.check("\n" + clave + "\n"));
  EXPECT_FALSE(access_code.check(clave.substr(1)));
  EXPECT_FALSE(access_code.check(clave + "A"));
  EXPECT_FALSE(access_code.check(""));
  EXPECT_FALSE(access_code.check("\xFF" + clave));
  const std::string next = access_code.renew();
  EXPECT_TRUE(access_code.check(next));
  EXPECT_EQ(access_code.check(clave), next == clave);
}

}  // namespace
}  // namespace vantriel
