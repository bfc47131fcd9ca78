// The folder where every file of the program lives: "data" beside the executable.
#ifndef VANTRIEL_BASE_DATA_FOLDER_H_
#define VANTRIEL_BASE_DATA_FOLDER_H_

#include <filesystem>
#include <optional>
#include <string_view>

namespace vantriel {

// The "data" folder inside the executable's folder, or "./data" when the executable's
// path is unknown. Computed once (thread-safe) and cached for the life of the process.
// The folder is not created here: every writer creates it right before it writes.
const std::filesystem::path& data_folder();

// data_folder() / name.
std::filesystem::path data_file(std::string_view name);

// Tests only: makes data_folder() return `folder` from now on. Call it before any
// other thread uses the data folder; it is not synchronised with readers.
void set_data_folder_for_testing(const std::filesystem::path& folder);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_DATA_FOLDER_H_
