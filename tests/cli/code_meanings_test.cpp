// The rows of MeaningOf are made from common/error_codes.json; what no row says by itself is which
// one a code falls to when several hold it, or none.
#include "code_meanings.h"

#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace vexodl::cli {
namespace {

TEST(MeaningOfTest, ACodeTakesItsOwnRowElseTheNarrowestRangeThatHoldsIt) {
  const std::pair<int, std::string> cases[] = {
      {2401, "the update index's signature is malformed or not by a trusted key"},
      {2405, "installing, updating or verifying a native host failed"},
      {2299, "the native host-plugin service failed"},
      {2600, "the pyLoad client failed"},
      {1999, "unknown error"},
      {3000, "unknown error"},
  };
  for (const auto& [code, meaning] : cases) EXPECT_EQ(meaning, MeaningOf(code)) << code;
}

}  // namespace
}  // namespace vexodl::cli
