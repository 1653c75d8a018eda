#include "firebird/fb_value.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "base/errors.h"

namespace quirada {

FbValue FbValue::Text(std::string utf8) {
  FbValue v;
  v.kind = Kind::kText;
  v.text = std::move(utf8);
  return v;
}

FbValue FbValue::Integer(long long value) {
  FbValue v;
  v.kind = Kind::kInteger;
  v.integer = value;
  return v;
}

FbValue FbValue::Float(double value) {
  FbValue v;
  v.kind = Kind::kFloat;
  v.number = value;
  return v;
}

FbValue FbValue::DateTime(TDateTime value, Kind kind) {
  FbValue v;
  v.kind = kind;
  v.number = value;
  return v;
}

FbValue FbValue::Boolean(bool value) {
  FbValue v;
  v.kind = Kind::kBoolean;
  v.integer = value ? 1 : 0;
  return v;
}

std::string FbValue::AsString() const {
  switch (kind) {
    case Kind::kNull:
      return "";
    case Kind::kText:
      return text;
    case Kind::kInteger:
      return std::to_string(integer);
    case Kind::kFloat: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.15g", number);
      return buf;
    }
    case Kind::kDate:
      return DateToStr(number);
    case Kind::kTime:
      return TimeToStr(number);
    case Kind::kTimestamp:
      return DateTimeToStr(number);
    case Kind::kBoolean:
      return integer ? "True" : "False";
  }
  return "";
}

long long FbValue::AsInteger(const std::string& what) const {
  switch (kind) {
    case Kind::kNull:
      return 0;
    case Kind::kInteger:
    case Kind::kBoolean:
      return integer;
    case Kind::kFloat:
      if (std::isfinite(number) && std::fabs(number) < 9.2e18) return static_cast<long long>(number);
      break;
    case Kind::kText: {
      std::size_t b = text.find_first_not_of(' ');
      std::size_t e = text.find_last_not_of(' ');
      if (b != std::string::npos) {
        const char* first = text.data() + b;
        const char* last = text.data() + e + 1;
        if (*first == '+') ++first;
        long long value = 0;
        auto [ptr, ec] = std::from_chars(first, last, value);
        if (ec == std::errc() && ptr == last) return value;
      }
      throw Exception("'" + text + "' is not a valid integer value");
    }
    default:
      break;
  }
  throw Exception("O valor de " + what + " não pode ser lido como inteiro");
}

TDateTime FbValue::AsDateTime(const std::string& what) const {
  switch (kind) {
    case Kind::kNull:
      return 0;
    case Kind::kDate:
    case Kind::kTime:
    case Kind::kTimestamp:
      return number;
    case Kind::kText:
      return StrToDateTime(text);
    default:
      break;
  }
  throw Exception("O valor de " + what + " não pode ser lido como data e hora");
}

}  // namespace quirada
