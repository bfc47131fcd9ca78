// The data folder's shared file operations: the log, JSON files, times and random numbers.
#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "base/environment.h"
#include "base/identity.h"
#include "base/json_file.h"
#include "base/local_time.h"
#include "base/log.h"
#include "base/random.h"
#include "base/recents.h"
#include "base/settings.h"
#include "base/test_support.h"

namespace vantriel {
namespace {

using LogTest = DataFolderTest;
using JsonFileTest = DataFolderTest;
using DataFolderObjectTest = DataFolderTest;

TEST(DataFolderPathTest, Environment) {
  {
    ScopedEnv valid("VTR_PRUEBA", "\xC3\xB1");
    EXPECT_EQ(env_var("VTR_PRUEBA"), "\xC3\xB1");
  }
  {
#ifdef _WIN32
    // What is not Unicode in a Windows environment: an unpaired surrogate.
    ScopedEnv invalid("VTR_PRUEBA", "x");
    ::SetEnvironmentVariableW(L"VTR_PRUEBA", L"a\xD800");
#else
    ScopedEnv invalid("VTR_PRUEBA", "a\xFF");
#endif
    EXPECT_FALSE(env_var("VTR_PRUEBA"));
  }
  EXPECT_FALSE(env_var("VTR_PRUEBA"));
}

TEST(LocalTimeTest, FormatsZeroPaddedFields) {
  EXPECT_EQ(format_local_time({2026, 3, 5, 7, 4, 9}), "2026-03-05 07:04:09");
  EXPECT_EQ(format_local_time({987, 12, 31, 23, 59, 59}), "0987-12-31 23:59:59");
  EXPECT_GT(unix_seconds_now(), 1.7e9);
}

TEST_F(LogTest, AppendsTimestampedLinesAndRecreatesTheFolder) {
  log_.line("[SESION] Empieza: uno");
  std::filesystem::remove_all(folder_);  // deleted while running
  log_.line("dos");
  log_.line("tres");
  const std::regex line(
      "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} dos\n"
      "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2} tres\n");
  EXPECT_TRUE(std::regex_match(read("vantriel.log"), line)) << read("vantriel.log");
}

TEST_F(LogTest, RotatesOnlyPastTwoMebibytes) {
  put("vantriel.anterior.log", "old generation");
  put("vantriel.log", std::string(kLogRotateBytes, 'x'));
  log_.line("at the limit");
  EXPECT_EQ(read("vantriel.anterior.log"), "old generation");
  const std::string grown = read("vantriel.log");
  ASSERT_GT(grown.size(), kLogRotateBytes);

  log_.line("after");
  EXPECT_EQ(read("vantriel.anterior.log"), grown);
  const std::string fresh = read("vantriel.log");
  EXPECT_EQ(fresh.size(), std::string("YYYY-MM-DD HH:MM:SS after\n").size());
  EXPECT_EQ(fresh.substr(19), " after\n");
}

// Nothing of a folder is kept by the process: a second folder in the same run starts
// from its own files, and what is written through one never shows in the other.
TEST_F(DataFolderObjectTest, TwoFoldersInOneProcessKeepApart) {
  ScopedEnv no_id("VTR_ID", std::nullopt);
  const DataFolder other(folder_.parent_path() / "otra");
  const Log other_log(other);
  ASSERT_TRUE(set_setting(data_, "general", "idioma", "en").ok());
  add_recent(data_, log_, "123456789", "uno");
  const Identity mine = load_identity(data_, log_);
  log_.line("solo aqui");

  EXPECT_EQ(setting(load_settings(other), "general", "idioma"), "es");
  EXPECT_EQ(load_recents(other), nlohmann::ordered_json::array());
  EXPECT_NE(load_identity(other, other_log).secret, mine.secret);
  EXPECT_EQ(load_identity(data_, log_).secret, mine.secret);
  const auto other_text = read_file(other.file(kLogFileName));
  ASSERT_TRUE(other_text.ok());
  EXPECT_EQ(other_text->find("solo aqui"), std::string::npos);
  EXPECT_NE(read("vantriel.log").find(" solo aqui\n"), std::string::npos);
  EXPECT_EQ(setting(load_settings(data_), "general", "idioma"), "en");
}

TEST_F(JsonFileTest, BadInputYieldsNoValue) {
  EXPECT_FALSE(read_json_file(data_file("missing.json")));
  put("a.json", "{\"id\": ");
  EXPECT_FALSE(read_json_file(data_file("a.json")));
  put("b.json", "{} {}");
  EXPECT_FALSE(read_json_file(data_file("b.json")));
  put("c.json", "\"\xC3\x28\"");  // not UTF-8
  EXPECT_FALSE(read_json_file(data_file("c.json")));
  put("d.json", "");
  EXPECT_FALSE(read_json_file(data_file("d.json")));
  put("e.json", std::string(100000, '[') + std::string(100000, ']'));  // deep but valid
  EXPECT_TRUE(read_json_file(data_file("e.json")));
}

TEST_F(JsonFileTest, AtomicWriteLeavesWholeFileAndNoTemporary) {
  nlohmann::ordered_json value = nlohmann::ordered_json::object();
  value["z"] = "\xC3\xB1";
  value["a"] = nlohmann::ordered_json::array({1, "bad \xFF"});
  put("x.json", "old content that is longer than the new one............");
  ASSERT_TRUE(write_json_atomic(data_file("x.json"), value).ok());
  EXPECT_EQ(read("x.json"),
            "{\n  \"z\": \"\xC3\xB1\",\n  \"a\": [\n    1,\n    \"bad \xEF\xBF\xBD\"\n  ]\n}");
  EXPECT_FALSE(exists("x.tmp"));
  ASSERT_TRUE(write_json_atomic(data_file("noext"), 5).ok());
  EXPECT_EQ(read("noext"), "5");
  EXPECT_FALSE(exists("noext.tmp"));
  // A parent that cannot be a folder: the error comes back and nothing is written.
  put("plain", "x");
  EXPECT_FALSE(write_json_atomic(data_file("plain") / "y.json", 1).ok());
}

// Windows refuses to rename over a file that another program holds open; the replace
// waits that out instead of losing the write.
TEST_F(JsonFileTest, ReplaceWaitsForAReaderToLetGo) {
  put("estado.json", "viejo");
  put("estado.tmp", "nuevo");
  std::thread reader;
  {
    auto held = std::make_shared<std::ifstream>(data_file("estado.json"), std::ios::binary);
    ASSERT_TRUE(held->is_open());
    reader = std::thread([held]() mutable {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      held.reset();
    });
  }
  const auto status = replace_file(data_file("estado.tmp"), data_file("estado.json"));
  reader.join();
  ASSERT_TRUE(status.ok()) << status.error();
  EXPECT_EQ(read("estado.json"), "nuevo");
  EXPECT_FALSE(exists("estado.tmp"));
}

TEST(RandomTest, SipHashMatchesTheReferenceVectors) {
  // SipHash-2-4 reference: key 00..0f, messages 00..(n-1).
  const std::uint64_t k0 = 0x0706050403020100ULL, k1 = 0x0f0e0d0c0b0a0908ULL;
  unsigned char msg[15];
  for (int i = 0; i < 15; ++i) msg[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(siphash(2, 4, k0, k1, msg, 0), 0x726fdb47dd0e0e31ULL);
  EXPECT_EQ(siphash(2, 4, k0, k1, msg, 8), 0x93f5f5799a932462ULL);
  EXPECT_EQ(siphash(2, 4, k0, k1, msg, 15), 0xa129ca6149be45e5ULL);
  EXPECT_EQ(siphash13_u64(k0, k1, 0x0706050403020100ULL), siphash(1, 3, k0, k1, msg, 8));
}

TEST(RandomTest, FallbackBytesVary) {
  unsigned char a[64], b[64];
  fallback_random_bytes(a, sizeof a);
  fallback_random_bytes(b, sizeof b);
  EXPECT_NE(std::string(a, a + 64), std::string(b, b + 64));
  std::set<unsigned char> distinct(a, a + 64);
  EXPECT_GT(distinct.size(), 20u);
}

TEST(RandomTest, BelowStaysInRangeAndCoversIt) {
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 2000; ++i) {
    const std::uint32_t r = random_below(7);
    ASSERT_LT(r, 7u);
    seen.insert(r);
  }
  EXPECT_EQ(seen.size(), 7u);
  EXPECT_EQ(random_below(1), 0u);
  EXPECT_EQ(random_below(0), 0u);
  for (int i = 0; i < 2000; ++i) {
    const std::string id = std::to_string(100000000u + random_below(900000000u));
    ASSERT_EQ(id.size(), 9u);
    ASSERT_NE(id[0], '0');
  }
  for (int i = 0; i < 50; ++i) ASSERT_LT(random_below(0xFFFFFFFFu), 0xFFFFFFFFu);
  const std::string hex = random_hex(32);
  EXPECT_TRUE(std::regex_match(hex, std::regex("[0-9a-f]{64}")));
  EXPECT_NE(hex, random_hex(32));
}

}  // namespace
}  // namespace vantriel
