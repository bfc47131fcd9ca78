#include <windows.h>

#include "main/instance.h"

namespace vantriel {

std::uint64_t current_process_id() { return GetCurrentProcessId(); }

}  // namespace vantriel
