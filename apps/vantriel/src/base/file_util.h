// Whole-file operations on local files. The OS half opens files so that a reader never
// blocks a writer's rename (on Windows every handle shares delete access).
#ifndef VANTRIEL_BASE_FILE_UTIL_H_
#define VANTRIEL_BASE_FILE_UTIL_H_

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "morvane/core/result.h"

namespace vantriel {

// Files we read whole are our own small state files; anything larger is refused rather
// than read into memory.
inline constexpr std::size_t kMaxReadBytes = 64u * 1024u * 1024u;

// The whole content of `path`, or an error when it is missing, unreadable or larger
// than `max_bytes`.
morvane::Result<std::string> read_file(const std::filesystem::path& path,
                                       std::size_t max_bytes = kMaxReadBytes);

// Creates or truncates `path` and writes `bytes` to it.
morvane::Status write_file(const std::filesystem::path& path, std::string_view bytes);

// write_file(), and the bytes are on the disk before it returns (fsync on Linux,
// FlushFileBuffers on Windows), not only in the OS's cache.
morvane::Status write_file_synced(const std::filesystem::path& path, std::string_view bytes);

// Appends `bytes` to `path` (created when missing) with a single write in append mode,
// so concurrent appenders never interleave inside one call's bytes.
morvane::Status append_file(const std::filesystem::path& path, std::string_view bytes);

// Renames `from` to `to`, replacing `to` when it exists, in one step, and makes the new
// name durable before returning: on Linux the folder of `to` is fsync'd after the rename,
// on Windows MoveFileExW writes through.
morvane::Status replace_file(const std::filesystem::path& from, const std::filesystem::path& to);

// Writes `bytes` to `temp`, syncs it, and renames it over `path`, so a reader sees either
// the old or the new content, never a part, and a power cut at any moment leaves one of
// the two on disk rather than an empty file. Creates the parent folder first. An error
// from any step is returned; when writing or syncing `temp` fails, `path` is untouched.
morvane::Status write_file_atomic(const std::filesystem::path& path,
                                  const std::filesystem::path& temp, std::string_view bytes);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_FILE_UTIL_H_
