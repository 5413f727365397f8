// The facade: its own refusals before any back-end is asked, then one table of every operation of
// each host type: the back-end calls it makes (for pyLoad, over which channel), and how the
// back-end's answers become the library's results, codes and log lines; and the merged catalogue,
// which leaves a back-end whose listing fails out and logs why.
#include "handler.h"

#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/base.h"
#include "test_helpers.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using vexodl::fake::ErrorLine;
using vexodl::fake::LibraryErrorCode;
using vexodl::fake::ParseJson;
using vexodl::fake::Pyload;
using vexodl::fake::RaiseVexoError;
using vexodl::fake::Reply;
using vexodl::fake::SyslogLines;
using vexodl::fake::Vexohost;
using vexodl::filehosting::Handler;
// What an operation on host "U" of a type returns as text: "" when it returns nothing.
using Operation = std::function<std::string(Handler&, const std::string&)>;

class FacadeTest : public vexodl::fake::BackendTest {
 protected:
  Handler handler_;
};

TEST_F(FacadeTest, RefusalsComeBeforeAnyBackEndIsAsked) {
  Json::Value array = ParseJson("[1]");
  Json::Value object = ParseJson("{}");
  EXPECT_THROW(handler_.Get(array, "h", "vexo"), Json::LogicError);
  EXPECT_THROW(handler_.List(object), Json::LogicError);
  EXPECT_THROW(handler_.Set("h", "pyload", ParseJson("[]")), Json::LogicError);
  const Json::Value no_password =
      ParseJson(R"({"username": "u", "password": "", "enabled": true})");
  EXPECT_EQ(528, LibraryErrorCode([&] { handler_.Verify("h", "pyload", "u", ""); }));
  EXPECT_EQ(528, LibraryErrorCode([&] { handler_.Set("h", "vexo", no_password); }));
  // The type is checked first, before the other arguments.
  const std::string type = "Vexo";
  for (const std::function<void()>& operation : std::vector<std::function<void()>>{
           [&] { handler_.Verify("h", type, "u", ""); },
           [&] { handler_.Set("h", type, no_password); }, [&] { handler_.Get(array, "h", type); },
           [&] { handler_.RemoveAccount("h", type); }, [&] { handler_.Update("h", type); },
           [&] { handler_.Delete("h", type); }, [&] { handler_.Create(type, ""); }}) {
    EXPECT_EQ(1612, LibraryErrorCode(operation));
  }
  EXPECT_THAT(Vexohost().Events(), IsEmpty());
  EXPECT_THAT(Pyload().Events(), IsEmpty());
  EXPECT_THAT(SyslogLines(), IsEmpty());
}

Operation SetTo(const char* settings) {
  return [settings](Handler& h, const std::string& type) {
    return h.Set("U", type, ParseJson(settings)), "";
  };
}
constexpr char kReady[] = "IsPyLoadDomainSocketReady()";

struct Row {
  const char* what;
  const char* type;  // the host type, and so the back-end whose fake is scripted and asked
  bool ready;        // what pyLoad's readiness question answers
  const char* call;  // the call that does `reply`; every other one succeeds
  Reply reply;
  Operation operation;
  // What the operation returns, or what it throws: "<code>" for a VexoError without a message,
  // "<code> bare" for a bare enumeration value.
  std::string outcome;
  const char* log;  // the one log line of host/<type>.cpp, if any
  std::vector<std::string> requests;
};

TEST_F(FacadeTest, EachOperationReachesItsBackEndAndMapsTheAnswer) {
  // clang-format off
  const std::vector<Row> rows = {
    {"refused account ends the set", "pyload", false, "CommandlineHandler.UpdateAccount", {},
     SetTo(R"({"username": "me", "password": "pw", "enabled": true})"), "1601",
     "Failed to set account U", {kReady, R"(CommandlineHandler.UpdateAccount("U", "me", "pw"))"}},
    {"refused enabled state", "pyload", true, "DomainSocketHandler.EnableAccount", {},
     SetTo(R"({"enabled": true})"), "1602", "Failed to set enabled U",
     {kReady, R"(DomainSocketHandler.EnableAccount("U", true))"}},
    {"refused removal", "pyload", false, "DomainSocketHandler.RemoveAccount", {},
     [](Handler& h, const std::string& t) { return h.RemoveAccount("U", t), ""; }, "1603",
     "Failed to remove account U", {R"(DomainSocketHandler.RemoveAccount("U"))"}},
    {"premium", "pyload", true, "CommandlineHandler.VerifyAccount", Reply{3, {}, {}},
     [](Handler& h, const std::string& t) { return std::to_string(h.Verify("U", t, "me", "pw")); },
     "2", nullptr, {R"(CommandlineHandler.VerifyAccount("U", "me", "pw"))"}},
    {"password of another kind", "vexo", true, nullptr, {},
     SetTo(R"({"username": "u", "password": 1234, "enabled": true})"), "", nullptr,
     {R"("U".HostEnabledSet(true))"}},
    {"native install without a source", "vexo", true, nullptr, {},
     [](Handler& h, const std::string& t) { return h.Create(t, ""), ""; }, "501 bare", nullptr, {}}};
  // clang-format on
  for (const Row& row : rows) {
    SetUp();
    const bool native = std::string(row.type) == "vexo";
    Pyload().Return("Ready", row.ready ? 1 : 0);
    if (row.call != nullptr) (native ? Vexohost() : Pyload()).Set(row.call, row.reply);
    std::string outcome;
    try {
      outcome = row.operation(handler_, row.type);
    } catch (const vexodl::VexoError& error) {
      outcome = std::to_string(error.code) + (*error.what() ? " " : "") + error.what();
    } catch (_tag_VEXODL_ERROR_CODE code) {
      outcome = std::to_string(code) + " bare";
    }
    EXPECT_EQ(row.outcome, outcome) << row.what;
    EXPECT_THAT((native ? Vexohost() : Pyload()).Events(), ElementsAreArray(row.requests))
        << row.what;
    EXPECT_THAT((native ? Pyload() : Vexohost()).Events(), IsEmpty()) << row.what;
    if (row.log == nullptr) {
      EXPECT_THAT(SyslogLines(), IsEmpty()) << row.what;
    } else {
      const std::string file = std::string("host/") + row.type + ".cpp";
      EXPECT_THAT(SyslogLines(), ElementsAre(ErrorLine(file, row.log))) << row.what;
    }
  }
}

// "type:name" of every host that one of the two listings gives, in order.
std::vector<std::string> Listed(bool as_json) {
  std::vector<std::string> names;
  if (!as_json) {
    for (const auto& host : Handler().List()) names.push_back(host->type + ":" + host->name);
    return names;
  }
  Json::Value out;
  Handler().List(out);
  for (const Json::Value& host : out) {
    names.push_back(host["type"].asString() + ":" + host["name"].asString());
  }
  return names;
}

using CatalogueTest = FacadeTest;

TEST_F(CatalogueTest, AFailingBackEndIsLoggedAndLeftOut) {
  for (bool as_json : {false, true}) {
    for (int failing = 0; failing < 4; ++failing) {  // bit 0: pyLoad fails, bit 1: native
      SetUp();
      Pyload().Fill("CommandlineHandler.GetAccounts", ParseJson(R"([{"pluginname": "P"}])"),
                    (failing & 1) ? 0 : 1);
      Vexohost().Fill("List", ParseJson(R"([{"name": "V"}])"), 0);
      if (failing & 2) Vexohost().Throw("List", RaiseVexoError(7, "no store"));
      std::vector<std::string> names;
      std::vector<::testing::Matcher<vexodl::fake::LogLine>> lines;
      if (failing & 1) {
        lines.push_back(ErrorLine("host/pyload.cpp", "Failed to get info of accounts"));
        lines.push_back(ErrorLine("handler.cpp", "Failed to list hosts of pyload. Error: 1614"));
      } else {
        names.push_back("pyload:P");
      }
      if (failing & 2) {
        lines.push_back(ErrorLine("handler.cpp", "Failed to list hosts of vexo. Error: 7"));
      } else {
        names.push_back("vexo:V");
      }
      EXPECT_THAT(Listed(as_json), ElementsAreArray(names)) << failing << as_json;
      EXPECT_THAT(SyslogLines(), ElementsAreArray(lines)) << failing << as_json;
    }
  }
}

}  // namespace
