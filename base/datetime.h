// Date and time values of the system: a count of days since 30 December 1899 with the time of day
// as the fraction, always local wall-clock time, never a time zone.
//
// Text forms use the machine's regional formats, which are fixed here to the Brazilian ones whatever
// the process locale: short date "dd/mm/yyyy", long time "hh:nn:ss" (24-hour, two digits each).
// Writing and reading always use the same formats, so whatever is written reads back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quirada {

using TDateTime = double;

struct DateTimeParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// The local date and time now, to the millisecond.
TDateTime Now();
// The same as calendar parts, from the system's clock and time zone (datetime_posix.cpp).
DateTimeParts LocalClockNow();
// The local date now (time of day zero).
TDateTime Date();

TDateTime EncodeDateTime(const DateTimeParts& p);
DateTimeParts DecodeDateTime(TDateTime value);
// Minutes added exactly, without drifting through floating-point error.
TDateTime IncMinute(TDateTime value, long long minutes);

// "DD/MM/YYYY HH:mm:ss", the stamp of the service log.
std::string FormatLogStamp(TDateTime value);
// "dd/mm/yyyy".
std::string DateToStr(TDateTime value);
// "hh:nn:ss".
std::string TimeToStr(TDateTime value);
// Short date, a blank and the long time; the blank and the time are left out at exact midnight.
std::string DateTimeToStr(TDateTime value);

// Read the forms above back. Day and month may have one or two digits, the year two or four, the
// seconds may be left out. Failures raise Exception with "'%s' is not a valid date", "'%s' is not a
// valid time" or "'%s' is not a valid date and time".
TDateTime StrToDate(const std::string& text);
TDateTime StrToTime(const std::string& text);
TDateTime StrToDateTime(const std::string& text);

// Instants kept across processes and shown to monitors: seconds since 1970-01-01 00:00:00 UTC,
// which no time zone or change of daylight saving time makes ambiguous.
int64_t UnixNow();
// The local clock's offset from UTC at the instant `unix_seconds`, in seconds east of Greenwich
// (datetime_posix.cpp, datetime_win32.cpp: the system's time zone rules for that instant).
int UtcOffsetAt(int64_t unix_seconds);
// The local wall-clock time of the instant.
TDateTime FromUnix(int64_t unix_seconds);
// "YYYY-MM-DDTHH:MM:SS+HH:MM" (ISO 8601): the local time of the instant with its offset.
std::string FormatIso8601(int64_t unix_seconds);
// FormatIso8601's form read back (an offset of "Z" too); nothing when `text` is not one.
std::optional<int64_t> ParseIso8601(std::string_view text);

}  // namespace quirada
