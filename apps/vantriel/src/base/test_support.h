// Test helpers: a private data folder per test and scoped environment variables.
#ifndef VANTRIEL_BASE_TEST_SUPPORT_H_
#define VANTRIEL_BASE_TEST_SUPPORT_H_

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "base/data_folder.h"
#include "base/file_util.h"

namespace vantriel {

// Points the data folder at a fresh temporary folder for one test and removes it after.
class DataFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::filesystem::path(::testing::TempDir()) /
              ("vantriel_base_" + std::string(info->test_suite_name()) + "_" + info->name()) /
              "data";
    std::filesystem::remove_all(folder_.parent_path());
    set_data_folder_for_testing(folder_);
  }
  void TearDown() override { std::filesystem::remove_all(folder_.parent_path()); }

  std::string read(std::string_view name) const {
    auto text = read_file(data_file(name));
    return text ? *text : std::string("<missing>");
  }
  void put(std::string_view name, std::string_view bytes) const {
    std::filesystem::create_directories(folder_);
    ASSERT_TRUE(write_file(data_file(name), bytes).ok());
  }
  bool exists(std::string_view name) const { return std::filesystem::exists(data_file(name)); }

  std::filesystem::path folder_;
};

// Sets (or, with nullopt, removes) an environment variable for one scope and restores
// the previous state at its end.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace vantriel

#endif  // VANTRIEL_BASE_TEST_SUPPORT_H_
