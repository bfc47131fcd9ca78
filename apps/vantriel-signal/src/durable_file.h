// Files that must survive a power cut: their bytes reach the disk before they replace
// anything, and a replacement reaches the disk before the caller hears it worked. The
// OS halves are durable_file_posix.cpp and durable_file_win.cpp.
#ifndef VANTRIEL_SIGNAL_DURABLE_FILE_H_
#define VANTRIEL_SIGNAL_DURABLE_FILE_H_

#include <string>
#include <string_view>

#include "morvane/core/result.h"

namespace vantriel::signal {

// Creates or truncates `path`, writes `text` and waits until the disk has it.
morvane::Status write_synced(const std::string& path, std::string_view text);
// Renames `from` over `to` (replacing it) in one step.
morvane::Status replace_file(const std::string& from, const std::string& to);
// Waits until the disk has the folder's entries as they are now, so that renames in it
// survive a power cut. Where the system keeps them by itself this does nothing.
morvane::Status sync_folder(const std::string& folder);

}  // namespace vantriel::signal

#endif  // VANTRIEL_SIGNAL_DURABLE_FILE_H_
