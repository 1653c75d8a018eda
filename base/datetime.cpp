#include "base/datetime.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>

#include "base/errors.h"

namespace quirada {
namespace {

constexpr long long kMsPerDay = 24LL * 60 * 60 * 1000;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& y, int& m, int& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long yy = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

const long long kEpochOffset = DaysFromCivil(1899, 12, 30);  // days from 1970 to 1899-12-30

// Whole milliseconds since 1899-12-30, rounded to the nearest millisecond.
long long ToMs(TDateTime v) { return std::llround(v * kMsPerDay); }
TDateTime FromMs(long long ms) { return static_cast<double>(ms) / kMsPerDay; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return m == 2 && leap ? 29 : kDays[m - 1];
}

std::string Two(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}
std::string Four(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d", v);
  return buf;
}

// Reads 1..max_digits decimal digits at `pos`.
std::optional<int> Number(const std::string& s, size_t& pos, size_t max_digits) {
  size_t start = pos;
  int v = 0;
  while (pos < s.size() && pos - start < max_digits && s[pos] >= '0' && s[pos] <= '9')
    v = v * 10 + (s[pos++] - '0');
  if (pos == start) return std::nullopt;
  return v;
}

void SkipBlanks(const std::string& s, size_t& pos) {
  while (pos < s.size() && s[pos] == ' ') ++pos;
}

std::optional<TDateTime> ParseDate(const std::string& s, size_t& pos) {
  SkipBlanks(s, pos);
  auto d = Number(s, pos, 2);
  if (!d || pos >= s.size() || s[pos] != '/') return std::nullopt;
  ++pos;
  auto m = Number(s, pos, 2);
  if (!m || pos >= s.size() || s[pos] != '/') return std::nullopt;
  ++pos;
  const size_t year_start = pos;
  auto y = Number(s, pos, 4);
  if (!y) return std::nullopt;
  const size_t digits = pos - year_start;
  if (digits <= 2) {
    // Two-digit years fall in the century window around now, as the regional conversion does.
    *y += 2000;
    if (*y > 2050) *y -= 100;
  } else if (digits != 4) {
    return std::nullopt;
  }
  if (*m < 1 || *m > 12 || *d < 1 || *d > DaysInMonth(*y, *m) || *y < 1) return std::nullopt;
  return EncodeDateTime({*y, *m, *d, 0, 0, 0, 0});
}

std::optional<TDateTime> ParseTime(const std::string& s, size_t& pos) {
  SkipBlanks(s, pos);
  auto h = Number(s, pos, 2);
  if (!h || pos >= s.size() || s[pos] != ':') return std::nullopt;
  ++pos;
  auto n = Number(s, pos, 2);
  if (!n) return std::nullopt;
  int sec = 0, ms = 0;
  if (pos < s.size() && s[pos] == ':') {
    ++pos;
    auto sv = Number(s, pos, 2);
    if (!sv) return std::nullopt;
    sec = *sv;
    if (pos < s.size() && s[pos] == '.') {
      ++pos;
      auto msv = Number(s, pos, 3);
      if (!msv) return std::nullopt;
      ms = *msv;
    }
  }
  if (*h > 23 || *n > 59 || sec > 59) return std::nullopt;
  return FromMs(((*h * 60LL + *n) * 60 + sec) * 1000 + ms);
}

bool AtEnd(const std::string& s, size_t pos) {
  SkipBlanks(s, pos);
  return pos == s.size();
}

[[noreturn]] void Invalid(const std::string& text, const char* what) {
  throw Exception("'" + text + "' is not a valid " + what);
}

}  // namespace

TDateTime Now() { return EncodeDateTime(LocalClockNow()); }

TDateTime Date() { return std::floor(Now()); }

TDateTime EncodeDateTime(const DateTimeParts& p) {
  const long long days = DaysFromCivil(p.year, p.month, p.day) - kEpochOffset;
  const long long ms =
      ((p.hour * 60LL + p.minute) * 60 + p.second) * 1000 + p.millisecond;
  return FromMs(days * kMsPerDay + ms);
}

DateTimeParts DecodeDateTime(TDateTime value) {
  long long ms = ToMs(value);
  long long days = ms >= 0 ? ms / kMsPerDay : -((-ms + kMsPerDay - 1) / kMsPerDay);
  long long rest = ms - days * kMsPerDay;
  DateTimeParts p;
  CivilFromDays(days + kEpochOffset, p.year, p.month, p.day);
  p.millisecond = static_cast<int>(rest % 1000);
  rest /= 1000;
  p.second = static_cast<int>(rest % 60);
  rest /= 60;
  p.minute = static_cast<int>(rest % 60);
  p.hour = static_cast<int>(rest / 60);
  return p;
}

TDateTime IncMinute(TDateTime value, long long minutes) {
  return FromMs(ToMs(value) + minutes * 60 * 1000);
}

int64_t UnixNow() { return static_cast<int64_t>(std::time(nullptr)); }

TDateTime FromUnix(int64_t unix_seconds) {
  const long long local = unix_seconds + UtcOffsetAt(unix_seconds);
  return FromMs((local - kEpochOffset * 86'400LL) * 1000);
}

std::string FormatIso8601(int64_t unix_seconds) {
  const int offset = UtcOffsetAt(unix_seconds);
  const long long local = unix_seconds + offset;
  const long long days = local >= 0 ? local / 86'400 : (local - 86'399) / 86'400;
  const long long seconds = local - days * 86'400;
  int y = 0, m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  const int magnitude = offset < 0 ? -offset : offset;
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02lld:%02lld:%02lld%c%02d:%02d", y, m, d,
                seconds / 3600, seconds / 60 % 60, seconds % 60, offset < 0 ? '-' : '+',
                magnitude / 3600, magnitude / 60 % 60);
  return text;
}

std::optional<int64_t> ParseIso8601(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SS then Z or +HH:MM / -HH:MM.
  const auto number = [&](size_t at, size_t digits) -> std::optional<int> {
    if (at + digits > text.size()) return std::nullopt;
    int value = 0;
    for (size_t i = at; i < at + digits; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  const auto at = [&](size_t i, char c) { return i < text.size() && text[i] == c; };
  if (text.size() < 20 || !at(4, '-') || !at(7, '-') || !at(10, 'T') || !at(13, ':') || !at(16, ':'))
    return std::nullopt;
  const auto y = number(0, 4), mo = number(5, 2), d = number(8, 2);
  const auto h = number(11, 2), mi = number(14, 2), s = number(17, 2);
  if (!y || !mo || !d || !h || !mi || !s || *mo < 1 || *mo > 12 || *d < 1 ||
      *d > DaysInMonth(*y, *mo) || *h > 23 || *mi > 59 || *s > 59)
    return std::nullopt;
  int offset = 0;
  if (text.size() == 20 && at(19, 'Z')) {
    offset = 0;
  } else if (text.size() == 25 && (at(19, '+') || at(19, '-')) && at(22, ':')) {
    const auto oh = number(20, 2), om = number(23, 2);
    if (!oh || !om || *oh > 23 || *om > 59) return std::nullopt;
    offset = (*oh * 3600 + *om * 60) * (at(19, '-') ? -1 : 1);
  } else {
    return std::nullopt;
  }
  const long long days = DaysFromCivil(*y, static_cast<unsigned>(*mo), static_cast<unsigned>(*d));
  return days * 86'400 + *h * 3600 + *mi * 60 + *s - offset;
}

std::string FormatLogStamp(TDateTime value) { return DateToStr(value) + " " + TimeToStr(value); }

std::string DateToStr(TDateTime value) {
  const auto p = DecodeDateTime(value);
  return Two(p.day) + "/" + Two(p.month) + "/" + Four(p.year);
}

std::string TimeToStr(TDateTime value) {
  const auto p = DecodeDateTime(value);
  return Two(p.hour) + ":" + Two(p.minute) + ":" + Two(p.second);
}

std::string DateTimeToStr(TDateTime value) {
  if (ToMs(value) % kMsPerDay == 0) return DateToStr(value);
  return DateToStr(value) + " " + TimeToStr(value);
}

TDateTime StrToDate(const std::string& text) {
  size_t pos = 0;
  auto d = ParseDate(text, pos);
  if (!d || !AtEnd(text, pos)) Invalid(text, "date");
  return *d;
}

TDateTime StrToTime(const std::string& text) {
  size_t pos = 0;
  auto t = ParseTime(text, pos);
  if (!t || !AtEnd(text, pos)) Invalid(text, "time");
  return *t;
}

TDateTime StrToDateTime(const std::string& text) {
  size_t pos = 0;
  auto d = ParseDate(text, pos);
  if (!d) Invalid(text, "date and time");
  if (AtEnd(text, pos)) return *d;
  auto t = ParseTime(text, pos);
  if (!t || !AtEnd(text, pos)) Invalid(text, "date and time");
  return FromMs(ToMs(*d) + ToMs(*t));
}

}  // namespace quirada
