// The strict JSON reader through which both back-ends read every JSON text from outside.
#include "strict_json.h"

#include <string>

#include <gtest/gtest.h>

namespace vexodl::common {
namespace {

constexpr std::size_t kRoomy = 1 << 20;

std::string Nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(StrictJsonTest, ReadsOneObjectOrArray) {
  const std::optional<Json::Value> object = ParseStrictJson(" {\"a\": [1, \"x\", null]}\n", 100);
  ASSERT_TRUE(object.has_value());
  EXPECT_EQ("x", (*object)["a"][1].asString());
  EXPECT_TRUE(ParseStrictJson("[]", 100).has_value());
}

TEST(StrictJsonTest, RefusesWhatIsNotStrictJson) {
  for (const char* text :
       {"", "1", "\"text\"", "null", "{} {}", "{}x", "{\"a\": 1, \"a\": 2}", "{\"a\": 1} // note",
        "/* note */ {}", "{'a': 1}", "[NaN]", "[1,]", "{\"a\": 1,}", "{\"a\" 1}"}) {
    EXPECT_FALSE(ParseStrictJson(text, 100).has_value()) << text;
  }
}

TEST(StrictJsonTest, RefusesNestingPastTheLimitWithoutThrowing) {
  EXPECT_TRUE(ParseStrictJson(Nested(kMaxJsonDepth), kRoomy).has_value());
  for (const std::size_t depth : {std::size_t{kMaxJsonDepth} + 1, std::size_t{2000}}) {
    EXPECT_FALSE(ParseStrictJson(Nested(depth), kRoomy).has_value()) << depth;
  }
  EXPECT_TRUE(ParseStrictJson("[1]", 100).has_value());  // the thread's reader, after a throw
}

TEST(StrictJsonTest, RefusesTextLongerThanTheLimit) {
  EXPECT_TRUE(ParseStrictJson("[1, 2]", 6).has_value());
  EXPECT_FALSE(ParseStrictJson("[1, 2]", 5).has_value());
}

}  // namespace
}  // namespace vexodl::common
