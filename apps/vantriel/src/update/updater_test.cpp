#include "update/updater.h"

#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/json_file.h"
#include "base/settings.h"
#include "base/test_support.h"
#include "morvane/core/web/testing/loopback_listener.h"

namespace vantriel {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

json signed_release(const std::string& version) {
  return {{"version", version},
          {"date", nullptr},
          {"url", "http://127.0.0.1:1/p.zip"},
          {"size", 10},
          {"sha256", "00"},
          {"page", "https://x/"},
          {"changes", json::array()},
          {"signed", true}};
}

class UpdaterTest : public DataFolderTest {
 protected:
  void SetUp() override {
    DataFolderTest::SetUp();
    install_ = folder_.parent_path();
    fs::create_directories(folder_ / "actualizacion");
    ASSERT_TRUE(write_file(install_ / "vantriel", "exe").ok());
  }
  std::unique_ptr<Updater> make() {
    UpdaterConfig config;
    config.install_folder = install_;
    config.running_version = "0.1.1";
    config.executable_file = "vantriel";
    config.busy = [this] { return busy_; };
    return std::make_unique<Updater>(config, data_, log_);
  }
  void store(const json& estado) { put("actualizacion/estado.json", estado.dump()); }

  fs::path install_;
  std::vector<std::string> busy_;
};

TEST_F(UpdaterTest, StateReplyFromStoredStateAndInstallerResult) {
  store(
      {{"last_check", 1700000000.5}, {"latest", signed_release("0.1.1")}, {"dismissed", "0.1.0"}});
  put("actualizacion/resultado.json",
      R"({"ok":true,"version":"0.1.1","from":"0.1.0","time":1.5,"files":3,"clean":true})");
  auto updater = make();
  EXPECT_FALSE(exists("actualizacion/resultado.json"));
  EXPECT_THAT(read("vantriel.log"),
              HasSubstr(" [ACTUALIZAR] Instalada la v0.1.1 (antes v0.1.0)\n"));

  json state = updater->state();
  std::vector<std::string> keys;
  for (auto& [k, v] : state.items()) keys.push_back(k);
  EXPECT_THAT(
      keys, ElementsAre("current", "phase", "pct", "msg", "auto", "last_check", "available",
                        "latest", "dismissed", "can_install", "busy", "waiting", "result", "page"));
  // The stored release is the running version: nothing to offer.
  EXPECT_EQ(state["phase"], "idle");
  EXPECT_EQ(state["available"], false);
  EXPECT_EQ(state["latest"], nullptr);
  EXPECT_EQ(state["last_check"], 1700000000.5);
  EXPECT_EQ(state["dismissed"], "0.1.0");
  EXPECT_EQ(state["result"]["files"], 3);
  EXPECT_EQ(state["auto"], true);

  updater->action({{"action", "seen"}});
  EXPECT_EQ(updater->state()["result"], nullptr);
}

TEST_F(UpdaterTest, FailedInstallRecordIsLogged) {
  put("actualizacion/resultado.json", R"({"ok":false,"version":"0.1.2","from":"0.1.1"})");
  auto updater = make();
  EXPECT_THAT(
      read("vantriel.log"),
      HasSubstr(
          "[ACTUALIZAR] La instalaci\xC3\xB3n fall\xC3\xB3 y se regres\xC3\xB3 todo: None\n"));
  EXPECT_EQ(updater->state()["result"]["ok"], false);
}

TEST_F(UpdaterTest, InstallRefusals) {
  store({{"last_check", 0}, {"latest", signed_release("0.1.2")}, {"dismissed", nullptr}});
  auto updater = make();
  json state = updater->state();
  EXPECT_EQ(state["available"], true);
  EXPECT_EQ(state["can_install"], true);
  EXPECT_EQ(state["latest"]["version"], "0.1.2");

  busy_ = {"la sesi\xC3\xB3n de soporte", "la llamada"};
  EXPECT_EQ(updater->action({{"action", "install"}}),
            json({{"ok", false},
                  {"busy", true},
                  {"msg",
                   "Primero termina la sesi\xC3\xB3n de soporte y la llamada (una "
                   "actualizaci\xC3\xB3n la cortar\xC3\xAD"
                   "a)."}}));
  EXPECT_EQ(updater->state()["busy"].size(), 2u);
  busy_.clear();

  // A portable copy under another name cannot replace itself.
  fs::remove(install_ / "vantriel");
  EXPECT_EQ(updater->state()["can_install"], false);
  EXPECT_EQ(updater->action({{"action", "install"}}),
            json({{"ok", false},
                  {"msg",
                   "Esta versi\xC3\xB3n no se puede instalar desde la app: "
                   "desc\xC3\xA1rgala de vantriel.app/support/."}}));
  EXPECT_EQ(updater->state()["phase"], "idle");
}

TEST_F(UpdaterTest, UnsignedReleaseIsShownButNotInstallable) {
  json release = signed_release("0.2");
  release["signed"] = false;
  store({{"latest", release}});
  auto updater = make();
  EXPECT_EQ(updater->state()["available"], true);
  EXPECT_EQ(updater->state()["can_install"], false);
  EXPECT_EQ(updater->state()["last_check"], 0);
}

TEST_F(UpdaterTest, DismissAndAutoAreStored) {
  store({{"last_check", 5}, {"latest", signed_release("0.1.2")}, {"dismissed", nullptr}});
  auto updater = make();
  updater->action({{"action", "dismiss"}});
  EXPECT_EQ(read("actualizacion/estado.json"),
            json({{"last_check", 5}, {"latest", signed_release("0.1.2")}, {"dismissed", "0.1.2"}})
                .dump());
  EXPECT_EQ(updater->action({{"action", "auto"}, {"on", false}})["auto"], false);
  EXPECT_EQ(setting(load_settings(data_), "general", "buscar_actualizaciones"), "no");
  EXPECT_EQ(updater->action({{"action", "auto"}, {"on", 1}})["auto"], true);
  EXPECT_EQ(updater->action({{"action", 7}})["phase"], "idle");
}

TEST_F(UpdaterTest, NetworkFailureKeepsLastCheckAndLatest) {
  ScopedEnv url("MRV_UPDATE_URL", "http://127.0.0.1:1/version.json");
  store({{"last_check", 5}, {"latest", signed_release("0.1.2")}, {"dismissed", nullptr}});
  auto updater = make();
  updater->check();
  json state = updater->state();
  EXPECT_EQ(state["phase"], "error");
  EXPECT_THAT(state["msg"].get<std::string>(),
              HasSubstr("No se pudo buscar actualizaciones: error de red "));
  EXPECT_EQ(state["last_check"], 5);
  EXPECT_EQ(state["latest"]["version"], "0.1.2");
  EXPECT_THAT(read("vantriel.log"), HasSubstr("[ACTUALIZAR] No se pudo buscar actualizaciones: "));
}

// A loopback server whose one connection the test answers when it chooses.
class HeldServer {
 public:
  ~HeldServer() {
    if (conn_ != morvane::testing::kNoSocket) morvane::testing::close_socket(conn_);
  }
  int port() const { return listener_.port(); }
  void accept_one() { conn_ = listener_.accept_one(); }
  void answer(const std::string& response) {
    ASSERT_NE(conn_, morvane::testing::kNoSocket);
    EXPECT_TRUE(morvane::testing::send_all(conn_, response));
    morvane::testing::close_socket(conn_);
    conn_ = morvane::testing::kNoSocket;
  }

 private:
  morvane::testing::LoopbackListener listener_;
  morvane::testing::Socket conn_ = morvane::testing::kNoSocket;
};

TEST_F(UpdaterTest, CheckEndingAfterAFailedInstallLeavesTheInstallError) {
  HeldServer manifest;
  ScopedEnv url("MRV_UPDATE_URL",
                "http://127.0.0.1:" + std::to_string(manifest.port()) + "/version.json");
  store({{"last_check", 5}, {"latest", signed_release("0.1.2")}, {"dismissed", nullptr}});
  auto updater = make();

  std::thread check([&] { updater->check(); });
  manifest.accept_one();
  EXPECT_EQ(updater->state()["phase"], "checking");

  // The package address refuses connections, so the run fails in its download.
  EXPECT_EQ(updater->action({{"action", "install"}})["ok"], true);
  for (int i = 0; i < 500 && updater->state()["waiting"] == true; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(updater->state()["waiting"], false);

  manifest.answer("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  check.join();
  json state = updater->state();
  EXPECT_EQ(state["phase"], "error");
  EXPECT_THAT(state["msg"].get<std::string>(), HasSubstr("No se pudo actualizar: error de red"));
  // The check itself still counts.
  EXPECT_THAT(read("vantriel.log"), HasSubstr("[ACTUALIZAR] No se pudo buscar actualizaciones: "));
}

}  // namespace
}  // namespace vantriel
