// The name of this PC that the other side of a session sees.
#ifndef VANTRIEL_BASE_DISPLAY_NAME_H_
#define VANTRIEL_BASE_DISPLAY_NAME_H_

#include <string>

#include "base/data_folder.h"

namespace vantriel {

// `nombre` of the settings file, else the computer's name, else "PC"; at most 32
// characters.
std::string display_name(const DataFolder& folder);

}  // namespace vantriel

#endif  // VANTRIEL_BASE_DISPLAY_NAME_H_
