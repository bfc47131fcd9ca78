#include <unistd.h>

#include "host/instance.h"

namespace vantriel {

std::uint64_t current_process_id() { return static_cast<std::uint64_t>(getpid()); }

}  // namespace vantriel
