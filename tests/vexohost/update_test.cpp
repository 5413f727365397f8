// HostUpdate from an update server tree on disk (file:// URLs): signed indexes, package digests,
// version order, the kept index behind "newversion", and the mirror setting. The same over HTTP
// is in http_update_test.cpp.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "plugin_store.h"
#include "state_dir.h"
#include "update.h"
#include "update_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using internal::CompareVersions;
using ::testing::HasSubstr;

TEST(CompareVersionsTest, ComparesNumbersAsNumbersNeverAsFractions) {
  EXPECT_GT(CompareVersions("1.10", "1.9"), 0);
  EXPECT_LT(CompareVersions("1.9", "1.10"), 0);
  EXPECT_GT(CompareVersions("2.0", "1.99.99"), 0);
  EXPECT_GT(CompareVersions("10", "9"), 0);
  EXPECT_GT(CompareVersions("1.0.1", "1.0"), 0);
  EXPECT_LT(CompareVersions("1.0", "1.0.1"), 0);
  EXPECT_EQ(0, CompareVersions("1.01", "1.1"));
  EXPECT_EQ(0, CompareVersions("2.3.1", "2.3.1"));
  EXPECT_GT(CompareVersions("1.0b", "1.0a"), 0);
  EXPECT_GT(CompareVersions("1.2-rc10", "1.2-rc9"), 0);
  EXPECT_GT(CompareVersions("123456789012345678901234567890", "99999999999999999999"), 0);
}

TEST(ParseUtcTimeTest, ReadsOnlyValidUtcTimesOfTheOneForm) {
  EXPECT_EQ(0, internal::ParseUtcTime("1970-01-01T00:00:00Z"));
  EXPECT_EQ(-1, internal::ParseUtcTime("1969-12-31T23:59:59Z"));
  EXPECT_EQ(951827696, internal::ParseUtcTime("2000-02-29T12:34:56Z"));
  EXPECT_EQ(2147483648, internal::ParseUtcTime("2038-01-19T03:14:08Z"));
  EXPECT_EQ(13601087999, internal::ParseUtcTime("2400-12-31T23:59:59Z"));
  EXPECT_EQ(-62135596800, internal::ParseUtcTime("0001-01-01T00:00:00Z"));
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

  void Update(const std::string& host = "rapidbox") { Handler(host).HostUpdate(Url()); }
  std::string Url() const { return "file://" + server_.path() + "/"; }
};

TEST_F(UpdateTest, ANewerSignedPackageReplacesThePlugin) {
  Publish({{"rapidbox", "1.10", Package("rapidbox-1.10.zip", Plugin("rapidbox", "1.10", "", 2))}});
  Update();
  const Json::Value host = Get("rapidbox");
  EXPECT_EQ("1.10", host["version"].asString());
  EXPECT_EQ("1.10", host["newversion"].asString());
  EXPECT_THAT(ReadFile(Path("user/rapidbox/verify")), HasSubstr("\"result\": 2"));
  EXPECT_EQ(ReadFile(server_ / "index.json"), ReadFile(Path("update-index.json")));
  EXPECT_EQ("", Listing(Path("staging")));
}

TEST_F(UpdateTest, AnIndexSignedByAnotherKeyIsRefusedAndNothingChanges) {
  Publish({{"rapidbox", "2.0", Package("r.tar.gz", Plugin("rapidbox", "2.0"))}},
          Signing::kOtherKey);
  const std::string before = Listing(state());
  const Thrown thrown = ErrorOf([&] { Update(); });
  EXPECT_EQ(2401, thrown.code);
  EXPECT_EQ("the update index is not signed by a trusted key", thrown.message);
  EXPECT_EQ(before, Listing(state()));
}

TEST_F(UpdateTest, AnIndexWithoutSignatureIsRefused) {
  Publish({{"rapidbox", "2.0", Package("r.tar.gz", Plugin("rapidbox", "2.0"))}}, Signing::kNone);
  const std::string before = Listing(state());
  const Thrown thrown = ErrorOf([&] { Update(); });
  EXPECT_EQ(2400, thrown.code);
  EXPECT_THAT(thrown.message, HasSubstr("index.json.sig"));
  EXPECT_EQ(before, Listing(state()));
}

TEST_F(UpdateTest, AnIndexChangedAfterSigningIsRefused) {
  Publish({{"rapidbox", "2.0", Package("r.tar.gz", Plugin("rapidbox", "2.0"))}});
  std::string index = ReadFile(server_ / "index.json");
  index.replace(index.find("2.0"), 3, "2.1");
  WriteFile(server_ / "index.json", index);
  const std::string before = Listing(state());
  EXPECT_EQ(2401, ErrorOf([&] { Update(); }).code);
  EXPECT_EQ(before, Listing(state()));
}

TEST_F(UpdateTest, ASignatureThatIsNoHexIsRefused) {
  Publish({{"rapidbox", "2.0", Package("r.tar.gz", Plugin("rapidbox", "2.0"))}});
  WriteFile(server_ / "index.json.sig", "not a signature\n");
  const Thrown thrown = ErrorOf([&] { Update(); });
  EXPECT_EQ(2401, thrown.code);
  EXPECT_EQ("the update index signature is not 128 hex digits", thrown.message);
}

TEST_F(UpdateTest, APackageWithAnotherDigestIsRefusedButTheIndexIsKept) {
  const std::string package = Package("r.tar.gz", Plugin("rapidbox", "2.0"));
  Publish({{"rapidbox", "2.0", package}});
  // Same size, other bytes: as a swapped or damaged download would be.
  std::string bytes = ReadFile(package);
  bytes[bytes.size() / 2] ^= 1;
  WriteFile(package, bytes);
  const std::string user_before = Listing(Path("user"));
  const Thrown thrown = ErrorOf([&] { Update(); });
  EXPECT_EQ(2404, thrown.code);
  EXPECT_EQ("the package of \"rapidbox\" does not match its SHA-256", thrown.message);
  EXPECT_EQ(user_before, Listing(Path("user")));
  EXPECT_EQ("", Listing(Path("staging")));
  // The index held: listings now know of 2.0.
  const Json::Value host = Get("rapidbox");
  EXPECT_EQ("1.0", host["version"].asString());
  EXPECT_EQ("2.0", host["newversion"].asString());
}

TEST_F(UpdateTest, APackageOfAnotherSizeIsRefused) {
  const std::string package = Package("r.tar.gz", Plugin("rapidbox", "2.0"));
  Publish({{"rapidbox", "2.0", package}});
  WriteFile(package, ReadFile(package) + "x");
  const Thrown thrown = ErrorOf([&] { Update(); });
  EXPECT_EQ(2404, thrown.code);
  EXPECT_THAT(thrown.message, HasSubstr("larger than the"));
  EXPECT_EQ("1.0", Get("rapidbox")["version"].asString());
}

TEST_F(UpdateTest, AnOlderOrEqualVersionChangesNothing) {
  for (const char* version : {"0.9", "1.0", "1.00"}) {
    Publish({{"rapidbox", version, Package("r.tar.gz", Plugin("rapidbox", version))}});
    const std::string user_before = Listing(Path("user"));
    Update();
    EXPECT_EQ(user_before, Listing(Path("user"))) << version;
    EXPECT_EQ("1.0", Get("rapidbox")["newversion"].asString()) << version;
  }
}

TEST_F(UpdateTest, APackageThatIsNotWhatTheIndexSaysIsRefused) {
  Publish({{"rapidbox", "2.0", Package("r.tar.gz", Plugin("rapidbox", "1.5"))}});
  const Thrown version = ErrorOf([&] { Update(); });
  EXPECT_EQ(2304, version.code);
  EXPECT_EQ("the package of \"rapidbox\" holds version 1.5, not 2.0", version.message);
  Publish({{"rapidbox", "2.0", Package("r.tar.gz", Plugin("otherhost", "2.0"))}});
  EXPECT_EQ(2304, ErrorOf([&] { Update(); }).code);
  EXPECT_EQ("1.0", Get("rapidbox")["version"].asString());
  EXPECT_FALSE(Exists(Path("user/otherhost")));
}

TEST_F(UpdateTest, AHostlessIndexEntryOrShippedHostIsRefused) {
  Publish({{"elsewhere", "2.0", Package("e.tar.gz", Plugin("elsewhere", "2.0"))}});
  const Thrown thrown = ErrorOf([&] { Update(); });
  EXPECT_EQ(2403, thrown.code);
  EXPECT_EQ("the update server offers no host plug-in \"rapidbox\"", thrown.message);
  Ship("filedrop");
  EXPECT_EQ(2004, ErrorOf([&] { Update("filedrop"); }).code);
  EXPECT_EQ(2002, ErrorOf([&] { Update("nosuchhost"); }).code);
}

TEST_F(UpdateTest, TheMirrorSettingReplacesTheLibrarysUrl) {
  Publish({{"rapidbox", "3.0", Package("r.tar.gz", Plugin("rapidbox", "3.0"))}});
  ::setenv("VEXODL_VEXOHOST_UPDATE_MIRROR", Url().c_str(), 1);
  Handler("rapidbox").HostUpdate("https://updates.invalid/filehostupdate/filehosts/");
  ::unsetenv("VEXODL_VEXOHOST_UPDATE_MIRROR");
  EXPECT_EQ("3.0", Get("rapidbox")["version"].asString());
}

TEST_F(UpdateTest, WithoutATrustedKeyNothingIsFetched) {
  Publish({{"rapidbox", "2.0", Package("r.tar.gz", Plugin("rapidbox", "2.0"))}});
  ::unsetenv("VEXODL_VEXOHOST_UPDATE_KEY");
  const Thrown thrown = ErrorOf([&] { Update(); });
  EXPECT_EQ(2406, thrown.code);
  ::setenv("VEXODL_VEXOHOST_UPDATE_KEY", "abc", 1);
  EXPECT_EQ(2406, ErrorOf([&] { Update(); }).code);
  EXPECT_FALSE(Exists(Path("update-index.json")));
}

TEST_F(UpdateTest, AnIndexThatIsNoIndexIsRefusedAndNotKept) {
  WriteSignedIndex(R"({"format": 2, "plugins": {}})");
  const Thrown format = ErrorOf([&] { Update(); });
  EXPECT_EQ(2402, format.code);
  EXPECT_EQ("the update index is not of format 1", format.message);
  WriteSignedIndex("[]");
  EXPECT_EQ(2402, ErrorOf([&] { Update(); }).code);
  EXPECT_FALSE(Exists(Path("update-index.json")));
}

TEST_F(UpdateTest, AnEntryWhosePackageIsNoPlainFileNameIsSkipped) {
  // "../r.tar.gz" would leave the server's folder.
  WriteSignedIndex(IndexText(R"({"rapidbox": {"version": "9", "size": 1,
      "package": "../r.tar.gz", "sha256": ")" +
                             std::string(64, '0') + "\"}}"));
  EXPECT_EQ(2403, ErrorOf([&] { Update(); }).code);
  EXPECT_EQ("1.0", Get("rapidbox")["newversion"].asString());
}

TEST_F(UpdateTest, TheListingReportsWhatTheKeptIndexOffers) {
  Handler("").HostAdd(Package("o.tar.gz", Plugin("otherhost", "4.0")));
  Publish({{"rapidbox", "1.0", Package("r.tar.gz", Plugin("rapidbox", "1.0"))},
           {"otherhost", "4.10", Package("o2.tar.gz", Plugin("otherhost", "4.10"))}});
  Update();  // rapidbox is up to date; the index is kept all the same
  Json::Value hosts;
  Handler("").List(hosts);
  ASSERT_EQ(2u, hosts.size());
  EXPECT_EQ("otherhost", hosts[0]["name"].asString());
  EXPECT_EQ("4.0", hosts[0]["version"].asString());
  EXPECT_EQ("4.10", hosts[0]["newversion"].asString());
  EXPECT_EQ("1.0", hosts[1]["newversion"].asString());
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
  const char* version;     // installed afterwards
  const char* newversion;  // listed afterwards
  bool replaces;           // whether the second index is kept in place of the first
};

void PrintTo(const FreshnessRow& row, std::ostream* os) { *os << row.name; }

class FreshnessTest : public UpdateTest, public ::testing::WithParamInterface<FreshnessRow> {};

TEST_P(FreshnessTest, OnlyAFreshIndexReplacesTheKeptOne) {
  const FreshnessRow& row = GetParam();
  Publish({{"rapidbox", "2.0", Package("r2.tar.gz", Plugin("rapidbox", "2.0"))}}, Signing::kTrusted,
          5);
  ::unlink((server_ / "r2.tar.gz").c_str());
  EXPECT_EQ(2400, ErrorOf([&] { Update(); }).code);
  const std::string kept = ReadFile(Path("update-index.json"));
  Publish({{"rapidbox", "1.5", Package("r15.tar.gz", Plugin("rapidbox", "1.5"))}},
          Signing::kTrusted, row.serial, row.expires);
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
  EXPECT_EQ(row.version, Get("rapidbox")["version"].asString());
  EXPECT_EQ(row.newversion, Get("rapidbox")["newversion"].asString());
}

constexpr char kOlder[] = "the update index has serial 4, lower than the kept index's 5";
constexpr char kNoSerial[] = "the update index has no \"serial\" (a whole number from 0)";
constexpr char kNoExpiry[] =
    "the update index has no \"expires\" time of the form YYYY-MM-DDTHH:MM:SSZ";
INSTANTIATE_TEST_SUITE_P(
    Indexes, FreshnessTest,
    ::testing::Values(
        FreshnessRow{"Older", 4, kFarFuture, "", 2407, kOlder, "1.0", "2.0", false},
        FreshnessRow{"Equal", 5, kFarFuture, "", 0, "", "1.5", "2.0", false},
        FreshnessRow{"Newer", 6, kFarFuture, "", 0, "", "1.5", "1.5", true},
        FreshnessRow{"Expired", 6, "2020-01-01T00:00:00Z", "", 2408,
                     "the update index expired at 2020-01-01T00:00:00Z", "1.0", "2.0", false},
        FreshnessRow{"NoSerial", 6, kFarFuture, "serial", 2402, kNoSerial, "1.0", "2.0", false},
        FreshnessRow{"NoExpiry", 6, kFarFuture, "expires", 2402, kNoExpiry, "1.0", "2.0", false}),
    [](const ::testing::TestParamInfo<FreshnessRow>& info) { return info.param.name; });

TEST_F(UpdateTest, AKeptIndexFromBeforeSerialsIsReplacedByAnyNewOne) {
  // As a build before serials kept it: no "serial", no "expires".
  WriteFile(Path("update-index.json"),
            R"({"format": 1, "plugins": {"rapidbox": )" +
                IndexEntry(Package("r9.tar.gz", Plugin("rapidbox", "9.0")), "9.0") + "}}");
  EXPECT_EQ("9.0", Get("rapidbox")["newversion"].asString());
  Publish({{"rapidbox", "1.0", Package("r.tar.gz", Plugin("rapidbox", "1.0"))}}, Signing::kTrusted,
          0);
  Update();
  EXPECT_EQ(ReadFile(server_ / "index.json"), ReadFile(Path("update-index.json")));
  EXPECT_EQ("1.0", Get("rapidbox")["newversion"].asString());
}

// Apply runs under the lock, after a download that may have taken minutes: what another update
// did meanwhile wins, a newer index and a newer version alike.
TEST_F(UpdateTest, DownloadAndApplyUnderTheLockBothCheckTheSerial) {
  const internal::StateDir state(this->state());
  const internal::Updater updater(state);
  const Offer two{"rapidbox", "2.0", Package("r2.tar.gz", Plugin("rapidbox", "2.0"))};
  Publish({two}, Signing::kTrusted, 5);
  const internal::UpdateDownload older = updater.Download("rapidbox", "1.0", Url());
  Publish({{"rapidbox", "3.0", Package("r3.tar.gz", Plugin("rapidbox", "3.0"))}}, Signing::kTrusted,
          6);
  Update();
  const std::string kept = ReadFile(Path("update-index.json"));
  const internal::Plugin installed = internal::PluginStore(state).Find("rapidbox");
  EXPECT_EQ(2407, ErrorOf([&] { updater.Apply(installed, older); }).code);
  EXPECT_EQ(kept, ReadFile(Path("update-index.json")));
  // Downloaded now, the older index is refused at once.
  Publish({two}, Signing::kTrusted, 5);
  EXPECT_EQ(2407, ErrorOf([&] { updater.Download("rapidbox", "1.0", Url()); }).code);
  // A newer index that offers less than what is installed by now installs nothing.
  Publish({two}, Signing::kTrusted, 7);
  EXPECT_FALSE(updater.Apply(installed, updater.Download("rapidbox", "1.0", Url())));
  EXPECT_EQ("3.0", Get("rapidbox")["version"].asString());
}

}  // namespace
}  // namespace vexodl::vexohost::test
