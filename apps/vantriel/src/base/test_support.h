// Test helpers: a data folder of its own per test and scoped environment variables.
#ifndef VANTRIEL_BASE_TEST_SUPPORT_H_
#define VANTRIEL_BASE_TEST_SUPPORT_H_

#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
#endif

#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "base/data_folder.h"
#include "base/file_util.h"
#include "base/log.h"

namespace vantriel {

// A data folder of its own for one test, with its log: a fresh temporary folder, removed
// after the test.
class DataFolderTest : public ::testing::Test {
 protected:
  DataFolderTest() : folder_(test_folder()), data_(folder_), log_(data_) {}

  void SetUp() override { std::filesystem::remove_all(folder_.parent_path()); }
  void TearDown() override { std::filesystem::remove_all(folder_.parent_path()); }

  std::filesystem::path data_file(std::string_view name) const { return data_.file(name); }
  std::string read(std::string_view name) const {
    auto text = read_file(data_file(name));
    return text ? *text : std::string("<missing>");
  }
  void put(std::string_view name, std::string_view bytes) const {
    std::filesystem::create_directories(folder_);
    ASSERT_TRUE(write_file(data_file(name), bytes).ok());
  }
  bool exists(std::string_view name) const { return std::filesystem::exists(data_file(name)); }

  const std::filesystem::path folder_;
  DataFolder data_;
  Log log_;

 private:
  static std::filesystem::path test_folder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::filesystem::path(::testing::TempDir()) /
           ("vantriel_base_" + std::string(info->test_suite_name()) + "_" + info->name()) /
           "data";
  }
};

// Sets (or, with nullopt, removes) an environment variable for one scope and restores
// the previous state at its end.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
#ifdef _WIN32
    if (const wchar_t* old = ::_wgetenv(wide(name).c_str())) old_ = old;
    set(name, value ? std::optional<std::wstring>(wide(*value)) : std::nullopt);
#else
    if (const char* old = ::getenv(name)) old_ = old;
    set(name, value);
#endif
  }
  ~ScopedEnv() { set(name_, old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
#ifdef _WIN32
  using Text = std::wstring;
  static Text wide(const std::string& utf8) {
    Text out(utf8.size(), L'\0');
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                        out.data(), static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
  }
  // The C runtime's copy (getenv) and the process's (GetEnvironmentVariableW) are two, and
  // the code under test reads both. The runtime cannot hold an empty value: "" removes.
  static void set(const char* name, const std::optional<Text>& value) {
    const Text key = wide(name);
    ::_wputenv_s(key.c_str(), value ? value->c_str() : L"");
    ::SetEnvironmentVariableW(key.c_str(), value ? value->c_str() : nullptr);
  }
#else
  using Text = std::string;
  static void set(const char* name, const std::optional<Text>& value) {
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
#endif

  const char* name_;
  std::optional<Text> old_;
};

}  // namespace vantriel

#endif  // VANTRIEL_BASE_TEST_SUPPORT_H_
