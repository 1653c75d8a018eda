#include <windows.h>

#include <ctime>

#include "base/datetime.h"

namespace quirada {

DateTimeParts LocalClockNow() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

int UtcOffsetAt(int64_t unix_seconds) {
  // The local calendar time of the instant, read back as if it were UTC: the difference is the
  // offset the system's time zone rules give that instant.
  const __time64_t at = unix_seconds;
  tm local{};
  if (_localtime64_s(&local, &at) != 0) return 0;
  const __time64_t as_utc = _mkgmtime64(&local);
  return as_utc == -1 ? 0 : static_cast<int>(as_utc - at);
}

}  // namespace quirada
