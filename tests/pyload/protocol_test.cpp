// The texts on the wire: requests as the client writes them, answers as it reads them.
#include "protocol.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "json_text.h"

namespace vexodl::pyload::internal {
namespace {

using fake::ParseJson;

Json::Value Params(const std::string& password) {
  Json::Value params;
  params["password"] = password;
  return params;
}

// Which bytes are UTF-8: tests/common/utf8_test.cpp.
TEST(RequestTextTest, IsOneCompactObjectEndedByANewlineAndRefusesStringsThatAreNotUtf8) {
  std::string failure;
  EXPECT_EQ("{\"method\":\"verify_account\",\"params\":{\"password\":\"s\\\"\\\\\\n\xc3\xa9\"}}\n",
            RequestText("verify_account", Params("s\"\\\n\xc3\xa9"), &failure).value());
  EXPECT_EQ("", failure);
  EXPECT_FALSE(RequestText("m", Params("a\xc3"), &failure).has_value());
  EXPECT_EQ("the request holds text that is not UTF-8", failure);
}

// Anything else is no result, and the failure says whether pyLoad refused or answered nonsense.
TEST(ResultOfTest, TakesOnlyTheResultOfOneObjectWithoutError) {
  std::string failure;
  EXPECT_EQ(ParseJson("[{\"type\": \"a\"}]"),
            ResultOf(" {\"result\":[{\"type\":\"a\"}]}\n", &failure));
  EXPECT_EQ("", failure);
  const std::string nonsense = "the answer is not one JSON object with a result";
  for (const auto& [answer, why] : std::vector<std::pair<std::string, std::string>>{
           {"{\"error\": {\"name\": \"NoAccount\", \"message\": \"x\"}}",
            "no such plug-in or account"},
           {"{\"error\": {\"name\": \"UnknownPlugin\"}}", "no such plug-in or account"},
           {"{\"error\": {\"name\": \"Store\\u001bError\", \"message\": \"disk \\\"full\\\"\"}}",
            "pyLoad answered Store\\u001bError: disk \\\"full\\\""},
           {"{\"error\": {\"name\": \"Injected\", \"message\": \"" + std::string(300, 'm') + "\"}}",
            "pyLoad answered Injected: " + std::string(200, 'm') + "..."},
           {"{\"result\": true, \"error\": null}", "pyLoad answered an error"},
           {"{\"answer\": true}", nonsense},
           {"[true]", nonsense},
           {"{\"result\": true} x", nonsense}}) {
    failure.clear();
    EXPECT_FALSE(ResultOf(answer, &failure).has_value()) << answer.substr(0, 40);
    EXPECT_EQ(why, failure) << answer.substr(0, 40);
  }
}

TEST(ResultReadingTest, OnlyTrueIsDone) {
  EXPECT_TRUE(IsDone(Json::Value(true)));
  EXPECT_FALSE(IsDone(Json::Value(false)));
}

}  // namespace
}  // namespace vexodl::pyload::internal
