// HostUpdate from an update server tree on disk (file:// URLs): signed indexes, package digests,
// version order, the freshness of indexes and the kept index behind "newversion". Fetching over
// HTTP is in http_update_test.cpp.
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "syslog_capture.h"
#include "update_fixture.h"
#include "update_keys.h"
#include "utc_time.h"
#include "version.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::HasSubstr;

TEST(CompareVersionsTest, ComparesRunsOfDigitsAsNumbers) {
  const struct {
    const char* newer;
    const char* older;
  } rows[] = {{"1.10", "1.9"},
              {"10", "9"},
              {"2.0", "1.99.99"},
              {"1.0.1", "1.0"},
              {"1.0b", "1.0a"},
              {"1.2-rc10", "1.2-rc9"},
              {"123456789012345678901234567890", "99999999999999999999"}};
  for (const auto& row : rows) {
    EXPECT_GT(internal::CompareVersions(row.newer, row.older), 0) << row.newer;
    EXPECT_LT(internal::CompareVersions(row.older, row.newer), 0) << row.newer;
  }
  EXPECT_EQ(0, internal::CompareVersions("1.01", "1.1"));
}

TEST(UtcTimeTest, ReadsAndWritesOnlyValidUtcTimesOfTheOneForm) {
  const struct {
    const char* text;
    std::int64_t seconds;
  } rows[] = {{"1970-01-01T00:00:00Z", 0},
              {"1969-12-31T23:59:59Z", -1},
              {"2000-02-29T12:34:56Z", 951827696},
              {"2400-12-31T23:59:59Z", 13601087999},
              {"0000-01-01T00:00:00Z", -62167219200},
              {"9999-12-31T23:59:59Z", 253402300799}};
  for (const auto& row : rows) {
    EXPECT_EQ(row.seconds, internal::ParseUtcTime(row.text)) << row.text;
    EXPECT_EQ(row.text, internal::FormatUtcTime(row.seconds)) << row.text;
  }
  EXPECT_EQ(std::nullopt, internal::FormatUtcTime(-62167219201));
  EXPECT_EQ(std::nullopt, internal::FormatUtcTime(253402300800));
  for (const char* bad : {"2023-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2024-04-31T00:00:00Z",
                          "2024-13-01T00:00:00Z", "2024-00-10T00:00:00Z", "2024-01-01T24:00:00Z",
                          "2024-01-01T00:60:00Z", "2024-01-01T00:00:60Z", "2024-01-01 00:00:00Z",
                          "2024-01-01T00:00:00", "2024-01-01T00:00:00+00:00", "2024-1-01T00:00:00Z",
                          "+024-01-01T00:00:00Z", "2024-01-01T00:00:00z", ""}) {
    EXPECT_EQ(std::nullopt, internal::ParseUtcTime(bad)) << bad;
  }
}

class UpdateTest : public UpdateServerTest {
 protected:
  UpdateTest() { Handler("").HostAdd(Package("rapidbox-1.0.tar.gz", Plugin("rapidbox", "1.0"))); }

  void Update() { Handler("rapidbox").HostUpdate(Url()); }
  std::string Url() const { return "file://" + server_.path() + "/"; }
  // rapidbox at `version` in the tree, offered as `offered` (its own version when empty).
  Offer Rapidbox(const std::string& version, const std::string& offered = "") {
    return {"rapidbox", offered.empty() ? version : offered,
            Package("r-" + version + ".tar.gz", Plugin("rapidbox", version, "", 2))};
  }
  // "installed version / newest known version"
  std::string Versions() {
    const Json::Value host = Get("rapidbox");
    return host["version"].asString() + " / " + host["newversion"].asString();
  }
};

TEST_F(UpdateTest, ANewerSignedPackageFromTheMirrorReplacesThePlugin) {
  Publish({Rapidbox("1.10")});
  const fake::ScopedEnv mirror{{"VEXODL_VEXOHOST_UPDATE_MIRROR", Url()}};
  fake::ClearSyslog();
  Handler("rapidbox").HostUpdate("https://updates.invalid/filehostupdate/filehosts/");
  EXPECT_EQ(fake::OneLine(LOG_INFO, "vexohost: update rapidbox: updated rapidbox 1.0 -> 1.10"),
            fake::SyslogLines());
  EXPECT_EQ("1.10 / 1.10", Versions());
  EXPECT_THAT(ReadFile(Path("user/rapidbox/verify")), HasSubstr("\"result\": 2"));
  EXPECT_EQ(ReadFile(server_ / "index.json"), ReadFile(Path("update-index.json")));
  EXPECT_EQ("", Listing(Path("staging")));
  // A kept index without a serial is damaged: it tells no versions, and any index replaces it.
  Json::Value kept = ParseJson(ReadFile(Path("update-index.json")));
  kept.removeMember("serial");
  WriteFile(Path("update-index.json"), Text(kept));
  fake::ClearSyslog();
  Get("rapidbox");
  EXPECT_THAT(fake::SyslogLines(),
              ::testing::ElementsAre(fake::LogLine{
                  LOG_WARNING,
                  "vexohost: get rapidbox: newer versions unknown: " + Path("update-index.json") +
                      ": the update index has no \"serial\" (a whole number from 0)"}));
  Update();
  EXPECT_EQ(ReadFile(server_ / "index.json"), ReadFile(Path("update-index.json")));
}

TEST_F(UpdateTest, AnIndexThatCannotBeTrustedOrReadChangesNothing) {
  const struct {
    Signing signing;
    std::function<void()> then;
    int code;
    std::string message;
  } rows[] = {
      {Signing::kOtherKey, [] {}, 2401, "the update index is not signed by a trusted key"},
      {Signing::kTrusted, [&] { WriteFile(server_ / "index.json", IndexText("{}", 2)); }, 2401,
       "the update index is not signed by a trusted key"},
      {Signing::kTrusted, [&] { WriteFile(server_ / "index.json.sig", "no signature\n"); }, 2401,
       "the update index signature is not 128 hex digits"},
      {Signing::kNone, [] {}, 2400, "/index.json.sig: "},
      {Signing::kTrusted, [&] { env_.Set("VEXODL_VEXOHOST_UPDATE_KEY", "abc"); }, 2406,
       "the update key of VEXODL_VEXOHOST_UPDATE_KEY is not 64 hex digits"},
      // Read without blocking, or the update would wait for a writer past every deadline. Last:
      // writing the next row's index would wait for a reader.
      {Signing::kTrusted,
       [&] {
         env_.Set("VEXODL_VEXOHOST_UPDATE_KEY", key_.PublicHex());
         ::unlink((server_ / "index.json").c_str());
         ::mkfifo((server_ / "index.json").c_str(), 0600);
       },
       2400, "/index.json is not a regular file"},
  };
  const std::string before = Listing(state());
  for (const auto& row : rows) {
    Publish({Rapidbox("2.0")}, row.signing);
    row.then();
    const Thrown thrown = ErrorOf([&] { Update(); });
    EXPECT_EQ(row.code, thrown.code) << row.message;
    EXPECT_THAT(thrown.message, HasSubstr(row.message));
    EXPECT_EQ(before, Listing(state())) << row.message;
  }
}

TEST_F(UpdateTest, APackageThatIsNotWhatTheIndexSaysIsRefusedButTheIndexIsKept) {
  const struct {
    const char* version;  // of the package offered as 2.0
    std::function<void(const std::string&)> damage;
    int code;
    std::string message;
  } rows[] = {
      {"2.0",
       [](const std::string& package) {  // same size, other bytes
         std::string bytes = ReadFile(package);
         bytes[bytes.size() / 2] ^= 1;
         WriteFile(package, bytes);
       },
       2404, "the package of \"rapidbox\" does not match its SHA-256"},
      {"2.0", [](const std::string& package) { WriteFile(package, ReadFile(package) + "x"); }, 2404,
       "the package of \"rapidbox\" is larger than the "},
      {"1.5", [](const std::string&) {}, 2304,
       "the package of \"rapidbox\" holds version 1.5, not 2.0"},
  };
  for (const auto& row : rows) {
    const Offer offer = Rapidbox(row.version, "2.0");
    Publish({offer});
    row.damage(offer.package);
    const Thrown thrown = ErrorOf([&] { Update(); });
    EXPECT_EQ(row.code, thrown.code) << row.message;
    EXPECT_THAT(thrown.message, HasSubstr(row.message));
    EXPECT_EQ("1.0 / 2.0", Versions()) << row.message;
    EXPECT_EQ("", Listing(Path("staging"))) << row.message;
  }
}

TEST_F(UpdateTest, OnlyANewerVersionOfAUserPluginOnOfferIsInstalled) {
  for (const char* version : {"0.9", "1.0", "1.00"}) {
    Publish({Rapidbox(version)});
    fake::ClearSyslog();
    Update();
    EXPECT_EQ(fake::OneLine(LOG_INFO, "vexohost: update rapidbox: rapidbox 1.0 is up to date"),
              fake::SyslogLines())
        << version;
    EXPECT_EQ("1.0 / 1.0", Versions()) << version;
  }
  Publish({{"elsewhere", "2.0", Package("e.tar.gz", Plugin("elsewhere", "2.0"))}});
  const Thrown thrown = ErrorOf([&] { Update(); });
  EXPECT_EQ(2403, thrown.code);
  EXPECT_EQ("the update server offers no host plug-in \"rapidbox\"", thrown.message);
  WriteSignedIndex(IndexText(R"({"rapidbox": {"version": "2.0", "package": "r.tar.gz"}})"));
  EXPECT_EQ(
      "2403 the update server offers no host plug-in \"rapidbox\": its entry in the index "
      "has no \"size\" in bytes",
      Outcome([&] { Update(); }));
  Ship("filedrop");
  EXPECT_EQ(2004, ErrorOf([&] { Handler("filedrop").HostUpdate(Url()); }).code);
}

// A packaged box trusts the keys of its keys file too, one a line beside comments and blank lines;
// a file that another user could write (and so add a key of theirs) is refused, naming it.
TEST_F(UpdateTest, TheKeysFileAddsKeysOnlyWhereNobodyElseCouldWriteIt) {
  const fake::TempDir etc;
  const std::string file = etc / "update-keys";
  WriteFile(file, "# the update server's key\n\n " + key_.PublicHex() + "  # since 2026\n" +
                      other_.PublicHex() + "\n");
  EXPECT_EQ(3U, internal::TrustedKeys(file).size());  // and VEXODL_VEXOHOST_UPDATE_KEY's
  EXPECT_EQ(1U, internal::TrustedKeys(etc / "none").size());
  ASSERT_EQ(0, ::chmod(file.c_str(), 0664));
  EXPECT_EQ("2406 the update keys of " + file + " cannot be trusted: file " + file +
                " (mode 0664) can be written by other users, who could change it: take that " +
                "away (chmod go-w " + file + ")",
            Outcome([&] { internal::TrustedKeys(file); }));
  ASSERT_EQ(0, ::chmod(file.c_str(), 0644));
  WriteFile(file, "# comment\nabc\n");
  EXPECT_EQ("2406 the update key of " + file + ", line 2, is not 64 hex digits",
            Outcome([&] { internal::TrustedKeys(file); }));
}

// Nobody else chooses the kept index: a link planted at a name it could be written under is never
// written through, and a kept index of another user's (the highest serial, a made-up version) is
// not believed.
TEST_F(UpdateTest, TheKeptIndexIsWrittenAndBelievedOnlyAsOurOwn) {
  const fake::TempDir elsewhere;
  WriteFile(elsewhere / "victim", "untouched");
  ASSERT_EQ(0, ::link((elsewhere / "victim").c_str(), Path("update-index.json.new").c_str()));
  Publish({Rapidbox("1.5")});
  Update();
  EXPECT_EQ("untouched", ReadFile(elsewhere / "victim"));
  EXPECT_EQ(ReadFile(server_ / "index.json"), ReadFile(Path("update-index.json")));
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  WriteFile(
      Path("update-index.json"),
      IndexText("{\"rapidbox\": " + IndexEntry(server_ / "r-1.5.tar.gz", "9.9") + "}", UINT64_MAX));
  ASSERT_EQ(0, ::chown(Path("update-index.json").c_str(), 4242, 4242));
  EXPECT_EQ("2103 file " + Path("update-index.json") + " belongs to user 4242, neither root nor " +
                "this service's user 0, who could change it: give it to root or to user 0 (chown)",
            Outcome([&] { Update(); }));
  EXPECT_EQ("1.5 / 1.5", Versions());
}

// A second index, offering rapidbox 1.5, after one of serial 5 offering 2.0 was kept (its package
// missing, so 1.0 stays installed): a replayed older or expired index neither hides 2.0 nor
// installs the superseded 1.5.
struct FreshnessRow {
  const char* name;
  std::uint64_t serial;
  const char* expires;
  const char* drop;  // a member the index leaves out, or ""
  int code;          // 0: accepted
  const char* message;
  const char* versions;  // installed / newest known, afterwards
  bool replaces;         // whether the second index is kept in place of the first
};

void PrintTo(const FreshnessRow& row, std::ostream* os) { *os << row.name; }

class FreshnessTest : public UpdateTest, public ::testing::WithParamInterface<FreshnessRow> {};

TEST_P(FreshnessTest, OnlyAFreshIndexReplacesTheKeptOne) {
  const FreshnessRow& row = GetParam();
  Publish({Rapidbox("2.0")}, Signing::kTrusted, 5);
  ::unlink((server_ / "r-2.0.tar.gz").c_str());
  EXPECT_EQ(2400, ErrorOf([&] { Update(); }).code);
  const std::string kept = ReadFile(Path("update-index.json"));
  Publish({Rapidbox("1.5")}, Signing::kTrusted, row.serial, row.expires);
  Json::Value index = ParseJson(ReadFile(server_ / "index.json"));
  index.removeMember(row.drop);
  WriteSignedIndex(Text(index));
  Thrown thrown;
  try {
    Update();
  } catch (const VexoError& error) {
    thrown = {error.code, error.what()};
  }
  EXPECT_EQ(row.code, thrown.code);
  EXPECT_EQ(row.message, thrown.message);
  EXPECT_EQ(row.replaces ? Text(index) : kept, ReadFile(Path("update-index.json")));
  EXPECT_EQ(row.versions, Versions());
}

constexpr char kOlder[] = "the update index has serial 4, lower than the kept index's 5";
constexpr char kNoSerial[] = "the update index has no \"serial\" (a whole number from 0)";
constexpr char kNoExpiry[] =
    "the update index has no \"expires\" time of the form YYYY-MM-DDTHH:MM:SSZ";
INSTANTIATE_TEST_SUITE_P(
    Indexes, FreshnessTest,
    ::testing::Values(
        FreshnessRow{"Older", 4, kFarFuture, "", 2407, kOlder, "1.0 / 2.0", false},
        FreshnessRow{"Equal", 5, kFarFuture, "", 0, "", "1.5 / 2.0", false},
        FreshnessRow{"Newer", 6, kFarFuture, "", 0, "", "1.5 / 1.5", true},
        FreshnessRow{"Expired", 6, "2020-01-01T00:00:00Z", "", 2408,
                     "the update index expired at 2020-01-01T00:00:00Z", "1.0 / 2.0", false},
        FreshnessRow{"NoSerial", 6, kFarFuture, "serial", 2402, kNoSerial, "1.0 / 2.0", false},
        FreshnessRow{"NoExpiry", 6, kFarFuture, "expires", 2402, kNoExpiry, "1.0 / 2.0", false}),
    [](const ::testing::TestParamInfo<FreshnessRow>& info) { return info.param.name; });

}  // namespace
}  // namespace vexodl::vexohost::test
