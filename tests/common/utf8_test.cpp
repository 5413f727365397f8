// The one UTF-8 check: pyLoad requests refuse what it refuses, the tool escapes it.
#include "utf8.h"

#include <string>

#include <gtest/gtest.h>

namespace vexodl::common {
namespace {

using ::testing::PrintToString;

TEST(Utf8Test, SequenceLengthIsTheWholeCharactersOrZero) {
  for (const std::string text :
       {"a", "\xc2\x80", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"}) {
    EXPECT_EQ(text.size(), Utf8SequenceLength(text + "x", 0)) << PrintToString(text);
  }
  // A stray continuation byte, overlong forms, a surrogate, past U+10FFFF, cut short.
  for (const std::string text :
       {"\x80", "\xc1\xbf", "\xe0\x9f\xbf", "\xf0\x8f\xbf\xbf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
        "\xf5\x80\x80\x80", "\xe2\x82", "\xe2\x28\xa1"}) {
    EXPECT_EQ(0u, Utf8SequenceLength(text, 0)) << PrintToString(text);
  }
  EXPECT_TRUE(IsUtf8("key \xf0\x9f\x94\x91 \xe2\x82\xac"));
  EXPECT_FALSE(IsUtf8("key \xf0\x9f\x94"));
}

}  // namespace
}  // namespace vexodl::common
