#include "base/datetime.h"

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

}  // namespace
}  // namespace quirada
