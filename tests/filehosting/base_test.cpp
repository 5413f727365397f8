// The common host JSON object, written through the native kind (which adds only "newversion").
#include "host/base.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/vexo.h"
#include "test_helpers.h"

namespace {

using vexodl::fake::ParseJson;
using vexodl::filehosting::host::Vexo;

TEST(HostJsonTest, FreshRecordWritesExactlySixKeys) {
  Vexo host("h");
  Json::Value out;
  host.toJson(out);
  EXPECT_EQ(ParseJson(R"({"name": "h", "displayname": "h", "type": "vexo", "enabled": false,
                          "removable": true, "auth_needed": true})"),
            out);
}

TEST(HostJsonTest, OptionalKeysAppearOnlyWhenTheirFieldSaysSo) {
  Vexo host("h");
  host.description = "d";
  host.username = "u";
  host.enabled = true;
  host.premium = true;
  host.removable = false;
  host.can_be_disabled = false;
  host.auth_needed = false;
  host.is_tested = false;
  Json::Value out;
  host.toJson(out);
  EXPECT_EQ(ParseJson(R"({"name": "h", "displayname": "h", "type": "vexo", "enabled": true,
                          "description": "d", "username": "u", "premium": true,
                          "removable": false, "can_be_disabled": false, "auth_needed": false,
                          "experimental": true})"),
            out);
}

TEST(HostJsonTest, PasswordAndSourceNeverAppear) {
  Vexo host("h");
  host.username = "u";
  host.password = "secret-password";
  host.source = "/tmp/plugin.tgz";
  Json::Value out;
  host.toJson(out);
  EXPECT_FALSE(out.isMember("password"));
  EXPECT_FALSE(out.isMember("source"));
  EXPECT_EQ(std::string::npos, vexodl::fake::Compact(out).find("secret-password"));
  EXPECT_EQ(std::string::npos, vexodl::fake::Compact(out).find("plugin.tgz"));
}

TEST(HostJsonTest, KeysNotWrittenKeepWhatTheOutputHeld) {
  Vexo host("h");
  Json::Value out = ParseJson(R"({"description": "old", "premium": true, "extra": [1],
                                  "enabled": true, "name": "old"})");
  host.toJson(out);
  EXPECT_EQ(ParseJson(R"({"name": "h", "displayname": "h", "type": "vexo", "enabled": false,
                          "removable": true, "auth_needed": true, "description": "old",
                          "premium": true, "extra": [1]})"),
            out);
}

TEST(HostJsonTest, OutputOfAnotherKindIsRefused) {
  Vexo host("h");
  for (const char* text : {"[]", "[1]", "\"s\"", "3", "true"}) {
    Json::Value out = ParseJson(text);
    EXPECT_THROW(host.toJson(out), Json::LogicError) << text;
    EXPECT_EQ(ParseJson(text), out) << text;
  }
}

}  // namespace
