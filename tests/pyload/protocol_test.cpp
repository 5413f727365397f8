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

TEST(RequestTextTest, IsOneCompactObjectEndedByANewlineAndRefusesStringsThatAreNotUtf8) {
  std::string failure;
  EXPECT_EQ("{\"method\":\"verify_account\",\"params\":{\"password\":\"s\\\"\\\\\\n\xc3\xa9\"}}\n",
            RequestText("verify_account", Params("s\"\\\n\xc3\xa9"), &failure).value());
  EXPECT_TRUE(RequestText("m", Params("\xf0\x9f\x94\x91 \xe2\x82\xac"), &failure).has_value());
  EXPECT_EQ("", failure);
  for (const std::string bad : {"\xff", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
    EXPECT_FALSE(RequestText("m", Params(bad), &failure).has_value())
        << ::testing::PrintToString(bad);
    EXPECT_EQ("the request holds text that is not UTF-8", failure);
  }
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
           {"", nonsense},
           {"{\"result\": true", nonsense},
           {"{\"result\": true} x", nonsense},
           {"{\"result\": true, \"result\": false}", nonsense},
           {"{\"result\": " + std::string(5000, '[') + std::string(5000, ']') + "}", nonsense}}) {
    failure.clear();
    EXPECT_FALSE(ResultOf(answer, &failure).has_value()) << answer.substr(0, 40);
    EXPECT_EQ(why, failure) << answer.substr(0, 40);
  }
}

TEST(ResultReadingTest, OnlyTrueIsDoneAndOnlyOneTwoOrThreeIsAVerification) {
  EXPECT_TRUE(IsDone(Json::Value(true)));
  for (const char* other : {"false", "1", "\"true\"", "null", "[true]"}) {
    EXPECT_FALSE(IsDone(ParseJson(other))) << other;
  }
  for (const int answer : {1, 2, 3}) EXPECT_EQ(answer, VerificationOf(Json::Value(answer)));
  for (const char* other : {"0", "4", "-1", "2.5", "\"2\"", "true", "null"}) {
    EXPECT_EQ(0, VerificationOf(ParseJson(other))) << other;
  }
}

TEST(ResultReadingTest, AccountsAreAnArrayOfObjectsWithStringNamesOrNothingIsTaken) {
  const Json::Value accounts = ParseJson(R"([{"pluginname": "A", "type": "A"}, {"login": "x"}])");
  Json::Value out;
  EXPECT_TRUE(TakeAccounts(Json::Value(accounts), &out));
  EXPECT_EQ(accounts, out);
  for (const char* bad : {R"({"A": {"type": "A"}})", R"([{"type": "A"}, 3])",
                          R"([{"pluginname": 5}])", R"([{"type": null}])", "null"}) {
    Json::Value untouched("before");
    EXPECT_FALSE(TakeAccounts(ParseJson(bad), &untouched)) << bad;
    EXPECT_EQ(Json::Value("before"), untouched) << bad;
  }
}

}  // namespace
}  // namespace vexodl::pyload::internal
