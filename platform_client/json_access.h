// Reading the members of the platform's JSON answers, with the failures and texts the operations
// of TDTQuirada share.
//
// Two ways of reading, which differ when something is missing or of another kind:
//
// - Member lookup by name (FindMember) yields nothing (nullptr) when the object has no member of
//   that name; MemberValueText gives a value's text with these rules: a string its characters, a
//   number its text as written, true and false their names, null the word "null", an object or an
//   array the empty text.
// - Typed lookup by path (LookupObject, LookupArray, LookupText) fails with "Value '<path>' not
//   found" when the path leads nowhere, with "Invalid class typecast" when an object or an array is
//   wanted and the value is of another kind, and, as text, with "Conversion from <kind> to string
//   is not supported" for an object or an array. As text a string gives its characters, a number
//   its text as written, true and false their names and null the empty text.
//
// A path is member names separated by ".", each optionally followed by "[<index>]" to take an
// element of an array ("filesExpanded[0].apiStatus"). Names match exactly, letter case included,
// and when an object holds a name twice the first member counts. A lookup on no document at all
// (nullptr) fails as "not found".
//
// The kind names of the conversion message are TJSONObject, TJSONArray, TJSONString, TJSONNumber,
// TJSONTrue, TJSONFalse and TJSONNull; the wanted type is "string". All failures are Exception.
#pragma once

#include <string>
#include <string_view>

#include "platform_client/json_parser.h"

namespace quirada {

const char* JsonKindName(const rapidjson::Value& value);

// The first member called `name` of `object`; nullptr when there is none or `object` is no object.
const rapidjson::Value* FindMember(const rapidjson::Value& object, std::string_view name);

std::string MemberValueText(const JsonDocument& doc, const rapidjson::Value& value);

// Raises "Invalid class typecast" when there is a document whose top-level value is not an object.
void RequireObjectRoot(const JsonDocument* doc);

// Lookups from the document's top-level value, or from `from`, a value of that document.
const rapidjson::Value& LookupObject(const JsonDocument* doc, std::string_view path);
const rapidjson::Value& LookupObject(const JsonDocument& doc, const rapidjson::Value& from,
                                     std::string_view path);
const rapidjson::Value& LookupArray(const JsonDocument* doc, std::string_view path);
const rapidjson::Value& LookupArray(const JsonDocument& doc, const rapidjson::Value& from,
                                    std::string_view path);
std::string LookupText(const JsonDocument* doc, std::string_view path);
std::string LookupText(const JsonDocument& doc, const rapidjson::Value& from, std::string_view path);

}  // namespace quirada
