// The texts on the wire: requests as the client writes them, answers as it reads them.
#include "protocol.h"

#include <string>

#include <gtest/gtest.h>

#include "pyload_test_support.h"

namespace vexodl::pyload::internal {
namespace {

using testing::ParseJson;

TEST(RequestTextTest, IsOneCompactObjectWithMethodAndParamsEndedByANewline) {
  Json::Value params;
  params["plugin"] = "Uploaded";
  params["login"] = "me";
  params["password"] = "s\"e\\c\nr\xc3\xa9t";
  EXPECT_EQ(
      "{\"method\":\"update_account\",\"params\":{\"login\":\"me\",\"password\":"
      "\"s\\\"e\\\\c\\nr\xc3\xa9t\",\"plugin\":\"Uploaded\"}}\n",
      RequestText("update_account", params).value());
  EXPECT_EQ("{\"method\":\"get_server_version\",\"params\":{}}\n",
            RequestText("get_server_version", Json::Value(Json::objectValue)).value());
}

TEST(RequestTextTest, RefusesStringsThatAreNotUtf8) {
  for (const std::string bad : {"\xff", "a\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
    Json::Value params;
    params["password"] = bad;
    EXPECT_FALSE(RequestText("verify_account", params).has_value())
        << ::testing::PrintToString(bad);
  }
  Json::Value params;
  params["password"] = "\xf0\x9f\x94\x91 \xe2\x82\xac";  // four- and three-byte forms
  EXPECT_TRUE(RequestText("verify_account", params).has_value());
}

TEST(ResultOfTest, TakesTheResultOfAnObjectWithResultAndNoError) {
  EXPECT_EQ(Json::Value(true), ResultOf("{\"result\": true}\n").value());
  EXPECT_EQ(ParseJson("[{\"type\": \"a\"}]"),
            ResultOf(" {\"result\":[{\"type\":\"a\"}]} ").value());
  EXPECT_EQ(Json::Value(), ResultOf("{\"result\": null}").value());
}

TEST(ResultOfTest, RefusesErrorsGarbageTruncationAndTrailingData) {
  for (const std::string answer :
       {"{\"error\": {\"name\": \"NoAccount\", \"message\": \"x\"}}",
        "{\"result\": true, \"error\": null}", "{\"answer\": true}", "[true]", "true", "",
        "<html>this is not an answer</html>", "{\"result\": tru", "{\"result\": true",
        "{\"result\": true} {\"result\": true}", "{\"result\": true} x",
        "{\"result\": true, \"result\": false}"}) {
    EXPECT_FALSE(ResultOf(answer).has_value()) << answer;
  }
}

TEST(ResultOfTest, RefusesNestingDeeperThanTheParserAllowsWithoutThrowing) {
  for (const std::size_t depth : {100, 5000}) {
    const std::string deep =
        "{\"result\": " + std::string(depth, '[') + std::string(depth, ']') + "}";
    EXPECT_FALSE(ResultOf(deep).has_value()) << depth;
  }
}

TEST(ResultReadingTest, OnlyTrueIsDone) {
  EXPECT_TRUE(IsDone(Json::Value(true)));
  for (const Json::Value& other : {Json::Value(false), Json::Value(1), Json::Value("true"),
                                   Json::Value(), ParseJson("[true]")}) {
    EXPECT_FALSE(IsDone(other)) << testing::CompactJson(other);
  }
}

TEST(ResultReadingTest, VerificationIsOneTwoOrThreeAndZeroForAnythingElse) {
  EXPECT_EQ(1, VerificationOf(Json::Value(1)));
  EXPECT_EQ(2, VerificationOf(Json::Value(2)));
  EXPECT_EQ(3, VerificationOf(Json::Value(3)));
  for (const Json::Value& other :
       {Json::Value(0), Json::Value(4), Json::Value(-1), Json::Value(2.5), Json::Value("2"),
        Json::Value(true), Json::Value()}) {
    EXPECT_EQ(0, VerificationOf(other)) << testing::CompactJson(other);
  }
}

TEST(ResultReadingTest, AccountsMustBeAnArrayOfObjectsWithStringNames) {
  Json::Value out;
  EXPECT_TRUE(TakeAccounts(ParseJson("[]"), &out));
  EXPECT_EQ(ParseJson("[]"), out);

  const Json::Value accounts =
      ParseJson(R"([{"pluginname": "A", "type": "A", "valid": true}, {"login": "x"}])");
  EXPECT_TRUE(TakeAccounts(Json::Value(accounts), &out));
  EXPECT_EQ(accounts, out);

  for (const char* bad : {R"({"A": {"type": "A"}})", R"([{"type": "A"}, 3])",
                          R"([{"pluginname": 5}])", R"([{"type": null}])", "null", "true"}) {
    Json::Value untouched("before");
    EXPECT_FALSE(TakeAccounts(ParseJson(bad), &untouched)) << bad;
    EXPECT_EQ(Json::Value("before"), untouched) << bad;
  }
}

}  // namespace
}  // namespace vexodl::pyload::internal
