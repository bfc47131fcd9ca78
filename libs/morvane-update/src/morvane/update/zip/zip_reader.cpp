#include "morvane/update/zip/zip_reader.h"

#include "morvane/core/text/utf8.h"
#include "morvane/update/zip/crc32.h"
#include "morvane/update/zip/inflate.h"

namespace morvane {
namespace {

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kEndSize = 22;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr size_t kMaxComment = 65535;

constexpr uint16_t kCp437High[128] = {0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

uint16_t u16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t u32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

Error not_zip() { return make_error("File is not a zip file"); }

std::string decode_name(const uint8_t* p, size_t size, bool utf8) {
  size_t n = 0;
  while (n < size && p[n] != 0) ++n;
  const std::string_view raw(reinterpret_cast<const char*>(p), n);
  std::string name;
  if (utf8) {
    name = sanitize_utf8(raw);
  } else {
    name.reserve(n);
    for (const char c : raw) {
      const auto b = static_cast<uint8_t>(c);
      if (b < 0x80) {
        name.push_back(c);
      } else {
        append_utf8(name, kCp437High[b - 0x80]);
      }
    }
  }
  for (char& c : name) {
    if (c == '\\') c = '/';
  }
  return name;
}

}  // namespace

Result<std::vector<ZipEntry>> read_zip_directory(std::span<const uint8_t> archive) {
  const size_t size = archive.size();
  const uint8_t* data = archive.data();
  if (size < kEndSize) return not_zip();
  const size_t lowest = size > kEndSize + kMaxComment ? size - kEndSize - kMaxComment : 0;
  size_t end = size - kEndSize;
  for (;;) {
    if (u32(data + end) == kEndSignature) break;
    if (end == lowest) return not_zip();
    --end;
  }
  const uint16_t count = u16(data + end + 10);
  const uint32_t directory = u32(data + end + 16);
  if (count == 0xFFFF || directory == 0xFFFFFFFF) return make_error("zip64 no soportado");

  std::vector<ZipEntry> entries;
  entries.reserve(count);
  size_t pos = directory;
  for (uint32_t i = 0; i < count; ++i) {
    if (pos > size || size - pos < 4 || u32(data + pos) != kCentralSignature) {
      return make_error("Bad magic number for central directory");
    }
    if (size - pos < kCentralSize) return not_zip();
    const uint8_t* rec = data + pos;
    ZipEntry e;
    e.flags = u16(rec + 8);
    e.method = u16(rec + 10);
    e.crc32 = u32(rec + 16);
    e.compressed_size = u32(rec + 20);
    e.uncompressed_size = u32(rec + 24);
    const size_t name_len = u16(rec + 28), extra_len = u16(rec + 30), comment_len = u16(rec + 32);
    e.local_header_offset = u32(rec + 42);
    if (size - pos - kCentralSize < name_len) return not_zip();
    if (e.compressed_size == 0xFFFFFFFF || e.uncompressed_size == 0xFFFFFFFF ||
        e.local_header_offset == 0xFFFFFFFF) {
      return make_error("zip64 no soportado");
    }
    e.name = decode_name(rec + kCentralSize, name_len, e.flags & 0x0800);
    entries.push_back(std::move(e));
    pos += kCentralSize + name_len + extra_len + comment_len;
  }
  return entries;
}

Result<std::vector<uint8_t>> read_zip_entry(std::span<const uint8_t> archive, const ZipEntry& entry) {
  const size_t size = archive.size();
  const uint8_t* data = archive.data();
  const size_t local = entry.local_header_offset;
  if (local > size || size - local < 4 || u32(data + local) != kLocalSignature) {
    return make_error("Bad magic number for file header");
  }
  if (entry.flags & 1) {
    return make_error("File '" + entry.name + "' is encrypted, password required for extraction");
  }
  if (size - local < kLocalSize) return not_zip();
  const size_t start = local + kLocalSize + u16(data + local + 26) + u16(data + local + 28);
  if (start > size || size - start < entry.compressed_size) return not_zip();
  const std::span<const uint8_t> stored = archive.subspan(start, entry.compressed_size);

  std::vector<uint8_t> contents;
  if (entry.method == 0) {
    contents.assign(stored.begin(), stored.end());
  } else if (entry.method == 8) {
    auto inflated = inflate(stored, entry.uncompressed_size);
    if (!inflated.ok()) return make_error(inflated.error());
    contents = std::move(inflated).value();
  } else {
    return make_error("compression type " + std::to_string(entry.method));
  }
  if (crc32(contents.data(), contents.size()) != entry.crc32) {
    return make_error("Bad CRC-32 for file '" + entry.name + "'");
  }
  return contents;
}

}  // namespace morvane
