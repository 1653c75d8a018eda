#include "platform_client/json_access.h"

#include <algorithm>

#include "base/errors.h"

namespace quirada {
namespace {

[[noreturn]] void NotFound(std::string_view path) {
  throw Exception("Value '" + std::string(path) + "' not found");
}

[[noreturn]] void InvalidTypecast() { throw Exception("Invalid class typecast"); }

// Follows `path` from `from`; nullptr when it leads nowhere.
const rapidjson::Value* Walk(const rapidjson::Value& from, std::string_view path) {
  const rapidjson::Value* at = &from;
  size_t pos = 0;
  for (;;) {
    // One segment: a member name, then any number of "[index]".
    const size_t end = std::min(path.find_first_of(".[", pos), path.size());
    const std::string_view name = path.substr(pos, end - pos);
    const bool indexed = end < path.size() && path[end] == '[';
    if (!name.empty() || !indexed) {
      at = FindMember(*at, name);
      if (at == nullptr) return nullptr;
    }
    pos = end;
    while (pos < path.size() && path[pos] == '[') {
      const size_t close = path.find(']', pos);
      if (close == std::string_view::npos || close == pos + 1 || close - pos > 10) return nullptr;
      size_t index = 0;
      for (size_t i = pos + 1; i < close; ++i) {
        if (path[i] < '0' || path[i] > '9') return nullptr;
        index = index * 10 + static_cast<size_t>(path[i] - '0');
      }
      if (!at->IsArray() || index >= at->Size()) return nullptr;
      at = &(*at)[static_cast<rapidjson::SizeType>(index)];
      pos = close + 1;
    }
    if (pos == path.size()) return at;
    if (path[pos] != '.') return nullptr;
    ++pos;
  }
}

std::string ScalarText(const JsonDocument& doc, const rapidjson::Value& value) {
  if (value.IsString()) return std::string(value.GetString(), value.GetStringLength());
  if (value.IsNumber()) return std::string(doc.NumberText(value));
  if (value.IsBool()) return value.GetBool() ? "true" : "false";
  return {};
}

}  // namespace

const char* JsonKindName(const rapidjson::Value& value) {
  switch (value.GetType()) {
    case rapidjson::kObjectType: return "TJSONObject";
    case rapidjson::kArrayType: return "TJSONArray";
    case rapidjson::kStringType: return "TJSONString";
    case rapidjson::kNumberType: return "TJSONNumber";
    case rapidjson::kTrueType: return "TJSONTrue";
    case rapidjson::kFalseType: return "TJSONFalse";
    case rapidjson::kNullType: return "TJSONNull";
  }
  return "TJSONValue";
}

const rapidjson::Value* FindMember(const rapidjson::Value& object, std::string_view name) {
  if (!object.IsObject()) return nullptr;
  for (auto m = object.MemberBegin(); m != object.MemberEnd(); ++m) {
    if (std::string_view(m->name.GetString(), m->name.GetStringLength()) == name) return &m->value;
  }
  return nullptr;
}

std::string MemberValueText(const JsonDocument& doc, const rapidjson::Value& value) {
  if (value.IsNull()) return "null";
  return ScalarText(doc, value);
}

void RequireObjectRoot(const JsonDocument* doc) {
  if (doc != nullptr && !doc->Root().IsObject()) InvalidTypecast();
}

const rapidjson::Value& LookupObject(const JsonDocument& doc, const rapidjson::Value& from,
                                     std::string_view path) {
  (void)doc;
  const rapidjson::Value* v = Walk(from, path);
  if (v == nullptr) NotFound(path);
  if (!v->IsObject()) InvalidTypecast();
  return *v;
}

const rapidjson::Value& LookupObject(const JsonDocument* doc, std::string_view path) {
  if (doc == nullptr) NotFound(path);
  return LookupObject(*doc, doc->Root(), path);
}

const rapidjson::Value& LookupArray(const JsonDocument& doc, const rapidjson::Value& from,
                                    std::string_view path) {
  (void)doc;
  const rapidjson::Value* v = Walk(from, path);
  if (v == nullptr) NotFound(path);
  if (!v->IsArray()) InvalidTypecast();
  return *v;
}

const rapidjson::Value& LookupArray(const JsonDocument* doc, std::string_view path) {
  if (doc == nullptr) NotFound(path);
  return LookupArray(*doc, doc->Root(), path);
}

std::string LookupText(const JsonDocument& doc, const rapidjson::Value& from, std::string_view path) {
  const rapidjson::Value* v = Walk(from, path);
  if (v == nullptr) NotFound(path);
  if (v->IsObject() || v->IsArray())
    throw Exception(std::string("Conversion from ") + JsonKindName(*v) +
                    " to string is not supported");
  return ScalarText(doc, *v);
}

std::string LookupText(const JsonDocument* doc, std::string_view path) {
  if (doc == nullptr) NotFound(path);
  return LookupText(*doc, doc->Root(), path);
}

}  // namespace quirada
