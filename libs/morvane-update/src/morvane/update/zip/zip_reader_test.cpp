#include "morvane/update/zip/zip_reader.h"

#include <gtest/gtest.h>

#include "morvane/update/testing/test_util.h"
#include "morvane/update/zip/crc32.h"

namespace morvane {
namespace {

using testing::build_zip;
using testing::bytes_of;
using testing::ZipMember;

const std::string kGoZip = std::string(MORVANE_GO_SRC_DIR) + "/archive/zip/testdata/";

std::vector<uint8_t> go_file(const std::string& name) {
  return bytes_of(testing::read_file(kGoZip + name));
}

// Reads every entry; returns the first error, or "" with the names and contents.
std::string read_all(const std::vector<uint8_t>& archive, std::vector<ZipEntry>* entries = nullptr,
                     std::vector<std::string>* contents = nullptr) {
  auto dir = read_zip_directory(archive);
  if (!dir.ok()) return dir.error();
  for (const ZipEntry& e : *dir) {
    if (e.name.ends_with('/')) continue;
    auto data = read_zip_entry(archive, e);
    if (!data.ok()) return data.error();
    if (contents) contents->push_back(testing::string_of(*data));
  }
  if (entries) *entries = *dir;
  return "";
}

TEST(Crc32Test, KnownValuesAndPieces) {
  EXPECT_EQ(crc32("", 0), 0u);
  EXPECT_EQ(crc32("123456789", 9), 0xCBF43926u);
  const std::string text = "The quick brown fox jumps over the lazy dog";
  EXPECT_EQ(crc32(text.data(), text.size()), 0x414FA339u);
  EXPECT_EQ(crc32(crc32(text.data(), 10), text.data() + 10, text.size() - 10), 0x414FA339u);
}

TEST(ZipReaderTest, GoTestdataArchives) {
  std::vector<ZipEntry> entries;
  std::vector<std::string> contents;
  ASSERT_EQ(read_all(go_file("test.zip"), &entries, &contents), "");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "test.txt");
  EXPECT_EQ(contents[0], "This is a test text file.\n");
  EXPECT_EQ(entries[1].name, "gophercolor16x16.png");
  EXPECT_EQ(contents[1], testing::read_file(kGoZip + "gophercolor16x16.png"));

  // Sizes and CRC come from the central directory, so data descriptors do not matter.
  for (const char* ok : {"dd.zip", "crc32-not-streamed.zip", "go-with-datadesc-sig.zip",
                         "winxp.zip", "unix.zip", "symlink.zip", "subdir.zip", "dupdir.zip",
                         "test-trailing-junk.zip", "test-baddirsz.zip", "time-7zip.zip",
                         "time-infozip.zip", "time-osx.zip", "time-win7.zip", "time-winrar.zip",
                         "time-winzip.zip", "time-go.zip", "time-22738.zip", "utf8-7zip.zip",
                         "utf8-infozip.zip", "utf8-osx.zip", "utf8-winrar.zip", "utf8-winzip.zip"}) {
    EXPECT_EQ(read_all(go_file(ok)), "") << ok;
  }
  entries.clear();
  ASSERT_EQ(read_all(go_file("utf8-infozip.zip"), &entries), "");
  EXPECT_EQ(entries[0].name, "世界");
  // Not archives, or archives of a kind we refuse.
  EXPECT_EQ(read_all(go_file("readme.notzip")), "File is not a zip file");
  EXPECT_EQ(read_all(go_file("gophercolor16x16.png")), "File is not a zip file");
  EXPECT_EQ(read_all(go_file("zip64.zip")), "zip64 no soportado");
  EXPECT_EQ(read_all(go_file("zip64-2.zip")), "zip64 no soportado");
  // The directory offset is absolute: bytes in front of the archive move everything.
  EXPECT_EQ(read_all(go_file("test-prefix.zip")), "Bad magic number for central directory");
}

TEST(ZipReaderTest, FindsTheEndRecordBehindComments) {
  const std::vector<ZipMember> one = {{"Vantriel/a.txt", "contenido"}};
  EXPECT_EQ(read_all(build_zip(one, std::string(100, 'c'))), "");
  EXPECT_EQ(read_all(build_zip(one, std::string(65535, 'c'))), "");
  auto archive = build_zip(one, std::string(65535, 'c'));
  archive.push_back('x');  // the end record is now one byte too far from the end
  EXPECT_EQ(read_all(archive), "File is not a zip file");
  EXPECT_EQ(read_all(bytes_of("PK\x05\x06")), "File is not a zip file");
  EXPECT_EQ(read_all(bytes_of(std::string(21, '\0'))), "File is not a zip file");
  EXPECT_EQ(read_all(build_zip({})), "");
}

TEST(ZipReaderTest, DirectoryFaults) {
  auto archive = build_zip({{"a", "x"}});
  const size_t end = archive.size() - 22;
  auto patched = archive;
  patched[end + 10] = patched[end + 11] = 0xFF;  // entry count 0xFFFF
  EXPECT_EQ(read_all(patched), "zip64 no soportado");
  patched = archive;
  for (int i = 16; i < 20; ++i) patched[end + i] = 0xFF;  // directory offset 0xFFFFFFFF
  EXPECT_EQ(read_all(patched), "zip64 no soportado");
  patched = archive;
  patched[end + 10] = 2;  // a second entry that is not there
  EXPECT_EQ(read_all(patched), "Bad magic number for central directory");
  patched = archive;
  patched[end + 16] = static_cast<uint8_t>(patched[end + 16] + 1);
  EXPECT_EQ(read_all(patched), "Bad magic number for central directory");
  for (int field : {20, 24, 42}) {  // compressed size, uncompressed size, local offset
    patched = archive;
    const size_t central = end - 46 - 1;
    for (int i = 0; i < 4; ++i) patched[central + static_cast<size_t>(field + i)] = 0xFF;
    EXPECT_EQ(read_all(patched), "zip64 no soportado") << field;
  }
  // A directory record whose name runs past the end of the file.
  patched = archive;
  patched[end - 46 - 1 + 28] = 200;
  EXPECT_EQ(read_all(patched), "File is not a zip file");
}

TEST(ZipReaderTest, EntryFaults) {
  EXPECT_EQ(read_all(build_zip({{"v/a", "x", 12}})), "compression type 12");
  EXPECT_EQ(read_all(build_zip({{"v/a", "x", 8, 1}})),
            "File 'v/a' is encrypted, password required for extraction");
  EXPECT_EQ(read_all(build_zip({{"v/a", "datos", 8, 0, true}})), "Bad CRC-32 for file 'v/a'");
  EXPECT_EQ(read_all(build_zip({{"v/a", "datos", 0, 0, true}})), "Bad CRC-32 for file 'v/a'");
  auto archive = build_zip({{"v/a", "datos"}});
  archive[0] = 'Q';
  EXPECT_EQ(read_all(archive), "Bad magic number for file header");
  // Data that would run past the end of the file: grow the compressed size.
  archive = build_zip({{"v/a", "datos"}});
  archive[archive.size() - 22 - 46 - 3 + 20 + 2] = 0x7F;
  EXPECT_EQ(read_all(archive), "File is not a zip file");
}

TEST(ZipReaderTest, EveryFlippedByteFailsCleanlyOrReadsTheSame) {
  const std::string text = "Vantriel abre la ventana; Vantriel cierra la ventana. " + std::string(300, 'z');
  const auto archive = build_zip({{"Vantriel/leeme.txt", text}});
  for (size_t i = 0; i < archive.size(); ++i) {
    auto damaged = archive;
    damaged[i] ^= 0x55;
    std::vector<std::string> contents;
    const std::string error = read_all(damaged, nullptr, &contents);
    // Without an error the CRC matched: the contents are the original ones (or the entry
    // turned into a folder name and was not read).
    if (error.empty()) {
      for (const auto& c : contents) EXPECT_EQ(c, text) << "byte " << i;
    }
  }
}

TEST(ZipReaderTest, NamesAreDecodedAndBackslashesTurned) {
  std::vector<ZipEntry> entries;
  ASSERT_EQ(read_all(build_zip({{"Vantriel\\bin\\x.dll", "x"},
                                {"caf\x82.txt", "y"},                    // code page 437: é
                                {"ma\xc3\xb1" "ana", "z", 8, 0x0800},    // UTF-8: mañana
                                {"bad\xff" "name", "w", 8, 0x0800},      // invalid UTF-8
                                {std::string("cut\0tail", 8), "v"}}),
                     &entries),
            "");
  EXPECT_EQ(entries[0].name, "Vantriel/bin/x.dll");
  EXPECT_EQ(entries[1].name, "caf\xc3\xa9.txt");
  EXPECT_EQ(entries[2].name, "ma\xc3\xb1" "ana");
  EXPECT_EQ(entries[3].name, "bad\xef\xbf\xbdname");
  EXPECT_EQ(entries[4].name, "cut");
}

}  // namespace
}  // namespace morvane
