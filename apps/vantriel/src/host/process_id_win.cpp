#include <windows.h>

#include "host/instance.h"

namespace vantriel {

std::uint64_t current_process_id() { return GetCurrentProcessId(); }

}  // namespace vantriel
