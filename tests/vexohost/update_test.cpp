// HostUpdate from an update server tree on disk (file:// URLs): signed indexes, package digests,
// version order, the kept index behind "newversion", and the mirror setting. The same over HTTP
// is in http_update_test.cpp.
#include <cstdlib>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
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
  WriteSignedIndex(R"({"format": 1, "plugins": {"rapidbox": {"version": "9", "size": 1,
      "package": "../r.tar.gz", "sha256": ")" +
                   std::string(64, '0') + "\"}}}");
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

}  // namespace
}  // namespace vexodl::vexohost::test
