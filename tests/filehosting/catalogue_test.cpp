// The catalogues: native hosts from the service's listing, pyLoad hosts from pyLoad's account
// list, one pyLoad host's account info, and the merged catalogue of the facade.
#include <memory>
#include <stdexcept>
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
using ::testing::IsEmpty;
using vexodl::fake::ErrorLine;
using vexodl::fake::LibraryErrorCode;
using vexodl::fake::ParseJson;
using vexodl::fake::Pyload;
using vexodl::fake::RaiseVexoError;
using vexodl::fake::SyslogLines;
using vexodl::fake::Vexohost;
using vexodl::filehosting::Handler;
using vexodl::filehosting::host::Base;
using vexodl::filehosting::host::Vexo;
using PyloadHost = vexodl::filehosting::host::Pyload;

// "type:name" of each host, in order.
std::vector<std::string> Names(const std::vector<std::shared_ptr<Base>>& hosts) {
  std::vector<std::string> names;
  for (const auto& host : hosts) names.push_back(host->type + ":" + host->name);
  return names;
}

class NativeCatalogueTest : public vexodl::fake::BackendTest {};

TEST_F(NativeCatalogueTest, EmptyListingsGiveNoHosts) {
  for (const char* listing : {"null", "[]", "{}", "\"text\"", "7"}) {
    Vexohost().Reset();
    Vexohost().Fill("List", ParseJson(listing), 0);
    EXPECT_THAT(Vexo::ListSupportedHosts(), IsEmpty()) << listing;
    EXPECT_THAT(Vexohost().Events(), ElementsAre("Handler(\"\")", "List(null)", "~Handler(\"\")"));
  }
}

TEST_F(NativeCatalogueTest, ElementsWithoutAUsableNameAndYoutubeAreLeftOut) {
  Vexohost().Fill("List", ParseJson(R"([
      {"description": "no name"}, {"name": ""}, {"name": null}, {"name": 3}, {"name": ["a"]},
      "a string", 12, null, [{"name": "nested"}],
      {"name": "youtube"}, {"name": "YouTube"}, {"name": "youtube2"},
      {"name": "dup", "version": "1"}, {"name": "dup", "version": "2"}])"),
                  0);
  const auto hosts = Vexo::ListSupportedHosts();
  EXPECT_THAT(Names(hosts), ElementsAre("vexo:YouTube", "vexo:youtube2", "vexo:dup", "vexo:dup"));
  EXPECT_EQ("1", hosts[2]->version);
  EXPECT_EQ("2", hosts[3]->version);
  EXPECT_NE(hosts[2], hosts[3]);
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(NativeCatalogueTest, EachHostIsFilledFromItsElement) {
  Vexohost().Fill("List", ParseJson(R"({
      "b": {"name": "beta", "version": "1.0", "newversion": "1.2", "enable": true,
            "user": true, "authentication": "no", "username": "u"},
      "a": {"name": "alpha", "enable": "yes"}})"),
                  0);
  const auto hosts = Vexo::ListSupportedHosts();
  ASSERT_THAT(Names(hosts), ElementsAre("vexo:alpha", "vexo:beta"));  // JsonCpp's member order
  Json::Value alpha;
  Json::Value beta;
  hosts[0]->toJson(alpha);
  hosts[1]->toJson(beta);
  EXPECT_EQ(ParseJson(R"({"name": "alpha", "displayname": "alpha", "type": "vexo",
                          "enabled": false, "removable": true, "auth_needed": true})"),
            alpha);
  EXPECT_EQ(ParseJson(R"({"name": "beta", "displayname": "beta", "type": "vexo", "enabled": true,
                          "version": "1.0", "newversion": "1.2", "username": "u",
                          "removable": true, "auth_needed": false})"),
            beta);
}

TEST_F(NativeCatalogueTest, ServiceErrorReachesTheCallerWithNoHosts) {
  Vexohost().Throw("List", RaiseVexoError(2003, "store unreadable"));
  try {
    Vexo::ListSupportedHosts();
    FAIL() << "nothing thrown";
  } catch (const vexodl::VexoError& error) {
    EXPECT_EQ(2003, error.code);
  }
  EXPECT_THAT(Vexohost().Events(), ElementsAre("Handler(\"\")", "List(null)", "~Handler(\"\")"));
}

class PyloadCatalogueTest : public vexodl::fake::BackendTest {};

TEST_F(PyloadCatalogueTest, ListsEveryNamedAccountOverTheCommandLine) {
  Pyload().Return("Ready", 1);  // not asked: the catalogue always uses the command line
  Pyload().Fill("CommandlineHandler.GetAccounts", ParseJson(R"([
      {"pluginname": "youtube", "login": "me", "valid": true, "trafficleft": "-1"},
      {"pluginname": ""}, {"type": "NoPluginName"}, {"pluginname": null}, {"pluginname": 5},
      "junk", {"pluginname": "Twin", "login": "a"}, {"pluginname": "Twin", "login": "b"}])"),
                1);
  const auto hosts = PyloadHost::ListSupportedHosts();
  EXPECT_THAT(Names(hosts), ElementsAre("pyload:youtube", "pyload:Twin", "pyload:Twin"));
  EXPECT_EQ("a", hosts[1]->username);
  EXPECT_EQ("b", hosts[2]->username);
  Json::Value youtube;
  hosts[0]->toJson(youtube);
  EXPECT_EQ(ParseJson(R"({"name": "youtube", "displayname": "youtube", "type": "pyload",
                          "enabled": false, "description": "pyLoad Plugin", "username": "me",
                          "removable": false, "auth_needed": true, "valid": true,
                          "trafficleft": "-1"})"),
            youtube);
  EXPECT_THAT(Pyload().Events(),
              ElementsAre("CommandlineHandler()", "CommandlineHandler.GetAccounts(null, false)",
                          "~CommandlineHandler()"));
}

TEST_F(PyloadCatalogueTest, EmptyAccountListsGiveNoHosts) {
  for (const char* list : {"null", "[]", "{}"}) {
    Pyload().Fill("CommandlineHandler.GetAccounts", ParseJson(list), 1);
    EXPECT_THAT(PyloadHost::ListSupportedHosts(), IsEmpty()) << list;
  }
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(PyloadCatalogueTest, UnreadableAccountListIsLoggedAndThrown) {
  Pyload().Fill("CommandlineHandler.GetAccounts", ParseJson(R"([{"pluginname": "x"}])"), 0);
  EXPECT_EQ(VEXODL_ERR_LIST_HOSTS, LibraryErrorCode([] { PyloadHost::ListSupportedHosts(); }));
  EXPECT_THAT(SyslogLines(),
              ElementsAre(ErrorLine("host/pyload.cpp", "Failed to get info of accounts")));
  EXPECT_EQ("~CommandlineHandler()", Pyload().Events().back());
}

class PyloadGetTest : public vexodl::fake::BackendTest {
 protected:
  void Accounts(const std::string& list, int result = 1) {
    Pyload().Fill("DomainSocketHandler.GetAccounts", ParseJson(list), result);
  }
};

TEST_F(PyloadGetTest, FirstAccountOfTheHostsTypeFillsTheRecordOverTheSocket) {
  Accounts(R"([{"type": "Other", "login": "x"}, {"type": "Host", "login": "second"},
               {"type": "Host", "login": "third"}])");
  PyloadHost host("Host");
  host.Get();
  EXPECT_EQ("second", host.username);
  EXPECT_THAT(Pyload().Events(),
              ElementsAre("DomainSocketHandler()", "DomainSocketHandler.GetAccounts(null, false)",
                          "~DomainSocketHandler()"));
}

TEST_F(PyloadGetTest, TypeMustMatchExactly) {
  Accounts(R"([{"type": "host", "login": "x"}, {"type": "Host ", "login": "y"},
               {"type": 1, "login": "z"}, "Host", {"pluginname": "Host", "login": "w"}])");
  PyloadHost host("Host");
  EXPECT_EQ(VEXODL_ERR_ACCOUNT_INFO, LibraryErrorCode([&] { host.Get(); }));
  EXPECT_EQ("", host.username);
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(PyloadGetTest, EmptyNameMatchesAMissingOrNullType) {
  Accounts(R"([{"type": "A", "login": "a"}, {"login": "untyped"}, {"type": "", "login": "e"}])");
  PyloadHost host("");
  host.Get();
  EXPECT_EQ("untyped", host.username);

  Accounts(R"([{"type": null, "login": "null-typed"}])");
  PyloadHost other("");
  other.Get();
  EXPECT_EQ("null-typed", other.username);
}

TEST_F(PyloadGetTest, NoAccountsIsCode100WithoutALogLine) {
  for (const char* list : {"null", "[]"}) {
    Accounts(list);
    PyloadHost host("Host");
    EXPECT_EQ(VEXODL_ERR_ACCOUNT_INFO, LibraryErrorCode([&] { host.Get(); })) << list;
  }
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(PyloadGetTest, UnreadableAccountListIsLoggedAndLeavesTheRecord) {
  Accounts(R"([{"type": "Host", "login": "x"}])", 0);
  PyloadHost host("Host");
  EXPECT_EQ(VEXODL_ERR_ACCOUNT_INFO, LibraryErrorCode([&] { host.Get(); }));
  EXPECT_EQ("", host.username);
  EXPECT_THAT(SyslogLines(),
              ElementsAre(ErrorLine("host/pyload.cpp", "Failed to get info of accounts")));
  EXPECT_EQ("~DomainSocketHandler()", Pyload().Events().back());
}

class MergedCatalogueTest : public vexodl::fake::BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    Pyload().Fill("CommandlineHandler.GetAccounts",
                  ParseJson(R"([{"pluginname": "Both", "login": "me", "valid": true,
                                 "use_premium": true, "trafficleft": "3"},
                                {"pluginname": "OnlyPyload"}])"),
                  1);
    Vexohost().Fill("List", ParseJson(R"([{"name": "Both", "version": "2", "enable": true},
                                          {"name": "youtube"}, {"name": "OnlyVexo"}])"),
                    0);
  }
};

TEST_F(MergedCatalogueTest, PyloadHostsComeFirstAndNothingIsMerged) {
  EXPECT_THAT(Names(Handler().List()),
              ElementsAre("pyload:Both", "pyload:OnlyPyload", "vexo:Both", "vexo:OnlyVexo"));
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(MergedCatalogueTest, JsonListAppendsOneObjectPerHost) {
  Json::Value out = ParseJson(R"(["kept"])");
  Handler().List(out);
  EXPECT_EQ(ParseJson(R"(["kept",
      {"name": "Both", "displayname": "Both", "type": "pyload", "enabled": true,
       "description": "pyLoad Plugin", "username": "me", "removable": false, "auth_needed": true,
       "valid": true, "trafficleft": "3"},
      {"name": "OnlyPyload", "displayname": "OnlyPyload", "type": "pyload", "enabled": false,
       "description": "pyLoad Plugin", "removable": false, "auth_needed": true},
      {"name": "Both", "displayname": "Both", "type": "vexo", "enabled": true, "version": "2",
       "newversion": "", "removable": true, "auth_needed": true},
      {"name": "OnlyVexo", "displayname": "OnlyVexo", "type": "vexo", "enabled": false,
       "removable": true, "auth_needed": true}])"),
            out);

  Handler().List(out);  // a second listing is appended again, asked afresh
  EXPECT_EQ(9u, out.size());
  EXPECT_EQ(out[1], out[5]);
  EXPECT_THAT(Pyload().Events(), ::testing::Contains("~CommandlineHandler()").Times(2));
}

TEST_F(MergedCatalogueTest, FailingPyloadIsLoggedTwiceAndLeftOut) {
  Pyload().Return("CommandlineHandler.GetAccounts", 0);
  EXPECT_THAT(Names(Handler().List()), ElementsAre("vexo:Both", "vexo:OnlyVexo"));
  EXPECT_THAT(SyslogLines(),
              ElementsAre(ErrorLine("host/pyload.cpp", "Failed to get info of accounts"),
                          ErrorLine("handler.cpp", "Failed to list hosts of pyload. Error: 1614")));
}

TEST_F(MergedCatalogueTest, FailingServiceIsLoggedWithItsCodeAndLeftOut) {
  Vexohost().Throw("List", RaiseVexoError(7, "service says no"));
  EXPECT_THAT(Names(Handler().List()), ElementsAre("pyload:Both", "pyload:OnlyPyload"));
  EXPECT_THAT(SyslogLines(),
              ElementsAre(ErrorLine("handler.cpp", "Failed to list hosts of vexo. Error: 7")));
}

TEST_F(MergedCatalogueTest, BothFailingGiveAnEmptyCatalogue) {
  Pyload().Throw("CommandlineHandler", RaiseVexoError(2200, "no pyLoad program"));
  Vexohost().Throw("Handler", RaiseVexoError(-3, "no store"));
  Json::Value out;
  Handler().List(out);
  EXPECT_TRUE(out.isNull());
  EXPECT_THAT(SyslogLines(),
              ElementsAre(ErrorLine("handler.cpp", "Failed to list hosts of pyload. Error: 2200"),
                          ErrorLine("handler.cpp", "Failed to list hosts of vexo. Error: -3")));
}

TEST_F(MergedCatalogueTest, EmptyCataloguesLeaveANullOutputNull) {
  Pyload().Fill("CommandlineHandler.GetAccounts", Json::Value(Json::arrayValue), 1);
  Vexohost().Fill("List", Json::Value(), 0);
  Json::Value out;
  Handler().List(out);
  EXPECT_TRUE(out.isNull());
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(MergedCatalogueTest, ErrorsOfOtherTypesAreNotCaught) {
  Vexohost().Throw("List", [] { throw std::runtime_error("not a VexoError"); });
  EXPECT_THROW(Handler().List(), std::runtime_error);
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

TEST_F(MergedCatalogueTest, JsonListThatFailsWithAnotherErrorLeavesTheOutputAsItWas) {
  Vexohost().Throw("List", [] { throw std::runtime_error("not a VexoError"); });
  Json::Value out = ParseJson(R"(["kept"])");
  EXPECT_THROW(Handler().List(out), std::runtime_error);
  EXPECT_EQ(ParseJson(R"(["kept"])"), out);
}

TEST_F(MergedCatalogueTest, OutputThatIsNotAnArrayIsRefusedBeforeListing) {
  Json::Value out = ParseJson(R"({"a": 1})");
  EXPECT_THROW(Handler().List(out), Json::LogicError);
  EXPECT_EQ(ParseJson(R"({"a": 1})"), out);
  EXPECT_THAT(Pyload().Events(), IsEmpty());
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
}

}  // namespace
