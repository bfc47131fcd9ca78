#include <windows.h>

#include "base/local_time.h"

namespace vantriel {

LocalTime local_now() {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

}  // namespace vantriel
