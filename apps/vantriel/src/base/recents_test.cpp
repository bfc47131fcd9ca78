#include "base/recents.h"

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/json_file.h"
#include "base/test_support.h"

namespace vantriel {
namespace {

using RecentsTest = DataFolderTest;

std::string id_of(int i) { return std::to_string(100000000 + i); }

TEST_F(RecentsTest, AddMovesToFrontAndKeepsTwelve) {
  EXPECT_EQ(load_recents(data_), nlohmann::ordered_json::array());
  for (int i = 1; i <= 12; ++i) add_recent(data_, log_, id_of(i), "pc " + std::to_string(i));
  auto list = add_recent(data_, log_, id_of(5), "nuevo");
  ASSERT_EQ(list.size(), 12u);
  EXPECT_EQ(list[0]["id"], id_of(5));
  EXPECT_EQ(list[0]["nombre"], "nuevo");
  EXPECT_EQ(list[1]["id"], id_of(12));

  list = add_recent(data_, log_, id_of(13), "trece");
  ASSERT_EQ(list.size(), 12u);
  EXPECT_EQ(list[0]["id"], id_of(13));
  EXPECT_EQ(list[11]["id"], id_of(2));  // id 1 was the oldest
  EXPECT_EQ(read_json_file(data_file("recientes.json")), list);
  EXPECT_FALSE(exists("recientes.tmp"));

  const nlohmann::ordered_json& first = list[0];
  ASSERT_EQ(first.size(), 3u);
  EXPECT_EQ(first.begin().key(), "id");
  EXPECT_EQ(std::next(first.begin()).key(), "nombre");
  EXPECT_EQ(std::next(first.begin(), 2).key(), "fecha");
  EXPECT_EQ(first["fecha"].get<std::string>().size(), 19u);
}

TEST_F(RecentsTest, InvalidIdsChangeNothing) {
  add_recent(data_, log_, id_of(1), "uno");
  const std::string before = read("recientes.json");
  for (const char* bad : {"012345678", "12345678a", "12345678", "1234567890", ""}) {
    EXPECT_EQ(add_recent(data_, log_, bad, "x").size(), 1u) << bad;
  }
  EXPECT_EQ(read("recientes.json"), before);
}

TEST_F(RecentsTest, NamesAreCleanedAndCut) {
  const auto list =
      add_recent(data_, log_, id_of(1), "a\tb\nc\x7F\xC2\x80\xC2\x9F\xC2\xA0 \xC3\xB1");
  EXPECT_EQ(list[0]["nombre"], "abc\xC2\xA0 \xC3\xB1");  // U+00A0 (160) is kept
  EXPECT_EQ(clean_recent_name(std::string(50, 'x')), std::string(40, 'x'));
  EXPECT_EQ(clean_recent_name("\x01" + std::string(39, 'y') + "\xC3\xB1z"),
            std::string(39, 'y') + "\xC3\xB1");
}

TEST_F(RecentsTest, DamagedOrForeignFilesAreHandled) {
  put("recientes.json", "{\"id\": \"100000001\"}");
  EXPECT_EQ(load_recents(data_), nlohmann::ordered_json::array());
  auto list = add_recent(data_, log_, id_of(2), "dos");
  EXPECT_EQ(list.size(), 1u);
  EXPECT_TRUE(read_json_file(data_file("recientes.json"))->is_array());

  // Hand-written elements are kept as they are; only string ids are compared.
  put("recientes.json", "[7, {\"id\": 100000002}, {\"id\": \"100000002\", \"nombre\": \"x\"}]");
  list = add_recent(data_, log_, id_of(2), "dos");
  EXPECT_EQ(list.dump(-1).substr(0, 22), "[{\"id\":\"100000002\",\"no");
  EXPECT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1], 7);

  const std::string before = read("recientes.json");
  EXPECT_EQ(remove_recent(data_, log_, "999999999").size(), 3u);
  EXPECT_EQ(read("recientes.json"), before);
  EXPECT_EQ(remove_recent(data_, log_, id_of(2)).size(), 2u);

  // A list that cannot be stored (a folder where the temporary file goes) is still
  // returned, and the log says why, once per failed store.
  std::filesystem::create_directories(data_file("recientes.tmp"));
  EXPECT_EQ(add_recent(data_, log_, id_of(3), "tres").size(), 3u);
  EXPECT_EQ(remove_recent(data_, log_, id_of(3)).size(), 2u);
  const std::string log = read("vantriel.log");
  std::size_t lines = 0;
  for (std::size_t at = log.find("[RECIENTES] No se pudo guardar la lista: ");
       at != std::string::npos; at = log.find("[RECIENTES]", at + 1)) {
    ++lines;
  }
  EXPECT_EQ(lines, 2u) << log;
}

TEST_F(RecentsTest, ConcurrentAddsLoseNothing) {
  constexpr int kThreads = 6;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 2; ++i) add_recent(data_, log_, id_of(t * 2 + i), "pc");
    });
  }
  for (auto& thread : threads) thread.join();
  const auto list = load_recents(data_);
  ASSERT_EQ(list.size(), 12u);
  std::set<std::string> ids;
  for (const auto& entry : list) ids.insert(entry["id"].get<std::string>());
  EXPECT_EQ(ids.size(), 12u);
}

}  // namespace
}  // namespace vantriel
