#include <windows.h>

#include "base/datetime.h"

namespace quirada {

DateTimeParts LocalClockNow() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

}  // namespace quirada
