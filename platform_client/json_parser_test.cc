#include "platform_client/json_parser.h"

#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "platform_client/json_access.h"

namespace quirada {
namespace {

TEST(JsonParserTest, AcceptsExactlyOneValueWithOnlyWhiteSpaceAroundIt) {
  const struct {
    std::string text;
    bool document;
  } cases[] = {
      {"{}", true},
      {" \t\r\n{\"a\": [1, 2.5, null, true]}\n ", true},
      {"[]", true},
      {"12", true},
      {"\"text\"", true},
      {"null", true},
      {"", false},
      {"   ", false},
      {"{} {}", false},
      {"{}x", false},
      {"{\"a\":1,}", false},
      {"{'a':1}", false},
      {"<html>Bad gateway</html>", false},
      {std::string("{}\0garbage", 10), false},
      {std::string("{\"a\":\"x\0y\"}", 11), false},
      {"{\"a\":\"unterminated}", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(JsonDocument::Parse(c.text) != nullptr, c.document) << c.text;
}

TEST(JsonParserTest, KeepsTheTextOfEveryNumberAsWrittenAndTypesItAsANumber) {
  const auto doc = JsonDocument::Parse(
      R"({"a": 10, "b": -7, "c": 1.50, "d": 1e3, "e": 123456789012345678901234,
          "f": [0, -0.0, 18446744073709551615], "g": {"h": 4294967296}, "i": 1.7976931348623157e309, "j": -1e-999})");
  ASSERT_NE(doc, nullptr);
  const struct {
    const char* path;
    const char* text;
  } cases[] = {
      {"a", "10"}, {"b", "-7"}, {"c", "1.50"}, {"d", "1e3"}, {"e", "123456789012345678901234"},
      {"f[0]", "0"}, {"f[1]", "-0.0"}, {"f[2]", "18446744073709551615"}, {"g.h", "4294967296"},
      {"i", "1.7976931348623157e309"}, {"j", "-1e-999"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LookupText(doc.get(), c.path), c.text) << c.path;
  }
  EXPECT_TRUE(doc->Root()["a"].IsUint());
  EXPECT_EQ(doc->Root()["a"].GetUint(), 10u);
  EXPECT_EQ(doc->Root()["b"].GetInt(), -7);
  EXPECT_DOUBLE_EQ(doc->Root()["c"].GetDouble(), 1.5);
  EXPECT_DOUBLE_EQ(doc->Root()["d"].GetDouble(), 1000.0);
  EXPECT_TRUE(doc->Root()["e"].IsDouble());
  EXPECT_EQ(doc->Root()["f"][2].GetUint64(), 18446744073709551615ull);
  EXPECT_TRUE(doc->Root()["g"]["h"].IsUint64());
  EXPECT_TRUE(std::isinf(doc->Root()["i"].GetDouble()));
  EXPECT_EQ(doc->Root()["j"].GetDouble(), 0.0);
}

TEST(JsonParserTest, NumbersBeyondADoubleBecomeInfinityWhenLargeAndZeroWhenTinyWhateverTheirForm) {
  const std::string zeros(400, '0');
  const struct {
    std::string text;
    double value;
  } cases[] = {
      {"0." + zeros + "1", 0.0},
      {"-0." + zeros + "1", -0.0},
      {"0." + zeros + "1e5", 0.0},
      {"0." + zeros + "1E+3", 0.0},
      {"1e-400", 0.0},
      {"-1e-99999999999999999999", -0.0},
      {"1" + std::string(300, '0') + ".5e10", HUGE_VAL},
      {"-1" + std::string(300, '0') + "e9", -HUGE_VAL},
      {"1" + std::string(300, '0') + "e-10", 1e290},
  };
  for (const auto& c : cases) {
    const auto doc = JsonDocument::Parse("[" + c.text + "]");
    ASSERT_NE(doc, nullptr) << c.text;
    const rapidjson::Value& number = doc->Root()[0];
    EXPECT_EQ(number.GetDouble(), c.value) << c.text;
    EXPECT_EQ(std::signbit(number.GetDouble()), std::signbit(c.value)) << c.text;
    EXPECT_EQ(doc->NumberText(number), c.text);
  }
}

TEST(JsonParserTest, KeepsDuplicateMembersInOrderAndLookupsTakeTheFirst) {
  const auto doc = JsonDocument::Parse(R"({"code": "first", "code": "second"})");
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(doc->Root().MemberCount(), 2u);
  EXPECT_EQ(LookupText(doc.get(), "code"), "first");
  EXPECT_EQ(MemberValueText(*doc, *FindMember(doc->Root(), "code")), "first");
}

TEST(JsonParserTest, SurvivesDeepNestingWithoutRecursing) {
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  const auto doc = JsonDocument::Parse(deep);
  ASSERT_NE(doc, nullptr);
  EXPECT_TRUE(doc->Root().IsArray());
  EXPECT_EQ(JsonDocument::Parse(std::string(200000, '{')), nullptr);
}

TEST(JsonParserTest, AnEmptyObjectDocumentIsAnObjectWithoutMembers) {
  const auto doc = JsonDocument::EmptyObject();
  ASSERT_TRUE(doc->Doc().IsObject());
  EXPECT_EQ(doc->Doc().MemberCount(), 0u);
}

}  // namespace
}  // namespace quirada
