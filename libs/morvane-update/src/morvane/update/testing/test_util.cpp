#include "morvane/update/testing/test_util.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace morvane::testing {

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::filesystem::path& path, std::string_view contents) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

std::vector<uint8_t> from_hex(std::string_view hex) {
  std::vector<uint8_t> out;
  int high = -1;
  for (const char c : hex) {
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      continue;
    }
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  return out;
}

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

std::string string_of(std::span<const uint8_t> bytes) { return {bytes.begin(), bytes.end()}; }

ScratchDir::ScratchDir() {
  std::random_device rd;
  path_ = std::filesystem::temp_directory_path() /
          ("morvane-update-test-" + std::to_string(rd()) + std::to_string(rd()));
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

int run(const std::string& command) { return std::system(command.c_str()); }

}  // namespace morvane::testing

#include <zlib.h>

namespace morvane::testing {
namespace {

void put16(std::vector<uint8_t>* out, uint32_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void put32(std::vector<uint8_t>* out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

std::string raw_deflate(const std::string& in) {
  z_stream s{};
  deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&s, in.size()) + 16, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = reinterpret_cast<Bytef*>(out.data());
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

}  // namespace

std::vector<uint8_t> build_zip(const std::vector<ZipMember>& members, std::string_view comment) {
  std::vector<uint8_t> out, directory;
  for (const ZipMember& m : members) {
    const std::string stored = m.method == 8 ? raw_deflate(m.data) : m.data;
    uint32_t crc = static_cast<uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(m.data.data()), static_cast<uInt>(m.data.size())));
    if (m.wrong_crc) crc ^= 1;
    const auto offset = static_cast<uint32_t>(out.size());
    put32(&out, 0x04034b50);
    put16(&out, 20);
    put16(&out, m.flags);
    put16(&out, m.method);
    put32(&out, 0);  // time and date
    put32(&out, crc);
    put32(&out, static_cast<uint32_t>(stored.size()));
    put32(&out, static_cast<uint32_t>(m.data.size()));
    put16(&out, static_cast<uint32_t>(m.name.size()));
    put16(&out, 0);
    out.insert(out.end(), m.name.begin(), m.name.end());
    out.insert(out.end(), stored.begin(), stored.end());

    put32(&directory, 0x02014b50);
    put16(&directory, 20);
    put16(&directory, 20);
    put16(&directory, m.flags);
    put16(&directory, m.method);
    put32(&directory, 0);
    put32(&directory, crc);
    put32(&directory, static_cast<uint32_t>(stored.size()));
    put32(&directory, static_cast<uint32_t>(m.data.size()));
    put16(&directory, static_cast<uint32_t>(m.name.size()));
    put16(&directory, 0);
    put16(&directory, 0);
    put16(&directory, 0);
    put16(&directory, 0);
    put32(&directory, 0);
    put32(&directory, offset);
    directory.insert(directory.end(), m.name.begin(), m.name.end());
  }
  const auto directory_offset = static_cast<uint32_t>(out.size());
  out.insert(out.end(), directory.begin(), directory.end());
  put32(&out, 0x06054b50);
  put16(&out, 0);
  put16(&out, 0);
  put16(&out, static_cast<uint32_t>(members.size()));
  put16(&out, static_cast<uint32_t>(members.size()));
  put32(&out, static_cast<uint32_t>(directory.size()));
  put32(&out, directory_offset);
  put16(&out, static_cast<uint32_t>(comment.size()));
  out.insert(out.end(), comment.begin(), comment.end());
  return out;
}

const UpdateProduct& test_product() {
  static const UpdateProduct product{
      .app_id = "vantriel",
      .display_name = "Vantriel",
      .top_folder = "Vantriel",
      .manifest_url = "https://vantriel.app/descargas/version.json",
      .support_page_url = "https://vantriel.app/support/",
  };
  return product;
}

}  // namespace morvane::testing
