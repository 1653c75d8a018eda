// One value travelling between the program and a Firebird statement: a parameter bound by the
// program or a column read from a row.
//
// Text is UTF-8 here; the conversion to and from the connection's ISO-8859-1 happens where the
// value meets a message (fb_message.h). Date and time values are TDateTime. Reading a value as
// another kind converts it the way the program's data-access layer always has: NULL reads as an
// empty text, 0 or the zero date (30/12/1899); numbers and dates read as text in their usual text
// forms; text reads as a number or a date only when it is one (otherwise an Exception).
#pragma once

#include <string>

#include "base/datetime.h"

namespace quirada {

// A text column's content without loss: UTF-8, or, when `raw`, the bytes a column without character
// set (NONE, OCTETS) holds, whose encoding nobody declared.
struct FbText {
  std::string bytes;
  bool raw = false;
};

struct FbValue {
  enum class Kind { kNull, kText, kInteger, kFloat, kDate, kTime, kTimestamp, kBoolean };

  Kind kind = Kind::kNull;
  std::string text;       // kText
  long long integer = 0;  // kInteger, kBoolean (0 or 1)
  double number = 0;      // kFloat; kDate, kTime, kTimestamp as TDateTime

  static FbValue Null() { return {}; }
  static FbValue Text(std::string utf8);
  static FbValue Integer(long long value);
  static FbValue Float(double value);
  static FbValue DateTime(TDateTime value, Kind kind = Kind::kTimestamp);
  static FbValue Boolean(bool value);

  bool IsNull() const { return kind == Kind::kNull; }
  // `what` names the value in failure messages (a field or parameter name).
  std::string AsString() const;
  long long AsInteger(const std::string& what) const;
  TDateTime AsDateTime(const std::string& what) const;
};

}  // namespace quirada
