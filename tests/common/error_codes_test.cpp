// The one table of codes and meanings, held against the enumerations it must cover.
#include "error_codes.h"

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>

namespace vexodl::common {
namespace {

using Codes = std::set<std::pair<int, int>>;  // first and last code of each row

// Every match of `pattern` in the lines of source file `path` that `keep` accepts, as the first
// and last code: group 1, and group 2 when it matched.
template <typename Keep>
Codes Matches(const std::string& path, const std::regex& pattern, Keep keep) {
  std::ifstream in(std::string(VEXODL_SOURCE_DIR) + "/" + path);
  Codes codes;
  for (std::string line; std::getline(in, line);) {
    const std::string text = keep(line);
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it) {
      const int first = std::stoi((*it)[1]);
      codes.emplace(first, (*it)[2].matched ? std::stoi((*it)[2]) : first);
    }
  }
  EXPECT_FALSE(codes.empty()) << path;
  return codes;
}

Codes Rows() {
  Codes rows;
  for (const CodeMeaning& row : kCodeMeanings) rows.emplace(row.first, row.last);
  return rows;
}

TEST(ErrorCodesTest, EveryEnumeratorAndNoOtherCodeHasARowOfItsOwnThatMeaningOfFinds) {
  Codes enumerated;
  for (const char* path : {"filehosting/error/vexo_error.h", "common/error_codes.h"}) {
    const Codes numbers = Matches(path, std::regex(R"(\b[A-Za-z_]\w* = (\d+),)"),
                                  [](const std::string& line) { return line; });
    for (const auto& code : numbers) EXPECT_EQ(1u, Rows().count(code)) << path << " " << code.first;
    enumerated.insert(numbers.begin(), numbers.end());
  }
  for (const CodeMeaning& row : kCodeMeanings) {
    if (row.first != row.last) continue;
    EXPECT_EQ(1u, enumerated.count({row.first, row.first})) << row.first << " is no enumerator";
    EXPECT_STREQ(row.text, MeaningOf(row.first)) << row.first;
  }
  EXPECT_STREQ("installing, updating or verifying a native host failed", MeaningOf(2405));
  EXPECT_STREQ("the pyLoad client failed", MeaningOf(2600));
  EXPECT_STREQ("unknown error", MeaningOf(3000));
}

}  // namespace
}  // namespace vexodl::common
