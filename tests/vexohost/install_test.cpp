// HostAdd: packages of each kind, hostile ones refused with the store left byte for byte as it
// was, the limits, and the switch that puts a plug-in into place.
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
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

namespace fs = std::filesystem;
using internal::Installer;
using ::testing::HasSubstr;

const std::vector<Entry> kGood = Plugin("rapidbox", "1.0");

class InstallTest : public StateDirTest {
 protected:
  std::string Package(const std::string& file, const std::vector<Entry>& entries) {
    WriteArchive(packages_ / file, entries);
    return packages_ / file;
  }
  std::string Version(const std::string& name) {
    Json::Value out;
    Handler(name).AccountGet(out);
    return out["version"].asString();
  }
  // Installs `package` as HostAdd does, with `limits`, calling `test_hook` at each stage.
  void InstallWith(const std::string& package, const internal::PackageLimits& limits,
                   const Installer::TestHook& test_hook = {}) {
    internal::StoreLock lock(Path("lock"), internal::StoreLock::Mode::kExclusive);
    const internal::Staging staging{internal::StateDir(state())};
    Installer(internal::StateDir(state()), limits, test_hook).Install(package);
  }

  fake::TempDir packages_;
};

TEST_F(InstallTest, EachKindOfPackageInstallsWithItsFilesModesAndLinks) {
  const std::string folder = packages_ / "src";
  WriteFile(folder + "/manifest.json", ManifestText("folderhost", "0.5"));
  WriteFile(folder + "/data/list", "one\n");
  ASSERT_EQ(0, ::symlink("data/list", (folder + "/alias").c_str()));
  Handler("").HostAdd(Package(
      "a.tar.gz",
      With(Plugin("alphahost", "1.0"), {Symlink("alias", "verify"), Hardlink("copy", "verify")})));
  Handler("").HostAdd(Package("b.tgz", Plugin("betahost", "2.0", "betahost-2.0")));
  Handler("").HostAdd(Package("c.zip", Plugin("gammahost", "3.0", "whatever")));
  Handler("").HostAdd(folder + "/");
  EXPECT_EQ("1.0 2.0 3.0 0.5", Version("alphahost") + " " + Version("betahost") + " " +
                                   Version("gammahost") + " " + Version("folderhost"));
  EXPECT_EQ(0755u, Mode(Path("user/gammahost/verify")));
  EXPECT_EQ(0644u, Mode(Path("user/gammahost/manifest.json")));
  EXPECT_EQ(ReadFile(Path("user/alphahost/verify")), ReadFile(Path("user/alphahost/copy")));
  EXPECT_EQ("verify", fs::read_symlink(Path("user/alphahost/alias")).string());
  EXPECT_EQ("data/list", fs::read_symlink(Path("user/folderhost/alias")).string());
  EXPECT_FALSE(Exists(Path("user/whatever")));
}

TEST_F(InstallTest, ReinstallingReplacesTheWholeFolderKeepsTheAccountAndEmptiesStaging) {
  Handler("").HostAdd(Package("r1.tar.gz", With(kGood, {File("old.txt", "gone soon")})));
  Handler("rapidbox").AccountSet("alice", "secret");
  // Left by an install that was killed: every change of the plug-in folders clears it first.
  WriteFile(Path("staging/ready/manifest.json"), ManifestText("debris"));
  fake::ClearSyslog();
  Handler("").HostAdd(Package("r2.zip", Plugin("rapidbox", "2.0")));
  EXPECT_EQ(fake::OneLine(LOG_INFO, "vexohost: install: installed rapidbox 2.0 (was 1.0)"),
            fake::SyslogLines());
  EXPECT_EQ("2.0", Version("rapidbox"));
  EXPECT_FALSE(Exists(Path("user/rapidbox/old.txt")));
  EXPECT_EQ("NULL|alice|secret", Row("rapidbox"));
  EXPECT_EQ("", Listing(Path("staging")));
}

// A reader, or a crash, sees the old plug-in or the new one whole: one rename swaps the checked
// copy in and the old one out to staging/.
TEST_F(InstallTest, TheSwitchExchangesTheOldFolderForTheNewInOneStep) {
  Handler("").HostAdd(Package("r1.tar.gz", kGood));
  std::vector<std::string> seen;  // "installed version / version in staging/ready"
  InstallWith(Package("r2.zip", Plugin("rapidbox", "2.0")), {}, [&](Installer::Stage) {
    seen.push_back(Version("rapidbox") + " / " +
                   ParseJson(ReadFile(Path("staging/ready/manifest.json")))["version"].asString());
  });
  EXPECT_EQ((std::vector<std::string>{"1.0 / 2.0", "2.0 / 1.0"}), seen);
  EXPECT_EQ("", Listing(Path("staging")));
}

// A package that must be refused: its entries, the code and a piece of the message; the name of
// its file ends in `ending`, and holds `raw` instead when that is set, or nothing at all.
struct Hostile {
  std::string name;
  std::vector<Entry> entries;
  int code;
  std::string says;
  std::string ending = ".tar.gz";
  std::string raw = {};
};

void PrintTo(const Hostile& hostile, std::ostream* os) { *os << hostile.name; }

std::string Repeat(const std::string& part, int times) {
  return times == 0 ? "" : part + Repeat(part, times - 1);
}

const Hostile kHostile[] = {
    {"Traversal", With(kGood, {File("a/../../escaped", "x")}), 2301, "\"..\""},
    {"AbsolutePath", With(kGood, {File("/tmp/vexohost-absolute", "x")}), 2301, "absolute path"},
    {"SymlinkToAbsolute", With(kGood, {Symlink("etc", "/etc")}), 2301, "link out"},
    {"SymlinkUpwards", With(kGood, {Symlink("up", "../../..")}), 2301, "\"..\""},
    {"FileThroughASymlink", With(kGood, {Folder("in"), Symlink("sub", "in"), File("sub/x", "")}),
     2301, "behind a link"},
    {"HardlinkToAbsolute", With(kGood, {Hardlink("pw", "/etc/passwd")}), 2301, "absolute path"},
    {"HardlinkToNothingOfThePackage", With(kGood, {Hardlink("x", "y")}), 2301, "not a file of"},
    {"Fifo", With(kGood, {Fifo("pipe")}), 2301, "is a device, pipe or socket"},
    {"SameFileTwice", With(kGood, {File("verify", "again")}), 2301, "appears twice"},
    {"LinkOverAFile", With(kGood, {Symlink("verify", "x")}), 2301, "appears twice"},
    {"HardlinkOverAFile", With(kGood, {Hardlink("verify", "manifest.json")}), 2301, "twice"},
    {"FileNamedDot", With(kGood, {File(".", "x")}), 2301, "package's own folder but no folder"},
    {"LongName", With(kGood, {File(std::string(256, 'n'), "")}), 2302, "name longer than 255"},
    {"LongPath", With(kGood, {File(Repeat(std::string(127, 'p') + "/", 8) + "x", "")}), 2302,
     "has a path longer than 1024 bytes"},
    {"Deep", With(kGood, {File(Repeat("a/", 32) + "x", "")}), 2302, "more than 32 levels deep"},
    {"Declares1GiB", {}, 2302, "larger than 67108864", ".zip", ZipEntryDeclaring("b", 1 << 30, "")},
    {"BrokenManifest", {File("manifest.json", "{")}, 2303, "not valid JSON"},
    {"HostileName", {File("manifest.json", ManifestText("../etc"))}, 2303, "no valid host name"},
    {"NoManifest", {File("readme", "hello")}, 2303, "holds no manifest.json"},
    {"TwoTopFolders", With(Plugin("x", "1", "one"), {Folder("two")}), 2303, "no manifest.json"},
    {"VerifierIsALink", {kGood[0], Symlink("verify", "x")}, 2303, "\"verify\" is not a regular"},
    {"VerifierNotExecutable", {kGood[0], File("verify", "")}, 2303, "\"verify\" is not executable"},
    {"ShippedName", Plugin("filedrop", "1.0"), 2004, "\"filedrop\" is shipped"},
    {"ShippedNameInAnotherCase", Plugin("FileDrop", "1.0"), 2004,
     "\"FileDrop\" differs only in case from \"filedrop\", which is shipped"},
    {"NotAnArchiveName", kGood, 2300, "is neither a folder nor", ".rar"},
    {"NotGzip", {}, 2300, "cannot read package", ".tar.gz", "this is not gzip at all"},
    {"CutShort",
     {},
     2300,
     "cannot read package entry \"w\"",
     ".zip",
     ZipEntryDeclaring("w", 60000, std::string(60000, 'w')).substr(0, 30000)},
    {"Missing", {}, 2300, "Missing\\u001b.zip: No such file", "\x1b.zip"},
};

class HostileInstallTest : public InstallTest, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileInstallTest, IsRefusedAndTheStoreStaysAsItWas) {
  Ship("filedrop");
  Handler("").HostAdd(Package("warm.tar.gz", Plugin("warmhost", "1.0")));
  Handler("warmhost").AccountSet("bob", "pw");
  const Hostile& hostile = GetParam();
  const std::string package = packages_ / (hostile.name + hostile.ending);
  if (!hostile.entries.empty()) WriteArchive(package, hostile.entries);
  if (!hostile.raw.empty()) WriteFile(package, hostile.raw);
  const std::string before = Listing(state());
  fake::ClearSyslog();
  const Thrown thrown = ErrorOf([&] { Handler("").HostAdd(package); });
  EXPECT_EQ(hostile.code, thrown.code);
  EXPECT_THAT(thrown.message, HasSubstr(hostile.says));
  EXPECT_THAT(fake::SyslogLines(),
              ::testing::ElementsAre(
                  fake::LogLine{LOG_ERR, "vexohost: install: " + thrown.message + " (error " +
                                             std::to_string(hostile.code) + ")"}));
  EXPECT_EQ(before, Listing(state()));
  EXPECT_FALSE(Exists("/tmp/vexohost-absolute"));
}

INSTANTIATE_TEST_SUITE_P(Packages, HostileInstallTest, ::testing::ValuesIn(kHostile),
                         [](const auto& info) { return info.param.name; });

// The limits, made small so that the packages stay small; folders that paths imply count as
// entries, as does every entry naming the package's own folder, and bytes count as they unpack,
// also past what an entry declares.
TEST_F(InstallTest, APackagePastALimitIsRefusedWhole) {
  const std::string block(1000, 'z');  // compresses to almost nothing: the unpacked size counts
  WriteFile(packages_ / "u.zip", ZipEntryDeclaring("u", 1, std::string(100000, 'u')));
  const struct {
    internal::PackageLimits limits;
    std::string package;
    std::string message;
  } rows[] = {
      {{4},
       Package("n.tar.gz", With(kGood, {File("a", ""), File("b", ""), File("c", "")})),
       "package has more than 4 entries"},
      {{4},
       Package("f.tar.gz", With(kGood, {File("a/b/x", "")})),
       "package has more than 4 entries"},
      {{4},
       Package("d.tar.gz", With(kGood, {Folder("."), Folder("./"), Folder(".")})),
       "package has more than 4 entries"},
      {{9, 1000},
       Package("e.zip", With(kGood, {File("big", std::string(1001, 'x'))})),
       "package entry \"big\" is larger than 1000 bytes"},
      {{9, 5000, 3000},
       Package("t.tar.gz", With(kGood, {File("a", block), File("b", block), File("c", block)})),
       "package unpacks to more than 3000 bytes"},
      {{9, 1 << 20, 1000}, packages_ / "u.zip", "package unpacks to more than 1000 bytes"},
  };
  for (const auto& row : rows) {
    const Thrown thrown = ErrorOf([&] { InstallWith(row.package, row.limits); });
    EXPECT_EQ(2302, thrown.code) << row.package;
    EXPECT_EQ(row.message, thrown.message) << row.package;
    EXPECT_FALSE(Exists(Path("user/rapidbox"))) << row.package;
  }
}

}  // namespace
}  // namespace vexodl::vexohost::test
