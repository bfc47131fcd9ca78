#include "base/identity.h"

#include <regex>

#include <gtest/gtest.h>

#include "base/id_format.h"
#include "base/json_file.h"
#include "base/test_support.h"

namespace vantriel {
namespace {

using IdentityTest = DataFolderTest;

const char* const kNoteJson =
    "No compartas este archivo: la \xC2\xAB"
    "llave\xC2\xBB demuestra que este ID es de esta PC. Si lo borras, se crea un ID nuevo.";

TEST_F(IdentityTest, NewIdentityFileIsWrittenByteForByte) {
  ScopedEnv no_id("VTR_ID", std::nullopt);
  const Identity identity = load_identity(data_, log_);
  EXPECT_TRUE(is_valid_id(identity.id));
  EXPECT_TRUE(std::regex_match(identity.secret, std::regex("[0-9a-f]{64}")));
  EXPECT_EQ(read("identidad.json"), "{\n  \"id\": \"" + identity.id + "\",\n  \"llave\": \"" +
                                        identity.secret + "\",\n  \"_nota\": \"" + kNoteJson +
                                        "\"\n}");
  EXPECT_FALSE(exists("identidad.tmp"));
  EXPECT_NE(read("vantriel.log").find(" ID nuevo de esta PC: " + format_id(identity.id) + "\n"),
            std::string::npos);

  // A valid file is returned as it is and not rewritten.
  const Identity again = load_identity(data_, log_);
  EXPECT_EQ(again.id, identity.id);
  EXPECT_EQ(again.secret, identity.secret);

  const Identity fresh = new_identity(data_, log_);
  EXPECT_NE(fresh.secret, identity.secret);
  EXPECT_EQ(load_identity(data_, log_).secret, fresh.secret);
}

TEST_F(IdentityTest, InvalidFilesAreReplaced) {
  ScopedEnv no_id("VTR_ID", std::nullopt);
  const std::string secret32(32, 'k');
  for (const std::string& bad :
       {std::string("{\"id\": \"012345678\", \"llave\": \"" + secret32 + "\"}"),
        std::string("{\"id\": \"12345678\", \"llave\": \"" + secret32 + "\"}"),
        std::string("{\"id\": \"1234567890\", \"llave\": \"" + secret32 + "\"}"),
        std::string("{\"id\": \"12345678a\", \"llave\": \"" + secret32 + "\"}"),
        std::string("{\"id\": 123456789, \"llave\": \"" + secret32 + "\"}"),
        std::string("{\"id\": \"123456789\", \"llave\": \"" + std::string(31, 'k') + "\"}"),
        std::string("[\"123456789\"]"), std::string("{\"id\": ")}) {
    put("identidad.json", bad);
    const Identity identity = load_identity(data_, log_);
    EXPECT_TRUE(is_valid_id(identity.id)) << bad;
    EXPECT_EQ(identity.secret.size(), 64u) << bad;
    EXPECT_NE(identity.secret, secret32) << bad;
  }
  put("identidad.json", "{\"x\": 1, \"llave\": \"" + secret32 + "\", \"id\": \"987654321\"}");
  const Identity kept = load_identity(data_, log_);
  EXPECT_EQ(kept.id, "987654321");
  EXPECT_EQ(kept.secret, secret32);
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

}  // namespace
}  // namespace vantriel
