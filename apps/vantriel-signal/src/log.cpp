#include "log.h"

#include <chrono>
#include <cstdio>

namespace vantriel::signal {

void log_line(const std::string& text) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto day = floor<days>(now);
  const year_month_day ymd{day};
  const hh_mm_ss hms{floor<seconds>(now - day)};
  std::fprintf(stderr, "%04d-%02u-%02u %02ld:%02ld:%02lld %s\n", static_cast<int>(ymd.year()),
               static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
               static_cast<long>(hms.hours().count()), static_cast<long>(hms.minutes().count()),
               static_cast<long long>(hms.seconds().count()), text.c_str());
  std::fflush(stderr);
}

}  // namespace vantriel::signal
