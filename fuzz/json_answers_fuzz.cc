// The platform's JSON answers, read the way each operation of TDTQuirada reads them: the token
// request (GetToken), the upload (EnviaXML), the batch status (StatusFile), the integration
// enablement (GetKeyIntegracao) and the activation info (VerificarKeyCliente). The input is the
// answer's body as it comes off the wire, without a charset in its Content-Type, so each reading
// decodes it with its operation's default.
//
// Besides surviving any body, the readings must keep these promises: the only failure is
// quirada::Exception; every number of a parsed document keeps its text as written, and that text
// matches the typed value; text read from a body decoded as ISO-8859-1 is valid UTF-8 (but for
// escaped lone surrogates).
#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform_client/charset.h"
#include "platform_client/json_access.h"
#include "platform_client/json_parser.h"
#include "base/errors.h"
#include "base/text.h"

namespace quirada {
namespace {

// The power of ten of the first significant digit of a JSON number's text ("0.05" is -2, "12e3" is
// 4); nothing when every digit is zero. The exponent saturates far beyond any double.
std::optional<long long> DecimalMagnitude(std::string_view text) {
  size_t i = text.front() == '-' ? 1 : 0;
  long long int_digits = 0, frac_digits = 0;
  std::optional<long long> int_first, frac_first;  // index of the first digit other than zero
  bool fraction = false;
  for (; i < text.size() && text[i] != 'e' && text[i] != 'E'; ++i) {
    if (text[i] == '.') {
      fraction = true;
    } else if (fraction) {
      ++frac_digits;
      if (!frac_first && text[i] != '0') frac_first = frac_digits;
    } else {
      if (!int_first && text[i] != '0') int_first = int_digits;
      ++int_digits;
    }
  }
  long long magnitude;
  if (int_first)
    magnitude = int_digits - 1 - *int_first;
  else if (frac_first)
    magnitude = -*frac_first;
  else
    return std::nullopt;
  long long exponent = 0;
  if (i < text.size()) {
    ++i;
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+') ++i;
    for (; i < text.size(); ++i) exponent = std::min(exponent * 10 + (text[i] - '0'), 1000000000LL);
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent;
}

// Every number value of the document has its written text, and the text says the same number.
void CheckNumberTexts(const JsonDocument& doc) {
  std::vector<const rapidjson::Value*> pending{&doc.Root()};
  while (!pending.empty()) {
    const rapidjson::Value* v = pending.back();
    pending.pop_back();
    if (v->IsObject()) {
      for (auto m = v->MemberBegin(); m != v->MemberEnd(); ++m) pending.push_back(&m->value);
    } else if (v->IsArray()) {
      for (auto e = v->Begin(); e != v->End(); ++e) pending.push_back(e);
    } else if (v->IsNumber()) {
      const std::string_view text = doc.NumberText(*v);
      QUIRADA_FUZZ_CHECK(!text.empty());
      const char* first = text.data();
      const char* last = first + text.size();
      if (v->IsInt64() && !v->IsDouble()) {
        long long n = 0;
        QUIRADA_FUZZ_CHECK(std::from_chars(first, last, n).ptr == last && n == v->GetInt64());
      } else if (v->IsUint64() && !v->IsDouble()) {
        unsigned long long n = 0;
        QUIRADA_FUZZ_CHECK(std::from_chars(first, last, n).ptr == last && n == v->GetUint64());
      } else {
        double d = 0;
        const auto r = std::from_chars(first, last, d);
        QUIRADA_FUZZ_CHECK(r.ptr == last);
        if (r.ec == std::errc()) {
          QUIRADA_FUZZ_CHECK(d == v->GetDouble());
        } else {
          // Beyond a double: too large is infinity, too small zero, with the text's sign.
          const auto magnitude = DecimalMagnitude(text);
          QUIRADA_FUZZ_CHECK(magnitude.has_value());
          QUIRADA_FUZZ_CHECK(std::signbit(v->GetDouble()) == (text.front() == '-'));
          if (*magnitude > 0)
            QUIRADA_FUZZ_CHECK(std::isinf(v->GetDouble()));
          else
            QUIRADA_FUZZ_CHECK(v->GetDouble() == 0.0);
        }
      }
    }
  }
}

std::unique_ptr<JsonDocument> ParseAnswer(std::string_view body, DefaultCharset charset) {
  auto doc = JsonDocument::Parse(DecodeBody(body, "", charset));
  if (doc) CheckNumberTexts(*doc);
  return doc;
}

// An escape of a lone surrogate ("\uDE00", which JSON's grammar allows) comes out of RapidJSON as the
// surrogate's three-byte form, ED A0..BF 80..BF; nothing else may break UTF-8.
std::string WithoutSurrogateForms(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    if (b(i) == 0xED && i + 2 < text.size() && b(i + 1) >= 0xA0 && b(i + 1) <= 0xBF &&
        (b(i + 2) & 0xC0) == 0x80) {
      out += '?';
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void CheckText(const std::string& text, DefaultCharset charset) {
  if (charset == DefaultCharset::kLatin1) QUIRADA_FUZZ_CHECK(IsValidUtf8(WithoutSurrogateForms(text)));
}

// A member looked up by name, as the upload reads "id", "code" and "message".
std::string MemberText(const JsonDocument& doc, const rapidjson::Value& object, const char* name) {
  const rapidjson::Value* member = FindMember(object, name);
  if (member == nullptr) throw Exception(std::string("Value '") + name + "' not found");
  return MemberValueText(doc, *member);
}

void ReadTokenAnswer(std::string_view body) {
  const auto doc = ParseAnswer(body, DefaultCharset::kLatin1);
  if (!doc || !doc->Root().IsObject()) return;
  CheckText(LookupText(doc.get(), "access_token"), DefaultCharset::kLatin1);
  const rapidjson::Value* expires_in = FindMember(doc->Root(), "expires_in");
  if (expires_in != nullptr && expires_in->IsNumber()) {
    const double seconds = expires_in->GetDouble();
    if (seconds > 60 && seconds < 82800.0) (void)static_cast<long long>(std::floor(seconds));
  }
}

void ReadUploadAnswer(std::string_view body) {
  const auto doc = ParseAnswer(body, DefaultCharset::kLatin1);
  RequireObjectRoot(doc.get());
  const rapidjson::Value& stat = LookupObject(doc.get(), "status");
  CheckText(MemberText(*doc, doc->Root(), "id"), DefaultCharset::kLatin1);
  CheckText(MemberText(*doc, stat, "code"), DefaultCharset::kLatin1);
  CheckText(MemberText(*doc, stat, "message"), DefaultCharset::kLatin1);
}

void ReadStatusAnswer(std::string_view body) {
  const auto doc = ParseAnswer(body, DefaultCharset::kUtf8);
  RequireObjectRoot(doc.get());
  const rapidjson::Value& files = LookupArray(doc.get(), "filesExpanded");
  const rapidjson::Value* status_object = nullptr;
  if (files.Size() > 0) {
    if (!files[0].IsObject()) throw Exception("Invalid class typecast");
    status_object = &LookupObject(*doc, files[0], "apiStatus");
  } else {
    status_object = &LookupObject(doc.get(), "status");
  }
  (void)LookupText(*doc, *status_object, "code");
  (void)LookupText(*doc, *status_object, "message");
}

void ReadEnablementAnswer(std::string_view body) {
  const auto doc = ParseAnswer(body, DefaultCharset::kLatin1);
  RequireObjectRoot(doc.get());
  const rapidjson::Value* key = doc ? FindMember(doc->Root(), "integrationKey") : nullptr;
  if (key == nullptr) throw Exception("Value 'integrationKey' not found");
  CheckText(MemberValueText(*doc, *key), DefaultCharset::kLatin1);
}

void ReadActivationAnswer(std::string_view body) {
  const auto doc = ParseAnswer(body, DefaultCharset::kUtf8);
  RequireObjectRoot(doc.get());
  for (const char* path : {"accountantOfficeNationalIdentity", "accountantOfficeName",
                           "clientNationalIdentity", "clientName"})
    (void)LookupText(doc.get(), path);
}

}  // namespace
}  // namespace quirada

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view body = quirada::fuzz::AsText(data, size);
  for (auto read : {quirada::ReadTokenAnswer, quirada::ReadUploadAnswer, quirada::ReadStatusAnswer,
                    quirada::ReadEnablementAnswer, quirada::ReadActivationAnswer}) {
    try {
      read(body);
    } catch (const quirada::Exception&) {
      // The operation fails with this message; nothing else may escape.
    }
  }
  return 0;
}
