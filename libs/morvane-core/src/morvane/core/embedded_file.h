// A file compiled into an executable by cmake/embed_files.cmake. Each file is kept as
// string-literal chunks of kChunkSize bytes (the last one shorter) with its size beside
// them, so that every compiler we build with accepts the literals.
#ifndef MORVANE_CORE_EMBEDDED_FILE_H_
#define MORVANE_CORE_EMBEDDED_FILE_H_

#include <cstddef>
#include <string>

namespace morvane {

struct EmbeddedFile {
  static constexpr std::size_t kChunkSize = 4096;

  const char* const* chunks;
  std::size_t chunk_count;
  std::size_t size;

  // The file's bytes in one string. Call once and keep the result.
  std::string joined() const {
    std::string out;
    out.reserve(size);
    for (std::size_t i = 0; i < chunk_count && out.size() < size; ++i) {
      std::size_t n = size - out.size() < kChunkSize ? size - out.size() : kChunkSize;
      out.append(chunks[i], n);
    }
    return out;
  }
};

// A file of a folder embedded whole: its path within the folder ("font/bold.woff2").
struct EmbeddedEntry {
  const char* path;
  const EmbeddedFile* file;
};

}  // namespace morvane

#endif  // MORVANE_CORE_EMBEDDED_FILE_H_
