// The one table of codes and meanings, held against the enumerations it must cover and the code
// tables of the documents.
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

std::string SourceFile(const std::string& path) {
  std::ifstream in(std::string(VEXODL_SOURCE_DIR) + "/" + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Codes Rows() {
  Codes rows;
  for (const CodeMeaning& row : kCodeMeanings) rows.emplace(row.first, row.last);
  return rows;
}

// The numbers of the enumerators in the C++ header `path`.
std::set<int> Enumerators(const std::string& path) {
  const std::string text = SourceFile(path);
  static const std::regex enumerator(R"(\b[A-Za-z_]\w* = (\d+),)");
  std::set<int> numbers;
  for (std::sregex_iterator it(text.begin(), text.end(), enumerator), end; it != end; ++it) {
    numbers.insert(std::stoi((*it)[1]));
  }
  return numbers;
}

// The codes in the first column of every markdown table of `path` whose first column is "code":
// a number, several separated by commas, or a range "first-last".
Codes DocumentedCodes(const std::string& path) {
  std::istringstream text(SourceFile(path));
  static const std::regex code(R"((\d+)(?:-(\d+))?)");
  Codes codes;
  bool in_table = false;
  for (std::string line; std::getline(text, line);) {
    if (line.rfind("| code |", 0) == 0) {
      in_table = true;
      continue;
    }
    in_table = in_table && line.rfind("|", 0) == 0;
    if (!in_table || line.rfind("| ---", 0) == 0) continue;
    const std::string cell = line.substr(1, line.find('|', 1) - 1);
    for (std::sregex_iterator it(cell.begin(), cell.end(), code), end; it != end; ++it) {
      const int first = std::stoi((*it)[1]);
      codes.emplace(first, (*it)[2].matched ? std::stoi((*it)[2]) : first);
    }
  }
  return codes;
}

TEST(ErrorCodesTest, EveryEnumeratorAndNoOtherCodeHasARowOfItsOwnThatMeaningOfFinds) {
  std::set<int> enumerated;
  for (const char* path : {"filehosting/error/vexo_error.h", "common/error_codes.h"}) {
    const std::set<int> numbers = Enumerators(path);
    EXPECT_GE(numbers.size(), 2u) << path;
    for (const int code : numbers) EXPECT_EQ(1u, Rows().count({code, code})) << path << " " << code;
    enumerated.insert(numbers.begin(), numbers.end());
  }
  for (const CodeMeaning& row : kCodeMeanings) {
    if (row.first == row.last) {
      EXPECT_EQ(1u, enumerated.count(row.first)) << row.first << " is in no enumeration";
      EXPECT_STREQ(row.text, MeaningOf(row.first)) << row.first;
    }
  }
  EXPECT_STREQ("installing, updating or verifying a native host failed", MeaningOf(2405));
  EXPECT_STREQ("the pyLoad client failed", MeaningOf(2600));
  EXPECT_STREQ("unknown error", MeaningOf(3000));
}

TEST(ErrorCodesTest, TheDocumentsListEveryRowAndNoOtherCode) {
  const Codes rows = Rows();
  Codes documented;
  for (const char* path : {"README.md", "docs/vexohost.md", "docs/pyload-protocol.md"}) {
    const Codes codes = DocumentedCodes(path);
    EXPECT_FALSE(codes.empty()) << path;
    for (const auto& [first, last] : codes) {
      EXPECT_EQ(1u, rows.count({first, last})) << path << " lists " << first << "-" << last;
    }
    documented.insert(codes.begin(), codes.end());
  }
  for (const auto& [first, last] : rows) {
    EXPECT_EQ(1u, documented.count({first, last})) << "no document lists " << first << "-" << last;
  }
}

}  // namespace
}  // namespace vexodl::common
