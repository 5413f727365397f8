// HostUpdate from an update server tree on disk (file:// URLs): signed indexes, package digests,
// version order, the freshness of indexes and UTC times. Fetching over HTTP is in
// http_update_test.cpp.
#include <cstdint>
#include <optional>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "update_fixture.h"
#include "utc_time.h"
#include "version.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::StartsWith;

TEST(CompareVersionsTest, ComparesRunsOfDigitsAsNumbers) {
  const struct {
    const char* newer;
    const char* older;
  } rows[] = {{"1.10", "1.9"}, {"1.0.1", "1.0"}, {"1.0b", "1.0a"}, {"1.2-rc10", "1.2-rc9"}};
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
  } rows[] = {{"1969-12-31T23:59:59Z", -1},
              {"2000-02-29T12:34:56Z", 951827696},
              {"0000-01-01T00:00:00Z", -62167219200},
              {"9999-12-31T23:59:59Z", 253402300799}};
  for (const auto& row : rows) {
    EXPECT_EQ(row.seconds, internal::ParseUtcTime(row.text)) << row.text;
    EXPECT_EQ(row.text, internal::FormatUtcTime(row.seconds)) << row.text;
  }
  EXPECT_EQ(std::nullopt, internal::FormatUtcTime(-62167219201));
  EXPECT_EQ(std::nullopt, internal::FormatUtcTime(253402300800));
  for (const char* bad : {"2023-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2024-01-01T24:00:00Z",
                          "2024-01-01T00:00:00+00:00", "2024-1-01T00:00:00Z"}) {
    EXPECT_EQ(std::nullopt, internal::ParseUtcTime(bad)) << bad;
  }
}

class UpdateTest : public UpdateServerTest {
 protected:
  UpdateTest() { Handler("").HostAdd(Package("rapidbox-1.0.tar.gz", Plugin("rapidbox", "1.0"))); }
  void Update() { Handler("rapidbox").HostUpdate("file://" + server_.path() + "/"); }
  const std::string package_ = Package("r-2.0.tar.gz", Plugin("rapidbox", "2.0"));
};

// An index signed by another key: nothing changes.
TEST_F(UpdateTest, AnIndexThatCannotBeTrustedChangesNothing) {
  const std::string before = Listing(state());
  Publish("2.0", package_, Signing::kOtherKey);
  EXPECT_THAT(Outcome([&] { Update(); }),
              StartsWith("2401 the update index is not signed by a trusted key"));
  EXPECT_EQ(before, Listing(state()));
}

// A package of the size the index says but other bytes: refused, and staging/ left empty; the kept
// index still tells the newer version.
TEST_F(UpdateTest, APackageThatIsNotWhatTheIndexSaysIsRefusedButTheIndexIsKept) {
  Publish("2.0", package_);
  std::string bytes = ReadFile(package_);
  bytes[bytes.size() / 2] ^= 1;
  WriteFile(package_, bytes);
  EXPECT_THAT(Outcome([&] { Update(); }),
              StartsWith("2404 the package of \"rapidbox\" does not match its SHA-256"));
  const Json::Value host = HostObject("rapidbox");
  EXPECT_EQ("1.0 / 2.0", host["version"].asString() + " / " + host["newversion"].asString());
  EXPECT_EQ("", Listing(Path("staging")));
}

// After an index of serial 5 was kept, a replayed older one or an expired one, offering 2.0, is
// refused and changes nothing.
TEST_F(UpdateTest, AReplayedOrExpiredIndexChangesNothing) {
  Publish("1.0", package_, Signing::kTrusted, 5);
  Update();
  const std::string before = Listing(state());
  const struct {
    std::uint64_t serial;
    const char* expires;
    const char* outcome;
  } rows[] = {{4, kFarFuture, "2407 the update index has serial 4, lower than the kept index's 5"},
              {6, "2020-01-01T00:00:00Z", "2408 the update index expired at 2020-01-01T00:00:00Z"}};
  for (const auto& row : rows) {
    Publish("2.0", package_, Signing::kTrusted, row.serial, row.expires);
    EXPECT_EQ(row.outcome, Outcome([&] { Update(); }));
    EXPECT_EQ(before, Listing(state())) << row.outcome;
  }
}

}  // namespace
}  // namespace vexodl::vexohost::test
