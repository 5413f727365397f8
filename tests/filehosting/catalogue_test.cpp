// Host JSON objects as each kind writes them from its back-end's description, and the merged
// catalogue that lists them.
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "handler.h"
#include "host/pyload.h"
#include "host/vexo.h"
#include "test_helpers.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using vexodl::fake::ErrorLine;
using vexodl::fake::ParseJson;
using vexodl::fake::Pyload;
using vexodl::fake::SyslogLines;
using vexodl::fake::Vexohost;
using vexodl::filehosting::host::Vexo;
using PyloadHost = vexodl::filehosting::host::Pyload;

// The JSON object that a host of kind Host named "h", holding a password and a source, writes
// after reading `description`.
template <typename Host>
Json::Value Written(const char* description) {
  Host host("h");
  host.password = "secret";
  host.source = "/srv/plugin.tgz";
  host.fromJson(ParseJson(description));
  Json::Value out;
  host.toJson(out);
  return out;
}

TEST(HostJsonTest, EachKindWritesItsKeysFromItsBackEndsDescription) {
  const struct {
    Json::Value (*written)(const char*);
    const char* description;
    const char* expected;
  } rows[] = {
      {Written<Vexo>, R"({"name": "x", "username": "u", "description": "d", "version": "1",
         "newversion": "1.1", "enable": true, "user": false, "authentication": "no",
         "password": "p", "premium": true})",
       R"({"name": "h", "displayname": "h", "type": "vexo", "enabled": true, "description": "d",
         "version": "1", "newversion": "1.1", "username": "u", "removable": false,
         "auth_needed": false})"},
      {Written<Vexo>, R"({"enable": "true", "user": 0, "authentication": "No", "version": 2,
         "newversion": "2", "description": null})",
       R"({"name": "h", "displayname": "h", "type": "vexo", "enabled": false, "version": "2",
         "removable": true, "auth_needed": true})"},
      {Written<PyloadHost>, R"({"login": "", "valid": true, "use_premium": true})",
       R"({"name": "h", "displayname": "h", "type": "pyload", "enabled": true,
         "description": "pyLoad Plugin", "removable": false, "auth_needed": true})"},
      {Written<PyloadHost>, R"({"login": "me", "valid": true, "premium": false,
         "use_premium": true, "trafficleft": "9 GiB", "version": "0.4", "password": "p"})",
       R"({"name": "h", "displayname": "h", "type": "pyload", "enabled": true,
         "description": "pyLoad Plugin", "version": "0.4", "username": "me",
         "removable": false, "auth_needed": true, "valid": true, "trafficleft": "9 GiB"})"},
      {Written<PyloadHost>, R"({"login": "me", "premium": true, "can_be_disabled": false,
         "is_tested": false, "valid": "true", "use_premium": 1})",
       R"({"name": "h", "displayname": "h", "type": "pyload", "enabled": false,
         "description": "pyLoad Plugin", "username": "me", "premium": true, "removable": false,
         "can_be_disabled": false, "auth_needed": true, "experimental": true, "valid": false,
         "trafficleft": ""})"}};
  for (const auto& row : rows) {
    EXPECT_EQ(ParseJson(row.expected), row.written(row.description)) << row.description;
  }
  Json::Value array(Json::arrayValue);
  EXPECT_THROW(Vexo("h").toJson(array), Json::LogicError);
}

// "type:name" of every host that one of the two listings gives, in order.
std::vector<std::string> Listed(bool as_json) {
  std::vector<std::string> names;
  if (!as_json) {
    for (const auto& host : vexodl::filehosting::Handler().List()) {
      names.push_back(host->type + ":" + host->name);
    }
    return names;
  }
  Json::Value out;
  vexodl::filehosting::Handler().List(out);
  for (const Json::Value& host : out) {
    names.push_back(host["type"].asString() + ":" + host["name"].asString());
  }
  return names;
}

class CatalogueTest : public vexodl::fake::BackendTest {};

TEST_F(CatalogueTest, ListsNamedElementsPyloadFirstAndNoNativeYoutube) {
  Vexohost().Fill("List", ParseJson(R"([{"description": "no name"}, {"name": ""}, {"name": null},
      {"name": 3}, "a", [{"name": "nested"}], {"name": "youtube"}, {"name": "YouTube"},
      {"name": "dup"}, {"name": "dup"}])"),
                  0);
  Pyload().Fill("CommandlineHandler.GetAccounts", ParseJson(R"([{"pluginname": "youtube"},
      {"pluginname": ""}, {"type": "NoPluginName"}, {"pluginname": 5}, "junk",
      {"pluginname": "Twin"}, {"pluginname": "Twin"}])"),
                1);
  Pyload().Return("Ready", 1);  // the catalogue takes the command line all the same
  for (bool as_json : {false, true}) {
    Vexohost().ClearEvents();
    Pyload().ClearEvents();
    EXPECT_THAT(Listed(as_json), ElementsAre("pyload:youtube", "pyload:Twin", "pyload:Twin",
                                             "vexo:YouTube", "vexo:dup", "vexo:dup"));
    EXPECT_THAT(Vexohost().Events(), ElementsAre(R"("".List())"));
    EXPECT_THAT(Pyload().Events(), ElementsAre("CommandlineHandler.GetAccounts(false)"));
  }
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(CatalogueTest, AFailingBackEndIsLoggedAndLeftOut) {
  for (bool as_json : {false, true}) {
    for (int failing = 0; failing < 4; ++failing) {  // bit 0: pyLoad fails, bit 1: native
      SetUp();
      Pyload().Fill("CommandlineHandler.GetAccounts", ParseJson(R"([{"pluginname": "P"}])"),
                    (failing & 1) ? 0 : 1);
      Vexohost().Fill("List", ParseJson(R"([{"name": "V"}])"), 0);
      if (failing & 2) Vexohost().Throw("List", vexodl::fake::RaiseVexoError(7, "no store"));
      std::vector<std::string> names;
      std::vector<::testing::Matcher<vexodl::fake::LogLine>> lines;
      if (!(failing & 1)) names.push_back("pyload:P");
      if (failing & 1) {
        lines.push_back(ErrorLine("host/pyload.cpp", "Failed to get info of accounts"));
        lines.push_back(ErrorLine("handler.cpp", "Failed to list hosts of pyload. Error: 1614"));
      }
      if (!(failing & 2)) names.push_back("vexo:V");
      if (failing & 2)
        lines.push_back(ErrorLine("handler.cpp", "Failed to list hosts of vexo. Error: 7"));
      EXPECT_THAT(Listed(as_json), ElementsAreArray(names)) << failing << as_json;
      EXPECT_THAT(SyslogLines(), ElementsAreArray(lines)) << failing << as_json;
    }
  }
}

}  // namespace
