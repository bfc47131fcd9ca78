#include "bindings.h"
#include "file_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace vantriel::signal {
namespace {

namespace fs = std::filesystem;

class BindingStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("vantriel-bindings-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
            "-" + testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = (dir_ / "signal.json").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string read() {
    std::ifstream in(path_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  fs::path dir_;
  std::string path_;
};

TEST_F(BindingStoreTest, BindingsSurviveAReloadAndTheKeyIsNeverStored) {
  BindingStore a(path_);
  ASSERT_TRUE(a.load(1000).ok());  // missing file: empty
  EXPECT_EQ(a.check("123456789", "secret-one"), BindingStore::Check::kNew);
  a.bind("123456789", "secret-one", 1000);
  ASSERT_TRUE(a.flush().ok());
  EXPECT_FALSE(a.dirty());
  EXPECT_EQ(read().find("secret-one"), std::string::npos);

  BindingStore b(path_);
  ASSERT_TRUE(b.load(2000).ok());
  EXPECT_EQ(b.check("123456789", "secret-one"), BindingStore::Check::kMatch);
  EXPECT_EQ(b.check("123456789", "secret-two"), BindingStore::Check::kMismatch);
  EXPECT_EQ(b.check("987654321", "secret-one"), BindingStore::Check::kNew);
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
}

TEST_F(BindingStoreTest, FlushMakesAMissingDataFolder) {
  const std::string nested = (dir_ / "data" / "signal.json").string();
  BindingStore s(nested);
  ASSERT_TRUE(s.load(0).ok());
  s.bind("123456789", "k", 0);
  ASSERT_TRUE(s.flush().ok());
  BindingStore again(nested);
  ASSERT_TRUE(again.load(0).ok());
  EXPECT_EQ(again.check("123456789", "k"), BindingStore::Check::kMatch);
}

TEST_F(BindingStoreTest, EveryWriteKeepsThePreviousFileToFallBackTo) {
  BindingStore s(path_);
  ASSERT_TRUE(s.load(1000).ok());
  s.bind("111111111", "a", 1000);
  ASSERT_TRUE(s.flush().ok());
  s.bind("222222222", "b", 1000);
  ASSERT_TRUE(s.flush().ok());
  const std::string cut = R"({"v":1,"ids":{"1111)";
  { std::ofstream(path_, std::ios::trunc) << cut; }

  BindingStore damaged(path_);
  auto note = damaged.load(1000);
  ASSERT_TRUE(note.ok()) << note.error();
  EXPECT_NE(note->find("previous copy"), std::string::npos) << *note;
  EXPECT_EQ(damaged.check("111111111", "x"), BindingStore::Check::kMismatch);
  EXPECT_EQ(damaged.check("222222222", "x"), BindingStore::Check::kNew);  // its last write
  EXPECT_TRUE(damaged.dirty());  // to be written back as the file
  std::ifstream kept(path_ + ".damaged");
  std::stringstream kept_text;
  kept_text << kept.rdbuf();
  EXPECT_EQ(kept_text.str(), cut);
  ASSERT_TRUE(damaged.flush().ok());
  BindingStore healed(path_);
  EXPECT_EQ(*healed.load(1000), "");
  EXPECT_EQ(healed.size(), 1u);

  // Stopped between the two renames of a write: no file, but its previous copy.
  fs::remove(path_);
  BindingStore between(path_);
  note = between.load(1000);
  ASSERT_TRUE(note.ok());
  EXPECT_NE(note->find("previous copy"), std::string::npos);
  EXPECT_EQ(between.check("111111111", "a"), BindingStore::Check::kMatch);
}

TEST_F(BindingStoreTest, WithNoUsableCopyLoadingFailsUnlessTheLossIsAccepted) {
  { std::ofstream(path_) << "{\"ids\": [trunc"; }
  { std::ofstream(path_ + ".damaged") << "from an earlier start"; }
  BindingStore s(path_);
  auto refused = s.load(1000);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().find("--accept-binding-loss"), std::string::npos);
  EXPECT_TRUE(fs::exists(path_));  // left for the next start to refuse again

  auto accepted = s.load(1000, BindingStore::OnDamage::kStartEmpty);
  ASSERT_TRUE(accepted.ok()) << accepted.error();
  EXPECT_EQ(s.size(), 0u);
  EXPECT_FALSE(fs::exists(path_));
  auto text_of = [](const std::string& p) {
    std::ifstream in(p);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  };
  EXPECT_EQ(text_of(path_ + ".damaged"), "from an earlier start");
  EXPECT_EQ(text_of(path_ + ".damaged.2"), "{\"ids\": [trunc");
}

TEST_F(BindingStoreTest, LongUnusedIdsExpireAndUseIsRecordedDaily) {
  BindingStore s(path_);
  ASSERT_TRUE(s.load(0).ok());
  s.bind("111111111", "a", 0);
  s.bind("222222222", "b", 0);
  ASSERT_TRUE(s.flush().ok());
  s.touch("222222222", 3600);  // same day: nothing to write
  EXPECT_FALSE(s.dirty());
  s.touch("222222222", 90000);
  EXPECT_TRUE(s.dirty());
  ASSERT_TRUE(s.flush().ok());

  BindingStore later(path_);
  ASSERT_TRUE(later.load(int64_t{10} * 86400 + 100, BindingStore::OnDamage::kRefuse, 10).ok());
  EXPECT_EQ(later.check("111111111", "a"), BindingStore::Check::kNew);
  EXPECT_EQ(later.check("222222222", "b"), BindingStore::Check::kMatch);
}

TEST_F(BindingStoreTest, WhatWasLoadedIsWrittenBackReadable) {
  // Written by someone else: values we would never make, still strings; a binding in
  // our own form with a time past 32 bits; and one whose salt is in upper case, which
  // keys the hash as written and must stay so.
  const std::string salt = "00112233445566778899aabbccddeeff";
  const std::string upper = "00112233445566778899AABBCCDDEEFF";
  const std::string ours = R"("555555555":{"salt":")" + salt + R"(","hash":")" +
                           BindingStore::secret_hash(salt, "k5") + R"(","seen":7258118400})";
  const std::string theirs = R"("666666666":{"salt":")" + upper + R"(","hash":")" +
                             BindingStore::secret_hash(upper, "k6") + R"(","seen":1000})";
  {
    std::ofstream(path_)
        << R"({"v":1,"ids":{"1\"2":{"salt":"a\\b\n\u0001","hash":"\"","seen":1000},)" << ours
        << "," << theirs << "}}";
  }
  BindingStore s(path_);
  ASSERT_TRUE(s.load(1000).ok());
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s.check("555555555", "k5"), BindingStore::Check::kMatch);
  EXPECT_EQ(s.check("666666666", "k6"), BindingStore::Check::kMatch);
  s.bind("123456789", "k", 1000);
  ASSERT_TRUE(s.flush().ok());
  EXPECT_NE(read().find(ours), std::string::npos) << read();
  EXPECT_NE(read().find(theirs), std::string::npos) << read();
  BindingStore again(path_);
  ASSERT_TRUE(again.load(1000).ok());
  EXPECT_EQ(again.size(), 4u);
  EXPECT_EQ(again.check("1\"2", "k"), BindingStore::Check::kMismatch);
  EXPECT_EQ(again.check("123456789", "k"), BindingStore::Check::kMatch);
  EXPECT_EQ(again.check("555555555", "k5"), BindingStore::Check::kMatch);
  EXPECT_EQ(again.check("555555555", "k6"), BindingStore::Check::kMismatch);

  // Bound anew (after the data file was lost elsewhere, say): one binding, the new key's.
  again.bind("666666666", "k7", 2000);
  ASSERT_TRUE(again.flush().ok());
  BindingStore last(path_);
  ASSERT_TRUE(last.load(2000).ok());
  EXPECT_EQ(last.size(), 4u);
  EXPECT_EQ(last.check("666666666", "k7"), BindingStore::Check::kMatch);
  EXPECT_EQ(last.check("666666666", "k6"), BindingStore::Check::kMismatch);
}

TEST_F(BindingStoreTest, WriterKeepsTheNewestSnapshotAndFinishesOnStop) {
  {
    FileWriter writer(path_);
    for (int i = 0; i < 100; ++i) writer.write("{\"n\":" + std::to_string(i) + "}");
    writer.drain();
    EXPECT_EQ(read(), "{\"n\":99}");
    EXPECT_EQ(writer.take_error(), "");
    const std::string spare = writer.spare();  // the written text's buffer, emptied
    EXPECT_TRUE(spare.empty());
    EXPECT_GE(spare.capacity(), 8u);
    EXPECT_EQ(writer.spare().capacity(), std::string().capacity());
    writer.write("{\"n\":100}");
  }  // the destructor writes what waits
  EXPECT_EQ(read(), "{\"n\":100}");

  FileWriter blocked((dir_ / "file-not-folder" / "x.json").string());
  { std::ofstream(dir_ / "file-not-folder") << "x"; }
  blocked.write("{}");
  blocked.drain();
  EXPECT_NE(blocked.take_error(), "");
  EXPECT_EQ(blocked.take_error(), "");
}

}  // namespace
}  // namespace vantriel::signal
