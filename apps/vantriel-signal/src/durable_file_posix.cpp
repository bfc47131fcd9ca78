#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "durable_file.h"

namespace vantriel::signal {
namespace {

morvane::Error os_error(const std::string& what) {
  return morvane::make_error(what + ": " + std::strerror(errno));
}

}  // namespace

morvane::Status write_synced(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return os_error("cannot write " + path);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      auto error = os_error("cannot write " + path);
      ::close(fd);
      return error;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) {
    auto error = os_error("cannot flush " + path + " to disk");
    ::close(fd);
    return error;
  }
  if (::close(fd) != 0) return os_error("cannot write " + path);
  return {};
}

morvane::Status replace_file(const std::string& from, const std::string& to) {
  if (std::rename(from.c_str(), to.c_str()) != 0) return os_error("cannot replace " + to);
  return {};
}

morvane::Status sync_folder(const std::string& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return os_error("cannot open folder " + folder);
  if (::fsync(fd) != 0) {
    auto error = os_error("cannot flush folder " + folder + " to disk");
    ::close(fd);
    return error;
  }
  ::close(fd);
  return {};
}

}  // namespace vantriel::signal
