// The JSON reader of the platform client's answers.
//
// JsonDocument::Parse accepts exactly one JSON value with nothing but JSON white space before and
// after it, and yields no document (nullptr) for anything else: empty text, trailing text, a NUL
// byte, broken syntax. It never raises for bad input and never recurses, so hostile nesting cannot
// exhaust the stack. The text is taken as UTF-8 and not validated: the bytes of strings pass through.
//
// The document is a RapidJSON document. Numbers are typed values in it (int, unsigned, 64-bit or
// double, as RapidJSON types them), and their text exactly as written in the answer is kept beside
// them: NumberText gives it back ("10", "1.50", "1e3", "123456789012345678901234"). Objects keep
// every member in the order written, duplicates included; lookups take the first. A number too
// large for a double is kept as infinity and one too small for it as zero, whether or not an
// exponent says so ("0.000...01" is zero; its text still as written), except that RapidJSON refuses
// outright a number whose exponent alone lies far beyond the double range ("1e400"): such text
// yields no document.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include <rapidjson/document.h>

namespace quirada {

class JsonDocument {
 public:
  static std::unique_ptr<JsonDocument> Parse(std::string_view utf8);
  // A document that is one empty object.
  static std::unique_ptr<JsonDocument> EmptyObject();

  JsonDocument(const JsonDocument&) = delete;
  JsonDocument& operator=(const JsonDocument&) = delete;

  const rapidjson::Document& Doc() const { return doc_; }
  const rapidjson::Value& Root() const { return doc_; }

  // The text of a number value of this document as written; empty for any other value.
  std::string_view NumberText(const rapidjson::Value& value) const;

 private:
  JsonDocument() = default;

  rapidjson::Document doc_;
  std::unordered_map<const rapidjson::Value*, std::string> number_text_;
};

}  // namespace quirada
