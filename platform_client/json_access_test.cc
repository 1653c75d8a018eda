#include "platform_client/json_access.h"

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "base/errors.h"
#include "testing/test_files.h"

using quirada::testing::FailureOf;

namespace quirada {
namespace {

const char kAnswer[] = R"({
  "status": {"code": "S1", "message": "ok", "n": 10, "nothing": null, "yes": true, "no": false},
  "id": 123,
  "list": [{"apiStatus": {"code": "SA2"}}, {"apiStatus": {"code": "X"}}],
  "empty": [],
  "obj": {},
  "text": "t",
  "nil": null
})";

// The message of the failure `f` raises, or "no failure".
class JsonAccessTest : public ::testing::Test {
 protected:
  std::unique_ptr<JsonDocument> doc_ = JsonDocument::Parse(kAnswer);
};

TEST_F(JsonAccessTest, TypedLookupsFindObjectsArraysAndTextsByPath) {
  ASSERT_NE(doc_, nullptr);
  EXPECT_EQ(LookupObject(doc_.get(), "status").MemberCount(), 6u);
  EXPECT_EQ(LookupArray(doc_.get(), "list").Size(), 2u);
  EXPECT_EQ(LookupText(doc_.get(), "list[0].apiStatus.code"), "SA2");
  EXPECT_EQ(LookupText(doc_.get(), "list[1].apiStatus.code"), "X");
  const rapidjson::Value& status = LookupObject(doc_.get(), "status");
  EXPECT_EQ(LookupText(*doc_, status, "message"), "ok");
}

TEST_F(JsonAccessTest, TypedLookupsFailWithTheMessagesOfTheClient) {
  ASSERT_NE(doc_, nullptr);
  const JsonDocument* d = doc_.get();
  const struct {
    const char* what;
    std::function<void()> lookup;
    const char* message;
  } cases[] = {
      {"missing object", [&] { LookupObject(d, "stat"); }, "Value 'stat' not found"},
      {"missing array", [&] { LookupArray(d, "filesExpanded"); }, "Value 'filesExpanded' not found"},
      {"missing text", [&] { LookupText(d, "status.Code"); }, "Value 'status.Code' not found"},
      {"index past the end", [&] { LookupObject(d, "empty[0]"); }, "Value 'empty[0]' not found"},
      {"no document", [&] { LookupObject(nullptr, "status"); }, "Value 'status' not found"},
      {"no document, text", [&] { LookupText(nullptr, "code"); }, "Value 'code' not found"},
      {"string as object", [&] { LookupObject(d, "text"); }, "Invalid class typecast"},
      {"null as object", [&] { LookupObject(d, "nil"); }, "Invalid class typecast"},
      {"array as object", [&] { LookupObject(d, "list"); }, "Invalid class typecast"},
      {"null as array", [&] { LookupArray(d, "nil"); }, "Invalid class typecast"},
      {"object as array", [&] { LookupArray(d, "obj"); }, "Invalid class typecast"},
      {"object as text", [&] { LookupText(d, "status"); },
       "Conversion from TJSONObject to string is not supported"},
      {"array as text", [&] { LookupText(d, "list"); },
       "Conversion from TJSONArray to string is not supported"},
  };
  for (const auto& c : cases) EXPECT_EQ(FailureOf(c.lookup), c.message) << c.what;
}

TEST_F(JsonAccessTest, TypedTextAndMemberValueTextDifferOnlyForNullObjectsAndArrays) {
  ASSERT_NE(doc_, nullptr);
  const rapidjson::Value& root = doc_->Root();
  const rapidjson::Value& status = root["status"];
  const struct {
    const char* name;
    const rapidjson::Value& in;
    const char* typed;  // nullptr: the typed lookup fails
    const char* member;
  } cases[] = {
      {"code", status, "S1", "S1"},    {"n", status, "10", "10"},
      {"yes", status, "true", "true"}, {"no", status, "false", "false"},
      {"nothing", status, "", "null"}, {"id", root, "123", "123"},
      {"obj", root, nullptr, ""},      {"empty", root, nullptr, ""},
  };
  for (const auto& c : cases) {
    const rapidjson::Value* member = FindMember(c.in, c.name);
    ASSERT_NE(member, nullptr) << c.name;
    EXPECT_EQ(MemberValueText(*doc_, *member), c.member) << c.name;
    if (c.typed != nullptr) {
      EXPECT_EQ(LookupText(*doc_, c.in, c.name), c.typed) << c.name;
    } else {
      EXPECT_NE(FailureOf([&] { LookupText(*doc_, c.in, c.name); }), "no failure") << c.name;
    }
  }
}

TEST_F(JsonAccessTest, MemberLookupYieldsNothingForAbsentNamesAndNonObjects) {
  ASSERT_NE(doc_, nullptr);
  EXPECT_EQ(FindMember(doc_->Root(), "ID"), nullptr);
  EXPECT_EQ(FindMember(doc_->Root()["list"], "apiStatus"), nullptr);
  EXPECT_EQ(FindMember(doc_->Root()["text"], "t"), nullptr);
}

TEST(RequireObjectRootTest, RefusesEveryTopLevelValueButAnObject) {
  EXPECT_EQ(FailureOf([] { RequireObjectRoot(JsonDocument::Parse("[1]").get()); }),
            "Invalid class typecast");
  EXPECT_EQ(FailureOf([] { RequireObjectRoot(JsonDocument::Parse("\"x\"").get()); }),
            "Invalid class typecast");
  EXPECT_EQ(FailureOf([] { RequireObjectRoot(JsonDocument::Parse("{}").get()); }), "no failure");
  EXPECT_EQ(FailureOf([] { RequireObjectRoot(nullptr); }), "no failure");
}

}  // namespace
}  // namespace quirada
