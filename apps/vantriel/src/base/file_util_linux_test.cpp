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

TEST_F(SyncedReplaceTest, EveryStateFileIsSyncedBeforeAndAfterItsRename) {
  load_settings();  // creates vantriel.ini from the template, the same way
  EXPECT_EQ(calls(), (Calls{"fsync ./vantriel.ini.tmp", "rename ./vantriel.ini.tmp ./vantriel.ini",
                            "fsync ."}));
  ASSERT_TRUE(set_setting("general", "idioma", "en").ok());
  EXPECT_EQ(calls(), (Calls{"fsync ./vantriel.ini.tmp", "rename ./vantriel.ini.tmp ./vantriel.ini",
                            "fsync ."}));

  const Identity identity = load_identity();
  EXPECT_EQ(calls(), (Calls{"fsync ./identidad.tmp", "rename ./identidad.tmp ./identidad.json",
                            "fsync ."}));
  EXPECT_EQ(load_identity().id, identity.id);
  EXPECT_EQ(calls(), Calls{});  // reading writes nothing

  // A file in a folder of its own syncs that folder.
  ASSERT_TRUE(write_json_atomic(data_file("estado") / "estado.json", 1).ok());
  EXPECT_EQ(calls(), (Calls{"fsync ./estado/estado.tmp",
                            "rename ./estado/estado.tmp ./estado/estado.json", "fsync ./estado"}));
  EXPECT_EQ(read("estado/estado.json"), "1");
}

TEST_F(SyncedReplaceTest, FailedSyncsAreReported) {
  put("vantriel.ini", "[general]\r\nidioma = fr\r\n");
  calls();
  fail_fsync(EIO);
  const auto saved = set_setting("general", "idioma", "es");
  ASSERT_FALSE(saved.ok());
  EXPECT_NE(saved.error().find("vantriel.ini.tmp: Input/output error"), std::string::npos)
      << saved.error();
  // The temporary file is not known to be on the disk, so it does not replace the file.
  EXPECT_EQ(calls(), Calls{"fsync ./vantriel.ini.tmp"});
  EXPECT_EQ(read("vantriel.ini"), "[general]\r\nidioma = fr\r\n");

  // A folder that cannot be synced after the rename: the new content is in place but
  // may not survive a power cut, and the caller hears so.
  fail_fsync(0);
  ASSERT_TRUE(write_file_synced(data_file("x.tmp"), "1").ok());
  fail_fsync(EIO);
  const auto replaced = replace_file(data_file("x.tmp"), data_file("x.json"));
  ASSERT_FALSE(replaced.ok());
  EXPECT_EQ(replaced.error(), "cannot sync folder " + folder_.string() + ": Input/output error");
}

}  // namespace
}  // namespace vantriel
