// Reads the subset of the ZIP format (PKWARE APPNOTE) that update packages use: no
// zip64, no encryption, methods stored and deflate.
#ifndef MORVANE_UPDATE_ZIP_ZIP_READER_H_
#define MORVANE_UPDATE_ZIP_ZIP_READER_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "morvane/core/result.h"

namespace morvane {

// One central directory record. Sizes, method, flags and CRC come from the central
// directory; the local header is read only to find the data.
struct ZipEntry {
  std::string name;  // UTF-8 (flag bit 11) or code page 437, backslashes turned into "/"
  uint32_t compressed_size = 0;
  uint32_t uncompressed_size = 0;
  uint32_t local_header_offset = 0;
  uint32_t crc32 = 0;
  uint16_t method = 0;
  uint16_t flags = 0;
};

// The entries of the archive held in |archive|, in directory order. Fails with "File is
// not a zip file", "zip64 no soportado" or "Bad magic number for central directory".
// The end record nearest the end of the file (within the longest possible comment) is
// used, and its directory offset is taken as an absolute file position.
Result<std::vector<ZipEntry>> read_zip_directory(std::span<const uint8_t> archive);

// The entry's contents, decompressed and checked against its CRC-32. Fails with "Bad
// magic number for file header", "File '<name>' is encrypted, password required for
// extraction", "File is not a zip file" (data outside the archive), "compression type
// <n>", an inflate error or "Bad CRC-32 for file '<name>'".
Result<std::vector<uint8_t>> read_zip_entry(std::span<const uint8_t> archive, const ZipEntry& entry);

}  // namespace morvane

#endif  // MORVANE_UPDATE_ZIP_ZIP_READER_H_
