#include <sys/time.h>

#include <ctime>

#include "base/datetime.h"

namespace quirada {

DateTimeParts LocalClockNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  const time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
          local.tm_min,         local.tm_sec,     static_cast<int>(tv.tv_usec / 1000)};
}

int UtcOffsetAt(int64_t unix_seconds) {
  const time_t at = static_cast<time_t>(unix_seconds);
  tm local{};
  if (localtime_r(&at, &local) == nullptr) return 0;
  return static_cast<int>(local.tm_gmtoff);
}

}  // namespace quirada
