// The folder where every file of the program lives: "data" beside the executable. The
// host makes one DataFolder for its run and hands it to whoever reads or writes a file
// there; a test makes its own over a temporary folder.
#ifndef VANTRIEL_BASE_DATA_FOLDER_H_
#define VANTRIEL_BASE_DATA_FOLDER_H_

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "morvane/core/sync/mutex.h"

namespace vantriel {

// The folder is not created here: every writer creates it right before it writes, so a
// folder deleted while the program runs comes back with the next write.
class DataFolder {
 public:
  explicit DataFolder(std::filesystem::path folder) : folder_(std::move(folder)) {}
  DataFolder(const DataFolder&) = delete;
  DataFolder& operator=(const DataFolder&) = delete;

  const std::filesystem::path& path() const { return folder_; }

  // path() / name; `name` is UTF-8.
  std::filesystem::path file(std::string_view name) const;

  // The lock that serialises every read-modify-write of the file `name` in this process:
  // the same lock for every caller, for as long as this object lives. Readers take none,
  // because files are only ever replaced whole by a rename. File locks never nest.
  // Callable from any thread.
  morvane::Mutex& file_lock(std::string_view name) const;

 private:
  const std::filesystem::path folder_;
  mutable morvane::Mutex locks_mu_;
  // One per file name asked for; never removed.
  mutable std::map<std::string, morvane::Mutex, std::less<>> locks_ GUARDED_BY(locks_mu_);
};

// The "data" folder inside the executable's folder, or "./data" when the executable's
// path is unknown.
std::filesystem::path data_folder_beside_executable();

}  // namespace vantriel

#endif  // VANTRIEL_BASE_DATA_FOLDER_H_
