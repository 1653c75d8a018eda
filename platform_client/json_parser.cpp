#include "platform_client/json_parser.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <rapidjson/reader.h>

namespace quirada {
namespace {

using rapidjson::SizeType;

// The power of ten of the first significant digit of a number's text ("0.05" is -2, "12e3" is 4),
// the exponent counted up to a bound far beyond any double. Decides whether a number that a double
// cannot hold is too large or too small: "0.000...1" is tiny although it has no negative exponent.
long long DecimalPower(std::string_view text) {
  const size_t e = std::min(text.find_first_of("eE"), text.size());
  const std::string_view mantissa = text.substr(0, e);
  const size_t point = std::min(mantissa.find('.'), mantissa.size());
  const size_t first = mantissa.find_first_of("123456789");
  if (first == std::string_view::npos) return 0;
  long long power = first < point ? static_cast<long long>(point - first) - 1
                                  : -static_cast<long long>(first - point);
  long long exponent = 0;
  size_t i = e + 1;
  const bool negative = i < text.size() && text[i] == '-';
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  for (; i < text.size(); ++i) exponent = std::min(exponent * 10 + (text[i] - '0'), 1000000000LL);
  return power + (negative ? -exponent : exponent);
}

// Forwards the reader's events to the document, turning each number's text into a typed value and
// keeping the text, in the order the numbers appear.
class Builder {
 public:
  Builder(rapidjson::Document& doc, std::vector<std::string>& numbers)
      : doc_(doc), numbers_(numbers) {}

  bool Null() { return doc_.Null(); }
  bool Bool(bool b) { return doc_.Bool(b); }
  bool Int(int i) { return doc_.Int(i); }
  bool Uint(unsigned u) { return doc_.Uint(u); }
  bool Int64(int64_t i) { return doc_.Int64(i); }
  bool Uint64(uint64_t u) { return doc_.Uint64(u); }
  bool Double(double d) { return doc_.Double(d); }
  bool String(const char* s, SizeType n, bool copy) { return doc_.String(s, n, copy); }
  bool Key(const char* s, SizeType n, bool copy) { return doc_.Key(s, n, copy); }
  bool StartObject() { return doc_.StartObject(); }
  bool EndObject(SizeType n) { return doc_.EndObject(n); }
  bool StartArray() { return doc_.StartArray(); }
  bool EndArray(SizeType n) { return doc_.EndArray(n); }

  bool RawNumber(const char* s, SizeType n, bool) {
    const std::string_view text(s, n);
    numbers_.emplace_back(text);
    const char* first = text.data();
    const char* last = first + text.size();
    if (text.find_first_of(".eE") == std::string_view::npos) {
      if (text.front() == '-') {
        int64_t v = 0;
        if (std::from_chars(first, last, v).ec == std::errc())
          return v >= std::numeric_limits<int>::min() ? doc_.Int(static_cast<int>(v)) : doc_.Int64(v);
      } else {
        uint64_t v = 0;
        if (std::from_chars(first, last, v).ec == std::errc())
          return v <= std::numeric_limits<unsigned>::max() ? doc_.Uint(static_cast<unsigned>(v))
                                                           : doc_.Uint64(v);
      }
    }
    double d = 0;
    const auto r = std::from_chars(first, last, d);
    if (r.ec == std::errc::result_out_of_range) {
      // Too large for a double, or too small to be told from zero.
      const double magnitude = DecimalPower(text) < 0 ? 0.0 : HUGE_VAL;
      d = text.front() == '-' ? -magnitude : magnitude;
    }
    return doc_.Double(d);
  }

 private:
  rapidjson::Document& doc_;
  std::vector<std::string>& numbers_;
};

}  // namespace

std::unique_ptr<JsonDocument> JsonDocument::Parse(std::string_view utf8) {
  // A NUL byte is never valid JSON, and the reader would take it for the end of the text.
  if (utf8.find('\0') != std::string_view::npos) return nullptr;
  const std::string text(utf8);

  std::unique_ptr<JsonDocument> result(new JsonDocument());
  std::vector<std::string> numbers;
  bool ok = false;
  auto generate = [&](rapidjson::Document& doc) {
    Builder builder(doc, numbers);
    rapidjson::StringStream stream(text.c_str());
    rapidjson::Reader reader;
    ok = !reader.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag>(
                    stream, builder)
              .IsError();
    return ok;
  };
  result->doc_.Populate(generate);
  if (!ok) return nullptr;

  // The numbers were seen in document order; walk the tree in the same order to pair them up.
  std::vector<const rapidjson::Value*> pending{&result->doc_};
  size_t next = 0;
  while (!pending.empty()) {
    const rapidjson::Value* v = pending.back();
    pending.pop_back();
    if (v->IsNumber()) {
      if (next < numbers.size()) result->number_text_.emplace(v, std::move(numbers[next]));
      ++next;
    } else if (v->IsObject()) {
      for (auto m = v->MemberEnd(); m != v->MemberBegin();) pending.push_back(&(--m)->value);
    } else if (v->IsArray()) {
      for (auto e = v->End(); e != v->Begin();) pending.push_back(--e);
    }
  }
  return result;
}

std::unique_ptr<JsonDocument> JsonDocument::EmptyObject() {
  std::unique_ptr<JsonDocument> result(new JsonDocument());
  result->doc_.SetObject();
  return result;
}

std::string_view JsonDocument::NumberText(const rapidjson::Value& value) const {
  const auto it = number_text_.find(&value);
  return it == number_text_.end() ? std::string_view() : std::string_view(it->second);
}

}  // namespace quirada
