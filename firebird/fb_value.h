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

// Firebird's ids of the character sets the program meets.
inline constexpr unsigned kFbCsNone = 0;
inline constexpr unsigned kFbCsOctets = 1;
inline constexpr unsigned kFbCsUnicodeFss = 3;
inline constexpr unsigned kFbCsUtf8 = 4;
inline constexpr unsigned kFbCsIso8859_1 = 21;
inline constexpr unsigned kFbCsWin1252 = 53;

// The character set a column keeps its text in, as the database's catalogue names it.
struct FbCharacterSet {
  unsigned id = kFbCsNone;
  std::string name;                  // "" when not known
  unsigned bytes_per_character = 0;  // 0 when not known

  bool Known() const { return !name.empty(); }
  // One byte a character, a real character set (NONE and OCTETS hold bytes of no character set).
  bool SingleByte() const { return Known() && bytes_per_character == 1 && id != kFbCsNone && id != kFbCsOctets; }
};

// A text column's content without loss: UTF-8, or, when `raw`, the bytes a column without character
// set (NONE, OCTETS) holds, whose encoding nobody declared. `charset` is the column's own character
// set when the reader knows it (the server gives a column's text in the connection's UTF-8, whatever
// the column keeps it in; the catalogue tells which, see column_charset.h).
struct FbText {
  std::string bytes;
  bool raw = false;
  FbCharacterSet charset;
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
