#include "base/datetime.h"

#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "base/errors.h"

namespace quirada {
namespace {

TEST(DateTime, DayZeroIs30December1899) {
  EXPECT_EQ(EncodeDateTime({1899, 12, 30}), 0.0);
  EXPECT_EQ(EncodeDateTime({2025, 12, 9}), 46000.0);
  const auto p = DecodeDateTime(EncodeDateTime({2025, 12, 9, 14, 3, 27, 45}));
  EXPECT_EQ(p.year, 2025);
  EXPECT_EQ(p.month, 12);
  EXPECT_EQ(p.day, 9);
  EXPECT_EQ(p.hour, 14);
  EXPECT_EQ(p.minute, 3);
  EXPECT_EQ(p.second, 27);
  EXPECT_EQ(p.millisecond, 45);
}

TEST(DateTime, FormatsAreTheBrazilianOnes) {
  const TDateTime t = EncodeDateTime({2025, 12, 9, 14, 5, 33});
  EXPECT_EQ(FormatLogStamp(t), "09/12/2025 14:05:33");
  EXPECT_EQ(DateToStr(t), "09/12/2025");
  EXPECT_EQ(TimeToStr(t), "14:05:33");
  EXPECT_EQ(DateTimeToStr(t), "09/12/2025 14:05:33");
  EXPECT_EQ(DateTimeToStr(EncodeDateTime({2025, 12, 9})), "09/12/2025");
  EXPECT_EQ(DateTimeToStr(EncodeDateTime({2025, 12, 9, 0, 0, 0, 1})), "09/12/2025 00:00:00");
}

TEST(DateTime, WhatIsWrittenReadsBack) {
  const TDateTime t = EncodeDateTime({2026, 2, 28, 23, 59, 58});
  EXPECT_EQ(StrToDateTime(DateTimeToStr(t)), t);
  EXPECT_EQ(StrToDate(DateToStr(t)), EncodeDateTime({2026, 2, 28}));
  EXPECT_EQ(StrToTime(TimeToStr(t)), EncodeDateTime({1899, 12, 30, 23, 59, 58}));
  EXPECT_EQ(StrToDateTime("01/03/2026"), EncodeDateTime({2026, 3, 1}));
  EXPECT_EQ(StrToDate("1/3/26"), EncodeDateTime({2026, 3, 1}));
}

TEST(DateTime, UnreadableTextsFailWithTheConversionMessage) {
  struct Case {
    std::string text;
    TDateTime (*fn)(const std::string&);
    std::string message;
  } cases[] = {
      {"2026-03-01", StrToDate, "'2026-03-01' is not a valid date"},
      {"31/02/2026", StrToDate, "'31/02/2026' is not a valid date"},
      {"", StrToDate, "'' is not a valid date"},
      {"25:00:00", StrToTime, "'25:00:00' is not a valid time"},
      {"10h30", StrToTime, "'10h30' is not a valid time"},
      {"01/03/2026 xx", StrToDateTime, "'01/03/2026 xx' is not a valid date and time"},
      {"03/01/2026 1:2:3 PM", StrToDateTime, "'03/01/2026 1:2:3 PM' is not a valid date and time"},
  };
  for (const auto& c : cases) {
    try {
      c.fn(c.text);
      ADD_FAILURE() << "accepted " << c.text;
    } catch (const Exception& e) {
      EXPECT_EQ(e.what(), c.message);
    }
  }
}

TEST(DateTime, IncMinuteIsExact) {
  const TDateTime t = EncodeDateTime({2025, 12, 31, 23, 0, 0});
  EXPECT_EQ(IncMinute(t, 1380), EncodeDateTime({2026, 1, 1, 22, 0, 0}));
  EXPECT_EQ(IncMinute(t, -60), EncodeDateTime({2025, 12, 31, 22, 0, 0}));
}

// Instants as monitors read them: ISO 8601 with the offset, read back to the same second; what is
// not that form is refused.
TEST(DateTime, Iso8601WithItsOffsetReadsBackToTheSameInstant) {
  const struct {
    const char* text;
    std::optional<int64_t> unix_seconds;
  } cases[] = {
      {"2026-05-01T10:00:00-03:00", 1777640400},
      {"2026-05-01T13:00:00Z", 1777640400},
      {"2026-05-01T18:30:00+05:30", 1777640400},
      {"2024-02-29T23:59:59+00:00", 1709251199},
      {"1970-01-01T00:00:00Z", 0},
      {"2025-02-29T10:00:00-03:00", std::nullopt},
      {"2026-05-01 10:00:00-03:00", std::nullopt},
      {"2026-05-01T10:00:00", std::nullopt},
      {"2026-05-01T24:00:00Z", std::nullopt},
      {"2026-05-01T10:00:00-0300", std::nullopt},
      {"2026-5-01T10:00:00-03:00", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseIso8601(c.text), c.unix_seconds) << c.text;
}

TEST(DateTime, Iso8601IsTheLocalTimeWithTheOffsetOfThatInstant) {
#ifndef _WIN32
  // Sao Paulo kept daylight saving time until 2019: two offsets a year apart.
  const char* before = std::getenv("TZ");
  const std::string saved = before ? before : "";
  ::setenv("TZ", "America/Sao_Paulo", 1);
  ::tzset();
  EXPECT_EQ(FormatIso8601(1547640000), "2019-01-16T10:00:00-02:00");  // summer time
  EXPECT_EQ(FormatIso8601(1563282000), "2019-07-16T10:00:00-03:00");
  EXPECT_EQ(FormatIso8601(1777640400), "2026-05-01T10:00:00-03:00");
  EXPECT_EQ(FormatLogStamp(FromUnix(1777640400)), "01/05/2026 10:00:00");
  if (before) {
    ::setenv("TZ", saved.c_str(), 1);
  } else {
    ::unsetenv("TZ");
  }
  ::tzset();
#endif
  // Whatever the machine's zone: what is written reads back, and says the local clock's time.
  for (const int64_t at : {int64_t{0}, int64_t{1709251199}, int64_t{1777640400}, UnixNow()}) {
    const std::string text = FormatIso8601(at);
    EXPECT_EQ(ParseIso8601(text), at) << text;
    EXPECT_EQ(text.substr(11, 8), FormatLogStamp(FromUnix(at)).substr(11)) << text;
  }
}

}  // namespace
}  // namespace quirada
