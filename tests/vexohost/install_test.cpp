// HostAdd: hostile packages refused with the store left byte for byte as it was, the limits, and
// the switch that puts a plug-in into place.
#include <syslog.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer.h"
#include "lock.h"
#include "outside/vexohost.h"
#include "packages.h"
#include "staging.h"
#include "state_dir_fixture.h"
#include "syslog_capture.h"

namespace vexodl::vexohost::test {
namespace {

using internal::Installer;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::vector<Entry> kGood = Plugin("rapidbox", "1.0");

class InstallTest : public StateDirTest {
 protected:
  std::string Package(const std::string& file, const std::vector<Entry>& entries) {
    WriteArchive(packages_ / file, entries);
    return packages_ / file;
  }
  static std::string Version(const std::string& name) {
    return HostObject(name)["version"].asString();
  }
  // Installs `package` as HostAdd does, with `limits`.
  void InstallWith(const std::string& package, const internal::PackageLimits& limits) {
    internal::StoreLock lock(Path("lock"), internal::StoreLock::Mode::kExclusive);
    const internal::Staging staging{internal::StateDir(state())};
    Installer(internal::StateDir(state()), limits).Install(package);
  }

  fake::TempDir packages_;
};

TEST_F(InstallTest, ReinstallingReplacesTheWholeFolderKeepsTheAccountAndEmptiesStaging) {
  Handler("").HostAdd(Package("r1.tar.gz", With(kGood, {File("old.txt", "gone soon")})));
  Handler("rapidbox").AccountSet("alice", "secret");
  // Left by an install that was killed: every change of the plug-in folders clears it first.
  WriteFile(Path("staging/ready/manifest.json"), ManifestText("debris"));
  Handler("").HostAdd(Package("r2.zip", Plugin("rapidbox", "2.0")));
  EXPECT_EQ("2.0", Version("rapidbox"));
  EXPECT_FALSE(Exists(Path("user/rapidbox/old.txt")));
  EXPECT_EQ("NULL|alice|secret", Row("rapidbox"));
  EXPECT_EQ("", Listing(Path("staging")));
}

// A package that must be refused: its entries, the code and a piece of the message.
struct Hostile {
  std::string name;
  std::vector<Entry> entries;
  int code;
  std::string says;
};

void PrintTo(const Hostile& hostile, std::ostream* os) { *os << hostile.name; }

const Hostile kHostile[] = {
    {"Traversal", With(kGood, {File("a/../../escaped", "x")}), 2301, "\"..\""},
    {"AbsolutePath", With(kGood, {File("/tmp/vexohost-absolute", "x")}), 2301, "absolute path"},
    {"SymlinkToAbsolute", With(kGood, {Symlink("etc", "/etc")}), 2301, "link out"},
    {"FileThroughASymlink", With(kGood, {Folder("in"), Symlink("sub", "in"), File("sub/x", "")}),
     2301, "behind a link"},
    {"HardlinkToAbsolute", With(kGood, {Hardlink("pw", "/etc/passwd")}), 2301, "\"pw\""},
    {"Fifo", With(kGood, {Fifo("pipe")}), 2301, "is a device, pipe or socket"},
    {"SameFileTwice", With(kGood, {File("verify", "again")}), 2301, "appears twice"},
    {"LinkOverAFile", With(kGood, {Symlink("verify", "manifest.json")}), 2301, "appears twice"},
    {"VerifierIsALink",
     {kGood[0], File("v", "", 0755), Symlink("verify", "v")},
     2303,
     "\"verify\" is not a regular"},
    {"ShippedNameInAnotherCase", Plugin("FileDrop", "1.0"), 2004,
     "\"FileDrop\" differs only in case from \"filedrop\", which is shipped"},
};

class HostileInstallTest : public InstallTest, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileInstallTest, IsRefusedAndTheStoreStaysAsItWas) {
  Ship("filedrop");
  Handler("").HostAdd(Package("warm.tar.gz", Plugin("warmhost", "1.0")));
  Handler("warmhost").AccountSet("bob", "pw");
  const Hostile& hostile = GetParam();
  const std::string package = Package(hostile.name + ".tar.gz", hostile.entries);
  const std::string before = Listing(state());
  fake::ClearSyslog();
  const std::string outcome = Outcome([&] { Handler("").HostAdd(package); });
  EXPECT_THAT(outcome,
              AllOf(StartsWith(std::to_string(hostile.code) + " "), HasSubstr(hostile.says)));
  EXPECT_EQ(fake::OneLine(LOG_ERR, "vexohost: install: " + outcome.substr(5) + " (error " +
                                       outcome.substr(0, 4) + ")"),
            fake::SyslogLines());
  EXPECT_EQ(before, Listing(state()));
}

INSTANTIATE_TEST_SUITE_P(Packages, HostileInstallTest, ::testing::ValuesIn(kHostile),
                         [](const auto& info) { return info.param.name; });

// The limits, made small so that the packages stay small; bytes count as they unpack, also past
// what an entry declares.
TEST_F(InstallTest, APackagePastALimitIsRefusedWhole) {
  WriteFile(packages_ / "u.zip", ZipEntryDeclaring("u", 1, std::string(100000, 'u')));
  const struct {
    internal::PackageLimits limits;
    std::string package;
    std::string message;
  } rows[] = {
      {{4},
       Package("n.tar.gz", With(kGood, {File("a", ""), File("b", ""), File("c", "")})),
       "package has more than 4 entries"},
      {{9, 1 << 20, 1 << 20, 2},
       Package("d.tar.gz", With(kGood, {File("a/b/x", "")})),
       "package entry \"a/b/x\" has a path more than 2 levels deep"},
      {{9, 1 << 20, 1000}, packages_ / "u.zip", "package unpacks to more than 1000 bytes"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ("2302 " + row.message, Outcome([&] { InstallWith(row.package, row.limits); }));
    EXPECT_FALSE(Exists(Path("user/rapidbox"))) << row.package;
  }
}

}  // namespace
}  // namespace vexodl::vexohost::test
