#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "json/json_value.h"

using namespace morvanix;

namespace {

std::vector<std::string> keysOf(const JsonValue& value) {
  std::vector<std::string> keys;
  for (const auto& entry : value.members()) keys.push_back(entry.first);
  return keys;
}

TEST(JsonValue, KindNumbersAreFixed) {
  const std::vector<std::pair<JsonKind, int>> kinds = {
      {JsonKind::Null, 0},  {JsonKind::Object, 1},  {JsonKind::Array, 2},  {JsonKind::String, 3},
      {JsonKind::Float, 4}, {JsonKind::Integer, 5}, {JsonKind::Boolean, 6}};
  for (const auto& [kind, number] : kinds) EXPECT_EQ(static_cast<int>(kind), number);
}

TEST(JsonValue, SetKindGivesEachKindsEmptyContent) {
  const std::vector<std::pair<JsonKind, std::string>> cases = {
      {JsonKind::Null, "null"},    {JsonKind::Object, "{\n\n}"},  {JsonKind::Array, "[]"},
      {JsonKind::String, "\"\""},  {JsonKind::Float, "0.000000"}, {JsonKind::Integer, "0"},
      {JsonKind::Boolean, "false"}};
  for (const auto& [kind, text] : cases) {
    JsonValue value = kind == JsonKind::Integer ? JsonValue("x") : JsonValue::fromInteger(9);
    value.setKind(kind);
    EXPECT_EQ(value.kind(), kind);
    EXPECT_EQ(value.dump(), text);
  }
}

TEST(JsonValue, SetKindToTheSameKindKeepsContent) {
  JsonValue object = makeObject({"a", "1", "b", "2"});
  object.setKind(JsonKind::Object);
  EXPECT_EQ(keysOf(object), (std::vector<std::string>{"a", "b"}));
  object.setKind(JsonKind::Array);
  EXPECT_TRUE(object.elements().empty());

  JsonValue text("kept");
  text.setKind(JsonKind::String);
  EXPECT_EQ(text.stringValue(), "kept");
  JsonValue number = JsonValue::fromInteger(7);
  number.setKind(JsonKind::Integer);
  EXPECT_EQ(number.integerValue(), 7);
}

TEST(JsonValue, MemberOnAnotherKindDiscardsItAndAddsNull) {
  const std::vector<JsonValue> starts = {JsonValue("text"), JsonValue::fromInteger(3),
                                         JsonValue::fromFloat(1.5), JsonValue::fromBoolean(true),
                                         JsonValue()};
  for (JsonValue value : starts) {
    JsonValue& x = value.member("x");
    EXPECT_EQ(x.kind(), JsonKind::Null);
    EXPECT_EQ(value.kind(), JsonKind::Object);
    EXPECT_EQ(value.dump(), "{\n  \"x\" : null\n}");
  }
}

TEST(JsonValue, ReadingAMissingMemberAddsIt) {
  JsonValue object = makeObject({});
  EXPECT_EQ(object.member("id").kind(), JsonKind::Null);
  EXPECT_EQ(keysOf(object), std::vector<std::string>{"id"});
  EXPECT_EQ(object.dump(), "{\n  \"id\" : null\n}");
}

TEST(JsonValue, MemberReturnsTheStoredValueForWriting) {
  JsonValue object;
  object.member("a") = "1";
  object.member("a") = JsonValue::fromInteger(2);
  EXPECT_EQ(object.members().size(), 1u);
  EXPECT_EQ(object.member("a").integerValue(), 2);
}

TEST(JsonValue, ElementGrowsWithNulls) {
  JsonValue value;
  JsonValue& last = value.element(3);
  EXPECT_EQ(value.kind(), JsonKind::Array);
  ASSERT_EQ(value.elements().size(), 4u);
  for (const JsonValue& element : value.elements()) EXPECT_EQ(element.kind(), JsonKind::Null);
  last = "end";
  EXPECT_EQ(value.dump(), "[null, null, null, \"end\"]");
  value.element(1) = JsonValue::fromInteger(1);
  EXPECT_EQ(value.elements().size(), 4u);
  EXPECT_EQ(value.dump(), "[null, 1, null, \"end\"]");
}

TEST(JsonValue, ElementReferencesSurviveGrowth) {
  JsonValue value;
  JsonValue& first = value.element(0);
  first = "first";
  value.element(5000);
  EXPECT_EQ(first.stringValue(), "first");
}

TEST(JsonValue, MakeObjectRules) {
  struct Case {
    const char* name;
    JsonValue object;
    std::vector<std::string> keys;
    std::string dump;
  };
  const std::vector<Case> cases = {
      {"PairsIterateInKeyOrder",
       makeObject({"b", "2", "a", "1"}),
       {"a", "b"},
       "{\n  \"a\" : \"1\",\n  \"b\" : \"2\"\n}"},
      {"NonStringKeysShareTheEmptyKey",
       makeObject({JsonValue::fromInteger(1), "first", JsonValue(), "second"}),
       {""},
       "{\n  \"\" : \"second\"\n}"},
      {"KeyIsStoredEscaped", makeObject({"a\"b", "v"}), {"a\\\"b"}, "{\n  \"a\\\"b\" : \"v\"\n}"},
      {"LaterDuplicateWins", makeObject({"k", "v", "k", "w"}), {"k"}, "{\n  \"k\" : \"w\"\n}"},
      {"UnpairedLastValueIgnored", makeObject({"a", "1", "b"}), {"a"}, "{\n  \"a\" : \"1\"\n}"},
      {"EmptyList", makeObject({}), {}, "{\n\n}"},
      {"ValuesOfAnyKind",
       makeObject({"n", JsonValue::fromInteger(5), "o", makeObject({"i", "x"})}),
       {"n", "o"},
       "{\n  \"n\" : 5,\n  \"o\" : {\n    \"i\" : \"x\"\n  }\n}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.object.kind(), JsonKind::Object);
    EXPECT_EQ(keysOf(c.object), c.keys);
    EXPECT_EQ(c.object.dump(), c.dump);
  }
}

TEST(JsonValue, AsTextIsEscapedStringOrEmpty) {
  const std::vector<std::pair<JsonValue, std::string>> cases = {
      {JsonValue("a\tb"), "a\\tb"},
      {JsonValue("say \"hi\"\n"), "say \\\"hi\\\"\\n"},
      {JsonValue("plain"), "plain"},
      {JsonValue::fromFloat(1.5), ""},
      {JsonValue::fromInteger(3), ""},
      {JsonValue::fromBoolean(true), ""},
      {JsonValue(), ""},
      {makeObject({"a", "b"}), ""},
      {[] {
         JsonValue v;
         v.element(0) = "x";
         return v;
       }(),
       ""},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(value.asText(), text);
}

TEST(JsonValue, ReadAccessorsGiveZeroForOtherKinds) {
  JsonValue text("7");
  EXPECT_EQ(text.integerValue(), 0);
  EXPECT_EQ(text.floatValue(), 0.0);
  EXPECT_FALSE(text.booleanValue());
  EXPECT_TRUE(text.members().empty());
  EXPECT_TRUE(text.elements().empty());
  EXPECT_EQ(JsonValue::fromInteger(7).stringValue(), "");
  EXPECT_EQ(JsonValue::fromFloat(2.5).floatValue(), 2.5);
  EXPECT_TRUE(JsonValue::fromBoolean(true).booleanValue());
}

TEST(JsonValue, TextAssignmentSwitchesToString) {
  JsonValue value = makeObject({"a", "1"});
  value = "text";
  EXPECT_EQ(value.kind(), JsonKind::String);
  EXPECT_EQ(value.stringValue(), "text");
  value = std::string("other");
  EXPECT_EQ(value.stringValue(), "other");
  value = static_cast<const char*>(nullptr);
  EXPECT_EQ(value.kind(), JsonKind::String);
  EXPECT_EQ(value.stringValue(), "");
  EXPECT_EQ(JsonValue(std::string("a\0b", 3)).stringValue().size(), 3u);
}

TEST(JsonValue, CopiesAreDeepAndIndependent) {
  JsonValue source = makeObject({"a", "1"});
  source.member("list").element(0).member("deep") = "x";
  JsonValue copy(source);
  JsonValue assigned;
  assigned = source;
  copy.member("a") = "changed";
  copy.member("list").element(0).member("deep") = "changed";
  assigned.member("list").element(1) = "added";
  EXPECT_EQ(source.member("a").stringValue(), "1");
  EXPECT_EQ(source.member("list").element(0).member("deep").stringValue(), "x");
  EXPECT_EQ(source.member("list").elements().size(), 1u);
  EXPECT_EQ(copy.member("list").element(0).member("deep").stringValue(), "changed");
}

TEST(JsonValue, MovesLeaveTheSourceNull) {
  JsonValue source = makeObject({"a", "1"});
  JsonValue moved(std::move(source));
  EXPECT_EQ(source.kind(), JsonKind::Null);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(moved.member("a").stringValue(), "1");
  JsonValue target("old");
  target = std::move(moved);
  EXPECT_EQ(moved.kind(), JsonKind::Null);  // NOLINT(bugprone-use-after-move)
  EXPECT_EQ(target.member("a").stringValue(), "1");
}

TEST(JsonValue, AssignmentFromItselfOrItsOwnContent) {
  JsonValue value = makeObject({"a", "1"});
  JsonValue& alias = value;
  value = alias;
  EXPECT_EQ(value.dump(), "{\n  \"a\" : \"1\"\n}");
  value = std::move(alias);
  EXPECT_EQ(value.dump(), "{\n  \"a\" : \"1\"\n}");

  // The source lives inside the target: it must be read before the target lets go of it.
  JsonValue outer;
  outer.member("inner").member("k") = "v";
  outer = outer.member("inner");
  EXPECT_EQ(outer.dump(), "{\n  \"k\" : \"v\"\n}");
  JsonValue list;
  list.element(0).element(0) = "x";
  list = std::move(list.element(0));
  EXPECT_EQ(list.dump(), "[\"x\"]");
}

// Built in code, a document can nest far deeper than any parsed one; copying and destroying it
// must not recurse once per level.
TEST(JsonValue, VeryDeepValuesCopyAndDestroy) {
  constexpr int kDepth = 100000;
  JsonValue root;
  JsonValue* cursor = &root;
  for (int i = 0; i < kDepth; ++i) cursor = &cursor->element(0);
  *cursor = "bottom";
  JsonValue copy(root);
  root = JsonValue();
  const JsonValue* walk = &copy;
  int levels = 0;
  while (walk->kind() == JsonKind::Array) {
    walk = &walk->elements().front();
    ++levels;
  }
  EXPECT_EQ(levels, kDepth);
  EXPECT_EQ(walk->stringValue(), "bottom");

  JsonValue objects;
  JsonValue* inner = &objects;
  for (int i = 0; i < kDepth; ++i) inner = &inner->member("k").element(1);
}

}  // namespace
