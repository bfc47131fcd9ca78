#include "morvane/update/unpack.h"

#include <gtest/gtest.h>

#include "morvane/update/testing/test_util.h"

namespace morvane {
namespace {

namespace fs = std::filesystem;
using testing::build_zip;
using testing::read_file;
using testing::ZipMember;

class UnpackTest : public ::testing::Test {
 protected:
  fs::path archive() const { return dir_.path() / "paquete.zip"; }
  fs::path target() const { return dir_.path() / "nuevo"; }
  const std::string& top_folder() const { return testing::test_product().top_folder; }

  Result<size_t> unpack(const std::vector<ZipMember>& members) {
    const auto bytes = build_zip(members);
    testing::write_file(archive(), testing::string_of(bytes));
    return unpack_package(archive(), target(), top_folder());
  }

  testing::ScratchDir dir_;
};

TEST_F(UnpackTest, WritesTheFilesUnderTheTopFolder) {
  testing::write_file(target() / "viejo.txt", "de antes");
  auto r = unpack({{"Vantriel/", ""},
                   {"Vantriel/Vantriel.exe", "MZ programa"},
                   {"Vantriel\\bin\\x.dll", "biblioteca", 0},
                   {"Vantriel/a//b", "doble barra"},
                   {"Vantriel/manual/manual_es.md", "# Manual"},
                   {"Vantriel/Data/notes.txt", "datos del usuario"},
                   {"Vantriel/tools/x.exe", "herramienta"},
                   {"Vantriel/datax/y", "no es data"},
                   {"Otra/cosa.txt", "fuera"},
                   {"vantriel/minusculas.txt", "otra carpeta"}});
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(*r, 5u);
  EXPECT_FALSE(fs::exists(target() / "viejo.txt"));  // the target is emptied first
  EXPECT_EQ(read_file(target() / "Vantriel.exe"), "MZ programa");
  EXPECT_EQ(read_file(target() / "bin" / "x.dll"), "biblioteca");
  EXPECT_EQ(read_file(target() / "a" / "b"), "doble barra");
  EXPECT_EQ(read_file(target() / "manual" / "manual_es.md"), "# Manual");
  EXPECT_EQ(read_file(target() / "datax" / "y"), "no es data");
  EXPECT_FALSE(fs::exists(target() / "Data"));
  EXPECT_FALSE(fs::exists(target() / "tools"));
}

TEST_F(UnpackTest, RefusesEveryPathThatCouldLeaveTheTarget) {
  testing::write_file(target() / "viejo.txt", "de antes");
  for (const std::string name :
       {"Vantriel/../x", "Vantriel/a/../../x", "Vantriel/..", "Vantriel/./x", "Vantriel//x",
        "Vantriel//etc/passwd", "Vantriel\\..\\x", "Vantriel\\\\server\\share\\x",
        "Vantriel/C:/x", "Vantriel/C:x", "Vantriel/a/b:stream", "Vantriel/.. /x",
        "Vantriel/a/.../x", "Vantriel/. /x", "Vantriel/data/../../x"}) {
    auto r = unpack({{"Vantriel/bueno.txt", "ok"}, {name, "malo"}});
    ASSERT_FALSE(r.ok()) << name;
    std::string shown = name;
    for (char& c : shown) {
      if (c == '\\') c = '/';
    }
    EXPECT_EQ(r.error(), "ruta no permitida en el paquete: " + shown);
  }
  // A refused package leaves the target as it was.
  EXPECT_EQ(read_file(target() / "viejo.txt"), "de antes");
  // Names outside the top folder are never selected, whatever they say.
  for (const std::string name : {"../x", "/etc/x", "C:\\x", "\\\\server\\x", "Vantriel"}) {
    auto r = unpack({{name, "fuera"}});
    ASSERT_FALSE(r.ok()) << name;
    EXPECT_EQ(r.error(), "el paquete no trae la carpeta Vantriel") << name;
  }
}

TEST_F(UnpackTest, ArchiveAndSystemFaults) {
  auto r = unpack({{"Vantriel/a", "x", 12}});
  EXPECT_EQ(r.error(), "compression type 12");
  r = unpack({{"Vantriel/a", "x", 8, 1}});
  EXPECT_EQ(r.error(), "File 'Vantriel/a' is encrypted, password required for extraction");
  r = unpack({{"Vantriel/a", "uno"}, {"Vantriel/b", "dos", 8, 0, true}});
  EXPECT_EQ(r.error(), "Bad CRC-32 for file 'Vantriel/b'");
  EXPECT_EQ(read_file(target() / "a"), "uno");  // files already written stay
  r = unpack({{"Vantriel/tools/solo.exe", "x"}});
  EXPECT_EQ(r.error(), "el paquete no trae la carpeta Vantriel");
  // A file where a folder must go.
  r = unpack({{"Vantriel/a", "x"}, {"Vantriel/a/b", "y"}});
  EXPECT_FALSE(r.ok());
  // A folder where a file must go: the system's text and the path.
  r = unpack({{"Vantriel/a/b", "y"}, {"Vantriel/a", "x"}});
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().find((fs::path("nuevo") / "a").string() + "'"), std::string::npos)
      << r.error();
  r = unpack_package(dir_.path() / "no-existe.zip", target(), top_folder());
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().find("no-existe.zip"), std::string::npos) << r.error();
  testing::write_file(archive(), "no es un zip");
  EXPECT_EQ(unpack_package(archive(), target(), top_folder()).error(), "File is not a zip file");
}

TEST_F(UnpackTest, DamagedDeflateDataFailsWithATextNeverACrash) {
  const std::string text(5000, 'q');
  const auto good = build_zip({{"Vantriel/q.txt", text + "fin"}});
  // Entry data starts after the 30-byte local header and the 14-byte name.
  for (size_t i = 44; i < good.size() - 22 - 46 - 14; ++i) {
    auto bad = good;
    bad[i] ^= 0xA5;
    testing::write_file(archive(), testing::string_of(bad));
    auto r = unpack_package(archive(), target(), top_folder());
    if (!r.ok()) {
      EXPECT_TRUE(r.error().starts_with("Bad CRC-32 for file 'Vantriel/q.txt'") ||
                  r.error().starts_with("Error -3 while decompressing data: "))
          << r.error();
    }
  }
  // Cut in the middle of the stream: the sizes still claim the whole of it.
  auto cut = good;
  const size_t data_end = good.size() - 22 - 46 - 14;
  std::fill(cut.begin() + 44 + (data_end - 44) / 2, cut.begin() + static_cast<ptrdiff_t>(data_end), 0);
  testing::write_file(archive(), testing::string_of(cut));
  auto r = unpack_package(archive(), target(), top_folder());
  ASSERT_FALSE(r.ok());
}

// Packages made by the tools a publisher may use: Info-ZIP's zip and Python's zipfile.
TEST_F(UnpackTest, ArchivesMadeByZipAndPythonZipfile) {
#ifdef _WIN32
  GTEST_SKIP() << "the archives are made by Info-ZIP's zip and Python through a POSIX shell";
#endif
  const fs::path release = dir_.path() / "src";
  testing::write_file(release / "Vantriel" / "Vantriel.exe", std::string(100000, 'M') + "Z");
  testing::write_file(release / "Vantriel" / "manual" / "manual_en.md", "# Manual\nText.\n");
  testing::write_file(release / "Vantriel" / "vacio.txt", "");
  const fs::path by_zip = dir_.path() / "zip.zip";
  ASSERT_EQ(testing::run("cd '" + release.string() + "' && zip -q -r -9 '" + by_zip.string() +
                         "' Vantriel"),
            0);
  auto r = unpack_package(by_zip, target(), top_folder());
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(*r, 3u);
  EXPECT_EQ(read_file(target() / "Vantriel.exe"), std::string(100000, 'M') + "Z");
  EXPECT_EQ(read_file(target() / "manual" / "manual_en.md"), "# Manual\nText.\n");

  const fs::path by_python = dir_.path() / "python.zip";
  const std::string script =
      "import zipfile, sys\n"
      "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
      "    z.writestr('Vantriel/bin/uno.dll', b'uno' * 1000)\n"
      "    z.writestr('Vantriel\\\\bin\\\\dos.dll', b'dos')\n"
      "    z.writestr(zipfile.ZipInfo('Vantriel/guardado.txt'), b'sin comprimir')\n"
      "    z.writestr('Vantriel/ma\\u00f1ana.txt', 'ma\\u00f1ana'.encode())\n"
      "    z.comment = b'x' * 100\n";
  testing::write_file(dir_.path() / "make.py", script);
  ASSERT_EQ(testing::run("python3 '" + (dir_.path() / "make.py").string() + "' '" +
                         by_python.string() + "'"),
            0);
  r = unpack_package(by_python, target(), top_folder());
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_EQ(*r, 4u);
  EXPECT_EQ(read_file(target() / "bin" / "dos.dll"), "dos");
  EXPECT_EQ(read_file(target() / "guardado.txt"), "sin comprimir");
  EXPECT_EQ(read_file(target() / fs::path(u8"mañana.txt")), "mañana");
}

}  // namespace
}  // namespace morvane
