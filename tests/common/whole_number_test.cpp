// The one reader of the numbers that both back-ends take from the environment.
#include "whole_number.h"

#include <gtest/gtest.h>

namespace vexodl::common {
namespace {

TEST(WholeNumberTest, TakesDigitsOnlyWithinTheRange) {
  EXPECT_EQ(1, ParseWholeNumber("1", 1, 600000));
  EXPECT_EQ(600000, ParseWholeNumber("600000", 1, 600000));
  EXPECT_EQ(7, ParseWholeNumber("007", 1, 600000));
  EXPECT_EQ(9223372036854775807, ParseWholeNumber("9223372036854775807", 0, 9223372036854775807));
  for (const char* text : {"", "0", "600001", " 10", "10 ", "+5", "-5", "1e3", "10ms", "0x10",
                           "99999999999999999999", "9223372036854775808"}) {
    EXPECT_EQ(std::nullopt, ParseWholeNumber(text, 1, 600000)) << '"' << text << '"';
  }
  EXPECT_EQ(std::nullopt, ParseWholeNumber("9223372036854775808", 0, 9223372036854775807));
}

}  // namespace
}  // namespace vexodl::common
