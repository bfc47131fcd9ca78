#include <time.h>

#include "base/local_time.h"

namespace vantriel {

LocalTime local_now() {
  const time_t now = ::time(nullptr);
  struct tm parts {};
  if (::localtime_r(&now, &parts) == nullptr) return LocalTime{1970, 1, 1, 0, 0, 0};
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                   parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

}  // namespace vantriel
