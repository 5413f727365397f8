// The strict JSON reader through which both back-ends read every JSON text from outside.
#include "strict_json.h"

#include <string>

#include <gtest/gtest.h>

namespace vexodl::common {
namespace {

std::string Nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(StrictJsonTest, ReadsOneObjectOrArrayWithinTheDepthAndSizeLimits) {
  const std::optional<Json::Value> object = ParseStrictJson(" {\"a\": [1, \"x\", null]}\n", 100);
  ASSERT_TRUE(object.has_value());
  EXPECT_EQ("x", (*object)["a"][1].asString());
  EXPECT_TRUE(ParseStrictJson(Nested(kMaxJsonDepth), 1 << 20).has_value());
  EXPECT_TRUE(ParseStrictJson("[1, 2]", 6).has_value());
  EXPECT_FALSE(ParseStrictJson("[1, 2]", 5).has_value());
  for (const std::string& text : std::initializer_list<std::string>{
           "", "1", "\"text\"", "null", "{} {}", "{}x", "{\"a\": 1, \"a\": 2}",
           "{\"a\": 1} // note", "/* note */ {}", "{'a': 1}", "[NaN]", "[1,]", "{\"a\": 1,}",
           "{\"a\" 1}", Nested(kMaxJsonDepth + 1), Nested(2000)}) {
    EXPECT_FALSE(ParseStrictJson(text, 1 << 20).has_value()) << text;
  }
  EXPECT_TRUE(ParseStrictJson("[1]", 100).has_value());  // the thread's reader, after a throw
}

}  // namespace
}  // namespace vexodl::common
