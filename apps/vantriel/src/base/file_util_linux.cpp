#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/file_util.h"

namespace vantriel {
namespace {

morvane::Error os_error(const char* what, const std::filesystem::path& path) {
  return morvane::make_error(std::string(what) + " " + path.string() + ": " + std::strerror(errno));
}

// Writes all of `bytes`, continuing after short writes and interruptions.
bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

int sync_fd(int fd) {
  int result;
  do {
    result = ::fsync(fd);
  } while (result != 0 && errno == EINTR);
  return result;
}

morvane::Status write_with_flags(const std::filesystem::path& path, std::string_view bytes,
                                 int flags, const char* what, bool sync = false) {
  const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return os_error(what, path);
  const bool ok = write_all(fd, bytes) && (!sync || sync_fd(fd) == 0);
  const int saved = errno;
  const bool closed = ::close(fd) == 0;
  if (!ok) {
    errno = saved;
    return os_error(what, path);
  }
  if (!closed) return os_error(what, path);
  return {};
}

}  // namespace

morvane::Result<std::string> read_file(const std::filesystem::path& path, std::size_t max_bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_error("cannot open", path);
  std::string out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      auto error = os_error("cannot read", path);
      ::close(fd);
      return error;
    }
    if (n == 0) break;
    if (out.size() + static_cast<std::size_t>(n) > max_bytes) {
      ::close(fd);
      return morvane::make_error("file too large: " + path.string());
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

morvane::Status write_file(const std::filesystem::path& path, std::string_view bytes) {
  return write_with_flags(path, bytes, O_TRUNC, "cannot write");
}

morvane::Status write_file_synced(const std::filesystem::path& path, std::string_view bytes) {
  return write_with_flags(path, bytes, O_TRUNC, "cannot write", /*sync=*/true);
}

morvane::Status append_file(const std::filesystem::path& path, std::string_view bytes) {
  // O_APPEND makes each write land whole at the end, whoever else is appending.
  return write_with_flags(path, bytes, O_APPEND, "cannot append to");
}

morvane::Status replace_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return os_error("cannot rename to", to);
  // The rename lives in the folder's entries: until the folder itself is synced, a power
  // cut can bring back the old name or none.
  const std::filesystem::path folder = to.has_parent_path() ? to.parent_path() : ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return os_error("cannot open folder", folder);
  // Some file systems cannot sync a folder (EINVAL); their renames are as durable as
  // they get.
  const bool synced = sync_fd(fd) == 0 || errno == EINVAL;
  const int saved = errno;
  ::close(fd);
  if (!synced) {
    errno = saved;
    return os_error("cannot sync folder", folder);
  }
  return {};
}

}  // namespace vantriel
