#include "base/server_url.h"

#include <gtest/gtest.h>

#include "base/settings.h"
#include "base/test_support.h"

namespace vantriel {
namespace {

using ServerUrlTest = DataFolderTest;

TEST(ServerCheckTest, AcceptsHttpsAndLoopbackHttpOnly) {
  for (const char* good :
       {"https://x", "https://senal.example.com/ruta?q=1", " https://a.b ", "http://127.0.0.1",
        "http://localhost:8080", "http://127.0.0.1:9/ws", "http://localhost/x@y"}) {
    EXPECT_TRUE(is_valid_server(good)) << good;
  }
  for (const char* bad : {"", "https://", "https://user@host", "https://a b", "https://a\"b",
                          "https://a\\b", "https://a\tb", "http://example.com",
                          "http://127.0.0.1:", "http://localhost:80a", "http://localhost.evil.com",
                          "http://127.0.0.1@evil.com", "ftp://x", "HTTPS://x", "wss://x"}) {
    EXPECT_FALSE(is_valid_server(bad)) << bad;
  }
}

TEST_F(ServerUrlTest, PrefersEnvironmentThenFileThenDefault) {
  ScopedEnv clear("VTR_SERVER", std::nullopt);
  load_settings(data_);
  EXPECT_EQ(server_url(data_), kDefaultServerUrl);
  ASSERT_TRUE(set_setting(data_, "general", "servidor", "https://mio.example// ; nuestro").ok());
  EXPECT_EQ(server_url(data_), "https://mio.example");
  ASSERT_TRUE(set_setting(data_, "general", "servidor", "http://otro.example").ok());
  EXPECT_EQ(server_url(data_), kDefaultServerUrl);
  {
    ScopedEnv env("VTR_SERVER", "http://10.0.0.5:9000/");
    EXPECT_EQ(server_url(data_), "http://10.0.0.5:9000");
  }
  {
    ScopedEnv env("VTR_SERVER", "wss://x.example");  // not http: the file decides
    EXPECT_EQ(server_url(data_), kDefaultServerUrl);
  }
}

}  // namespace
}  // namespace vantriel
