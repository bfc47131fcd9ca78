// Unpacks an update package: the files under its top folder (the product's name).
#ifndef MORVANE_UPDATE_UNPACK_H_
#define MORVANE_UPDATE_UNPACK_H_

#include <cstddef>
#include <filesystem>
#include <string_view>

#include "morvane/core/result.h"

namespace morvane {

// Reads the archive at |archive| whole, selects the entries under "<top_folder>/" (folder
// entries are skipped, and so are the install folder's "tools" and the user's "data"
// folders, in any letter case), deletes |target| with all its content and writes each
// selected file below it, checking its CRC-32. Returns the number of files written.
//
// A name that could leave |target| fails the whole unpack before anything is deleted:
// "ruta no permitida en el paquete: <name>" for a path starting with "/" or with a piece
// ".", "..", one holding ":" (drive letters, streams), or one made only of dots and
// blanks (Windows trims trailing dots and blanks, so ".. " would name the parent). An
// archive with nothing selected fails with "el paquete no trae la carpeta <top_folder>".
// Format faults carry the texts of read_zip_directory and read_zip_entry; file system
// faults the system's text. The first failure ends the unpack; files already written stay.
Result<size_t> unpack_package(const std::filesystem::path& archive,
                              const std::filesystem::path& target, std::string_view top_folder);

}  // namespace morvane

#endif  // MORVANE_UPDATE_UNPACK_H_
