// Where the running program's executable file is.
#ifndef MORVANE_CORE_PROCESS_EXECUTABLE_PATH_H_
#define MORVANE_CORE_PROCESS_EXECUTABLE_PATH_H_

#include <filesystem>

#include "morvane/core/result.h"

namespace morvane {

// The running executable's full path as the operating system reports it, or the system's
// error text when it cannot tell.
Result<std::filesystem::path> executable_path();

}  // namespace morvane

#endif  // MORVANE_CORE_PROCESS_EXECUTABLE_PATH_H_
