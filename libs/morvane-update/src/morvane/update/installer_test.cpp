#include "morvane/update/installer.h"

#include <map>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "morvane/update/testing/test_util.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

// Real files; renames can be made to fail, and nothing sleeps or starts.
class FakeSystem : public InstallerSystem {
 public:
  Status rename(const fs::path& from, const fs::path& to, bool* access_denied) override {
    ++renames;
    if (fail_into == to && fail_times > 0) {
      --fail_times;
      *access_denied = false;
      return make_error("disco lleno");
    }
    if (busy_left > 0 && to.filename() == busy_name) {
      --busy_left;
      *access_denied = true;
      return make_error("acceso denegado");
    }
    return InstallerSystem::rename(from, to, access_denied);
  }
  void sleep(std::chrono::milliseconds d) override { slept += d; }
  void wait_for_exit(uint32_t pid, std::chrono::milliseconds) override { waited_for = pid; }
  Status start_detached(const fs::path& program, const std::vector<std::string>& args,
                        const fs::path& folder) override {
    started.push_back(program.filename().string());
    for (const auto& a : args) started.push_back(a);
    started_in = folder;
    return {};
  }
  std::string local_time_text() override { return "2026-01-02 03:04:05"; }

  fs::path fail_into;
  int fail_times = 1;
  std::string busy_name;
  int busy_left = 0;
  int renames = 0;
  std::chrono::milliseconds slept{0};
  uint32_t waited_for = 0;
  std::vector<std::string> started;
  fs::path started_in;
};

// Every file and folder below |root| with its content ("/" for folders).
std::map<std::string, std::string> tree(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (auto& e : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(e.path(), root).generic_string();
    out[rel] = e.is_directory() ? "/" : read_file(e.path());
  }
  return out;
}

class InstallerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    install = scratch.path() / "Vantriel";
    write_file(install / "vantriel", "old exe");
    write_file(install / "lib" / "old.so", "old lib");
    write_file(install / "manual" / "manual_es.md", "viejo");
    write_file(install / "Data" / "vantriel.ini", "[general]\n");
    write_file(install / "TOOLS" / "t.sh", "tool");
    write_file(install / "Notas_para_orsela.md", "mis notas");
    source = scratch.path() / "nuevo";
    write_file(source / "vantriel", "new exe");
    write_file(source / "lib" / "new.so", "new lib");
    write_file(source / "manual" / "manual_es.md", "nuevo");
    write_file(source / "data" / "vantriel.ini", "pisado");
    write_file(source / "tools" / "t.sh", "pisado");
    write_file(source / "notas_para_orsela.md", "pisado");
    request.source = source;
    request.install_folder = install;
    request.version = "0.1.2";
    request.from_version = "0.1.1";
    request.executable_file = "vantriel";
    request.product = testing::test_product();
  }
  fs::path work() const { return install / "data" / "actualizacion"; }
  nlohmann::ordered_json result() const {
    return nlohmann::ordered_json::parse(read_file(work() / "resultado.json"));
  }
  std::string log() const { return read_file(work() / "actualizacion.log"); }

  ScratchDir scratch;
  fs::path install, source;
  InstallRequest request;
  FakeSystem system;
};

TEST_F(InstallerTest, SwapKeepsDataToolsAndNotesAndRelaunches) {
  // The data folder is "Data" here: on Linux the working folder follows the name given.
  fs::create_directory_symlink("Data", install / "data");
  request.wait_pid = 4242;
  request.quiet = true;
  apply_update(request, system);

  auto after = tree(install);
  EXPECT_EQ(after["vantriel"], "new exe");
  EXPECT_EQ(after["lib/new.so"], "new lib");
  EXPECT_EQ(after.count("lib/old.so"), 0u);
  EXPECT_EQ(after["manual/manual_es.md"], "nuevo");
  EXPECT_EQ(after["Data/vantriel.ini"], "[general]\n");
  EXPECT_EQ(after["TOOLS/t.sh"], "tool");
  EXPECT_EQ(after["Notas_para_orsela.md"], "mis notas");
  EXPECT_FALSE(fs::exists(work() / "respaldo"));
  EXPECT_FALSE(fs::exists(source));

  auto r = result();
  EXPECT_EQ(r["ok"], true);
  EXPECT_EQ(r["version"], "0.1.2");
  EXPECT_EQ(r["from"], "0.1.1");
  EXPECT_TRUE(r["time"].is_number_float());
  EXPECT_EQ(r["files"], 6);  // every file of the source, skipped ones included
  EXPECT_EQ(r["clean"], true);
  EXPECT_EQ(r.size(), 6u);
  EXPECT_EQ(system.waited_for, 4242u);
  EXPECT_EQ(system.slept, std::chrono::milliseconds(1500));
  EXPECT_THAT(system.started, ElementsAre("vantriel", "--no-elevate", "--no-window"));
  EXPECT_EQ(system.started_in, install);
  EXPECT_THAT(log(), HasSubstr("2026-01-02 03:04:05 Instalando v0.1.2 sobre v0.1.1 en "));
  EXPECT_THAT(log(), HasSubstr(" Listo: instalaci\xC3\xB3n limpia, 6 archivo(s); se quitaron 3 "
                               "elemento(s) de la versi\xC3\xB3n anterior.\n"));
}

TEST_F(InstallerTest, FailureHalfWayPutsEverythingBack) {
  fs::create_directory_symlink("Data", install / "data");
  auto before = tree(install);
  before.erase("data");
  system.fail_into = install / "manual";  // "lib" is already in when "manual" fails
  apply_update(request, system);

  auto after = tree(install);
  after.erase("data");
  for (auto it = after.begin(); it != after.end();) {
    it = it->first.rfind("Data/actualizacion", 0) == 0 ? after.erase(it) : std::next(it);
  }
  EXPECT_EQ(after, before);
  auto r = result();
  EXPECT_EQ(r["ok"], false);
  EXPECT_EQ(r["error"], "disco lleno");
  EXPECT_EQ(r.size(), 5u);
  EXPECT_THAT(
      log(), HasSubstr("ERROR: disco lleno. Restaurando la versi\xC3\xB3n anterior\xE2\x80\xA6\n"));
  EXPECT_THAT(system.started, ElementsAre("vantriel", "--no-elevate"));
  EXPECT_FALSE(fs::exists(source));
  EXPECT_FALSE(fs::exists(work() / "respaldo" / "manual"));
}

TEST_F(InstallerTest, RollbackGoesOnPastWhatItCannotRestore) {
  system.fail_into = install / "manual";
  system.fail_times = 2;  // placing the new one, then restoring the old one
  apply_update(request, system);
  EXPECT_EQ(read_file(install / "vantriel"), "old exe");
  EXPECT_EQ(read_file(install / "lib" / "old.so"), "old lib");
  EXPECT_EQ(read_file(work() / "respaldo" / "manual" / "manual_es.md"), "viejo");
  EXPECT_THAT(log(), HasSubstr("anterior\xE2\x80\xA6\n2026-01-02 03:04:05   no se pudo restaurar "
                               "manual: disco lleno\n"));
  EXPECT_EQ(result()["ok"], false);
}

TEST_F(InstallerTest, LockedFileMovesOnALaterAttempt) {
  fs::create_directory_symlink("Data", install / "data");
  system.busy_name = "vantriel";
  system.busy_left = 3;  // the old executable is still held for three attempts
  apply_update(request, system);
  EXPECT_EQ(result()["ok"], true);
  EXPECT_EQ(read_file(install / "vantriel"), "new exe");
  EXPECT_EQ(system.slept, std::chrono::seconds(3));

  // Ten refusals in a row are final.
  ScratchDir other;
  write_file(other.path() / "app" / "vantriel", "old");
  write_file(other.path() / "new" / "vantriel", "new");
  FakeSystem stuck;
  stuck.busy_name = "vantriel";
  stuck.busy_left = 100;
  InstallRequest r2 = request;
  r2.install_folder = other.path() / "app";
  r2.source = other.path() / "new";
  r2.no_relaunch = true;
  apply_update(r2, stuck);
  EXPECT_EQ(read_file(other.path() / "app" / "vantriel"), "old");
  EXPECT_EQ(stuck.renames, 10);
  EXPECT_TRUE(stuck.started.empty());
}

TEST_F(InstallerTest, MissingSourceFolderMovesNothing) {
  auto before = tree(install);
  request.source = scratch.path() / "nowhere";
  apply_update(request, system);
  auto r = nlohmann::ordered_json::parse(read_file(work() / "resultado.json"));
  EXPECT_EQ(r["ok"], false);
  EXPECT_EQ(r["error"], "no existe la carpeta de la versi\xC3\xB3n nueva: " +
                            (scratch.path() / "nowhere").string());
  EXPECT_EQ(system.renames, 0);
  EXPECT_EQ(system.waited_for, 0u);  // no pid: no wait
  EXPECT_EQ(system.slept, std::chrono::milliseconds(0));
  EXPECT_EQ(system.started.size(), 2u);
  EXPECT_EQ(read_file(install / "vantriel"), "old exe");
}

TEST_F(InstallerTest, PackageFileIsUnpackedFirstAndBadOnesRollBackNothing) {
  auto zip = testing::build_zip(
      {{"Vantriel/vantriel", "zip exe"}, {"Vantriel/data/x", "skip"}, {"Vantriel/lib/z.so", "z"}});
  write_file(scratch.path() / "p.zip", testing::string_of(zip));
  request.source = scratch.path() / "p.zip";
  request.no_relaunch = true;
  apply_update(request, system);
  EXPECT_EQ(result()["ok"], true);
  EXPECT_EQ(result()["files"], 2);
  EXPECT_EQ(read_file(install / "lib" / "z.so"), "z");
  EXPECT_NE(fs::status(install / "vantriel").permissions() & fs::perms::owner_exec,
            fs::perms::none);
  EXPECT_FALSE(fs::exists(install / "manual"));
  EXPECT_FALSE(fs::exists(install / "data" / "actualizacion" / "nuevo"));
  EXPECT_TRUE(system.started.empty());

  auto before = tree(install);
  auto bad = testing::build_zip({{"Otro/vantriel", "x"}});
  write_file(scratch.path() / "bad.zip", testing::string_of(bad));
  request.source = scratch.path() / "bad.zip";
  apply_update(request, system);
  EXPECT_EQ(result()["error"], "el paquete no trae la carpeta Vantriel");
  auto after = tree(install);
  EXPECT_EQ(after["vantriel"], before["vantriel"]);
  EXPECT_EQ(after["lib/z.so"], "z");
}

TEST_F(InstallerTest, AVersionWithoutTheProgramIsRefusedBeforeAnythingMoves) {
  // Another platform's package: the old program stays and starts again.
  fs::remove(source / "vantriel");
  write_file(source / "Vantriel.exe", "windows exe");
  auto before = tree(install);
  apply_update(request, system);
  EXPECT_EQ(result()["ok"], false);
  EXPECT_EQ(result()["error"], "el paquete no trae el programa vantriel");
  EXPECT_EQ(system.renames, 0);
  auto after = tree(install);
  for (auto it = after.begin(); it != after.end();) {
    it = it->first.rfind("data", 0) == 0 ? after.erase(it) : std::next(it);
  }
  EXPECT_EQ(after, before);
  EXPECT_THAT(system.started, ElementsAre("vantriel", "--no-elevate"));

  // With no program left in the folder either, the relaunch says so.
  fs::remove(install / "vantriel");
  system.started.clear();
  apply_update(request, system);
  EXPECT_TRUE(system.started.empty());
  EXPECT_THAT(log(),
              HasSubstr("No se pudo volver a abrir Vantriel: no se encontr\xC3\xB3 vantriel\n"));
}

}  // namespace
}  // namespace morvane
