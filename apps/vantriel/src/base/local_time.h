// Wall-clock time: the local time people read in the log and the files, and UTC seconds.
#ifndef VANTRIEL_BASE_LOCAL_TIME_H_
#define VANTRIEL_BASE_LOCAL_TIME_H_

#include <string>

namespace vantriel {

struct LocalTime {
  int year, month, day, hour, minute, second;
};

// The current local wall-clock time.
LocalTime local_now();

// "YYYY-MM-DD HH:MM:SS", every field zero-padded (year to 4 digits, the rest to 2).
std::string format_local_time(const LocalTime& t);

// Seconds since 1970-01-01 00:00:00 UTC, with the fraction.
double unix_seconds_now();

}  // namespace vantriel

#endif  // VANTRIEL_BASE_LOCAL_TIME_H_
