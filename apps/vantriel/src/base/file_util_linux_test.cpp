// Whole-file replacement as the kernel sees it. fsync() and rename() are defined here, in
// the test executable, so the product code linked into it calls these: they record each
// call on the test's data folder and pass it on to the C library.
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "base/file_util.h"
#include "base/identity.h"
#include "base/json_file.h"
#include "base/settings.h"
#include "base/test_support.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_calls;
int g_fsync_errno = 0;  // when not 0, fsync() fails with it instead of syncing

std::string fd_path(int fd) {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
  return ec ? std::string("?") : path.string();
}

std::string canonical(const char* path) {
  std::error_code ec;
  auto full = std::filesystem::weakly_canonical(path, ec);
  return ec ? std::string(path) : full.string();
}

}  // namespace

extern "C" int fsync(int fd) {
  static auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back("fsync " + fd_path(fd));
    if (g_fsync_errno != 0) {
      errno = g_fsync_errno;
      return -1;
    }
  }
  return real(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
  static auto real =
      reinterpret_cast<int (*)(const char*, const char*)>(::dlsym(RTLD_NEXT, "rename"));
  try {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back("rename " + canonical(from) + " " + canonical(to));
  } catch (...) {
  }
  return real(from, to);
}

namespace vantriel {
namespace {

class SyncedReplaceTest : public DataFolderTest {
 protected:
  void SetUp() override {
    DataFolderTest::SetUp();
    std::filesystem::create_directories(folder_);
    root_ = std::filesystem::canonical(folder_).string();
    calls();
  }
  void TearDown() override {
    fail_fsync(0);
    DataFolderTest::TearDown();
  }

  static void fail_fsync(int error) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_fsync_errno = error;
  }

  // The calls on the data folder since the last look, its path written as ".".
  std::vector<std::string> calls() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<std::string> out;
    for (std::string call : g_calls) {
      if (call.find(root_) == std::string::npos) continue;
      for (std::size_t at; (at = call.find(root_)) != std::string::npos;) {
        call.replace(at, root_.size(), ".");
      }
      out.push_back(call);
    }
    g_calls.clear();
    return out;
  }

  std::string root_;
};

using Calls = std::vector<std::string>;

// What replacing `name` through `temp` asks of the kernel, in order.
Calls synced_replace(const std::string& temp, const std::string& name, const std::string& folder) {
  return {"fsync " + temp, "rename " + temp + " " + name, "fsync " + folder};
}

TEST_F(SyncedReplaceTest, StateFilesAreSyncedBeforeAndAfterTheirRename) {
  load_settings(data_);  // creates the file from the template
  EXPECT_EQ(calls(), synced_replace("./vantriel.ini.tmp", "./vantriel.ini", "."));
  ASSERT_TRUE(set_setting(data_, "general", "idioma", "en").ok());
  EXPECT_EQ(calls(), synced_replace("./vantriel.ini.tmp", "./vantriel.ini", "."));
  load_identity(data_, log_);
  EXPECT_EQ(calls(), synced_replace("./identidad.tmp", "./identidad.json", "."));
  ASSERT_TRUE(write_json_atomic(data_file("estado") / "estado.json", 1).ok());
  EXPECT_EQ(calls(), synced_replace("./estado/estado.tmp", "./estado/estado.json", "./estado"));
}

TEST_F(SyncedReplaceTest, FailedSyncsAreReported) {
  put("vantriel.ini", "[general]\r\nidioma = fr\r\n");
  calls();
  fail_fsync(EIO);
  const auto saved = set_setting(data_, "general", "idioma", "es");
  ASSERT_FALSE(saved.ok());
  EXPECT_NE(saved.error().find("vantriel.ini.tmp: Input/output error"), std::string::npos);
  // A temporary file not known to be on the disk does not replace the file.
  EXPECT_EQ(calls(), Calls{"fsync ./vantriel.ini.tmp"});
  EXPECT_EQ(read("vantriel.ini"), "[general]\r\nidioma = fr\r\n");
  // Renamed but not known to survive a power cut: said so too.
  const auto replaced = replace_file(data_file("vantriel.ini.tmp"), data_file("vantriel.ini"));
  EXPECT_EQ(replaced.error(), "cannot sync folder " + folder_.string() + ": Input/output error");
}

}  // namespace
}  // namespace vantriel
