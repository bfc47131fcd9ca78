// Helpers shared by the library's tests: files, hexadecimal, scratch folders.
#ifndef MORVANE_UPDATE_TESTING_TEST_UTIL_H_
#define MORVANE_UPDATE_TESTING_TEST_UTIL_H_

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "morvane/update/product.h"

namespace morvane::testing {

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::string_view contents);
std::vector<uint8_t> from_hex(std::string_view hex);  // ignores blanks; REQUIRES: valid hex
std::vector<uint8_t> bytes_of(std::string_view s);
std::string string_of(std::span<const uint8_t> bytes);

// A fresh folder under the system's temporary folder, removed with the object.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Runs |command| through the shell; returns its exit status.
int run(const std::string& command);

// The app the tests update: release documents name "vantriel" and packages hold a
// "Vantriel" folder.
const UpdateProduct& test_product();

}  // namespace morvane::testing



namespace morvane::testing {

// One member of an archive made by build_zip.
struct ZipMember {
  std::string name;
  std::string data;
  uint16_t method = 8;  // 8: deflated with zlib; anything else: the data stored as they are
  uint16_t flags = 0;
  bool wrong_crc = false;
};

// A ZIP archive written field by field, so that tests can make it as broken as they need.
std::vector<uint8_t> build_zip(const std::vector<ZipMember>& members, std::string_view comment = "");

}  // namespace morvane::testing
#endif  // MORVANE_UPDATE_TESTING_TEST_UTIL_H_
