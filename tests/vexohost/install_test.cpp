// HostAdd: real packages (folders, .tar.gz, .tgz, .zip), hostile ones refused with the store left
// byte for byte as it was, and the limits on entries and sizes.
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer.h"
#include "lock.h"
#include "outside/vexohost.h"
#include "packages.h"
#include "process_census.h"
#include "staging.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::HasSubstr;

class InstallTest : public StateDirTest {
 protected:
  // Writes an archive of `entries` called `file` outside the state directory (see WriteArchive).
  std::string Package(const std::string& file, const std::vector<Entry>& entries,
                      const std::string& raw_first = "") {
    const std::string path = packages_ / file;
    WriteArchive(path, entries, raw_first);
    return path;
  }

  Json::Value Get(const std::string& name) {
    Json::Value out;
    Handler(name).AccountGet(out);
    return out;
  }

  fake::TempDir packages_;
};

TEST_F(InstallTest, ATarGzWithTheManifestAtItsTopBecomesAUserPlugin) {
  const std::vector<Entry> entries = Plugin("rapidbox", "1.2");
  const std::string package = Package("rapidbox.tar.gz", entries);
  const int descriptors = fake::OpenDescriptorCount();
  Handler("").HostAdd(package);
  EXPECT_EQ(descriptors, fake::OpenDescriptorCount());
  EXPECT_EQ(entries[0].data, ReadFile(Path("user/rapidbox/manifest.json")));
  EXPECT_EQ(entries[1].data, ReadFile(Path("user/rapidbox/verify")));
  EXPECT_EQ(0755u, Mode(Path("user/rapidbox/verify")));
  EXPECT_EQ(0644u, Mode(Path("user/rapidbox/manifest.json")));
  const Json::Value host = Get("rapidbox");
  EXPECT_EQ("1.2", host["version"].asString());
  EXPECT_TRUE(host["user"].asBool());
  EXPECT_EQ("", Listing(Path("staging")));
}

TEST_F(InstallTest, ATgzAndAZipWithOneTopFolderInstallToo) {
  Handler("").HostAdd(Package("a.tgz", Plugin("alphahost", "1.0", "alphahost-1.0")));
  Handler("").HostAdd(Package("b.zip", Plugin("betahost", "3.1", "whatever")));
  EXPECT_EQ("1.0", Get("alphahost")["version"].asString());
  EXPECT_EQ("3.1", Get("betahost")["version"].asString());
  EXPECT_EQ(0755u, Mode(Path("user/betahost/verify")));
  EXPECT_FALSE(Exists(Path("user/whatever")));
}

TEST_F(InstallTest, AFolderInstallsAsACopy) {
  const std::string source = packages_ / "src";
  WriteFile(source + "/manifest.json", ManifestText("folderhost", "0.5"));
  WriteFile(source + "/data/list.txt", "one\ntwo\n");
  ASSERT_EQ(0, symlink("data/list.txt", (source + "/alias").c_str()));
  Handler("").HostAdd(source + "/");
  EXPECT_EQ("one\ntwo\n", ReadFile(Path("user/folderhost/data/list.txt")));
  char target[64] = {};
  ASSERT_GT(readlink(Path("user/folderhost/alias").c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ("data/list.txt", target);
  EXPECT_EQ("one\ntwo\n", ReadFile(source + "/data/list.txt"));  // the source stays
}

TEST_F(InstallTest, LinksThatStayInsideThePackageAreKept) {
  std::vector<Entry> entries = Plugin("linkhost", "1.0");
  entries.push_back(Symlink("alias", "verify"));
  entries.push_back(Hardlink("copy", "verify"));
  Handler("").HostAdd(Package("l.tar.gz", entries));
  struct stat st {};
  ASSERT_EQ(0, lstat(Path("user/linkhost/alias").c_str(), &st));
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(entries[1].data, ReadFile(Path("user/linkhost/copy")));
}

TEST_F(InstallTest, ReinstallingReplacesTheWholeFolderAndKeepsTheAccount) {
  std::vector<Entry> first = Plugin("rapidbox", "1.0");
  first.push_back(File("old.txt", "gone soon"));
  Handler("").HostAdd(Package("r1.tar.gz", first));
  Handler("rapidbox").AccountSet("alice", "secret");
  Handler("").HostAdd(Package("r2.zip", Plugin("rapidbox", "2.0")));
  EXPECT_EQ("2.0", Get("rapidbox")["version"].asString());
  EXPECT_FALSE(Exists(Path("user/rapidbox/old.txt")));
  EXPECT_EQ("NULL|alice|secret", Row("rapidbox"));
  EXPECT_EQ("", Listing(Path("staging")));
}

TEST_F(InstallTest, ANameThatAShippedPluginHasIsRefused) {
  Ship("filedrop");
  const std::string package = Package("f.tar.gz", Plugin("filedrop", "9.9"));
  const std::string before = Listing(state());
  const Thrown thrown = ErrorOf([&] { Handler("").HostAdd(package); });
  EXPECT_EQ(2004, thrown.code);
  EXPECT_THAT(thrown.message, HasSubstr("\"filedrop\" is shipped"));
  EXPECT_EQ(before, Listing(state()));
}

// A package that must be refused, with the code and a piece of the message.
struct Hostile {
  std::string test_name;
  std::string file;
  std::vector<Entry> entries;
  int code;
  std::string says;
  std::size_t cut = 0;         // when not 0, the archive is cut short to this many bytes
  std::string raw_first = {};  // when not empty, the tar's first entry, written by hand
};

// Names the case in GoogleTest's messages instead of dumping its bytes.
void PrintTo(const Hostile& hostile, std::ostream* os) { *os << hostile.test_name; }

std::vector<Entry> With(std::vector<Entry> entries, const std::vector<Entry>& more) {
  entries.insert(entries.end(), more.begin(), more.end());
  return entries;
}

const std::vector<Entry> kGood = Plugin("rapidbox", "1.0");

std::string Repeat(const std::string& part, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) text += part;
  return text;
}

// A newer version of the plug-in that every hostile install finds installed, with a file of
// bytes that do not compress, so that a cut archive ends inside it.
std::vector<Entry> BigWarmhost() {
  std::string noise(256 * 1024, '\0');
  unsigned state = 12345;
  for (char& byte : noise) byte = static_cast<char>((state = state * 1103515245 + 12345) >> 16);
  return With(Plugin("warmhost", "2.0"), {File("big", noise)});
}

std::vector<Hostile> HostileCases() {
  return {
      {"Traversal", "t.tar.gz", With(kGood, {File("../../escaped", "x")}), 2301, "\"..\""},
      {"TraversalInside", "t.tar.gz", With(kGood, {File("a/../../escaped", "x")}), 2301, ".."},
      {"AbsolutePath", "a.tar.gz", With(kGood, {File("/tmp/vexohost-absolute", "x")}), 2301,
       "absolute path"},
      {"SymlinkToAbsolute", "s.tar.gz", With(kGood, {Symlink("etc", "/etc")}), 2301,
       "symbolic link out"},
      {"SymlinkUpwards", "s.tar.gz", With(kGood, {Symlink("up", "../../..")}), 2301, "\"..\""},
      {"FileThroughASymlink", "s.tar.gz",
       With(kGood, {Folder("inner"), Symlink("sub", "inner"), File("sub/x", "x")}), 2301,
       "behind a link"},
      {"HardlinkToAbsolute", "h.tar.gz", With(kGood, {Hardlink("passwd", "/etc/passwd")}), 2301,
       "absolute path"},
      {"HardlinkUpwards", "h.tar.gz", With(kGood, {Hardlink("x", "../outside")}), 2301, ".."},
      {"HardlinkToNothingOfThePackage", "h.tar.gz", With(kGood, {Hardlink("x", "absent")}), 2301,
       "not a file of the package"},
      {"Fifo", "f.tar.gz", With(kGood, {Fifo("pipe")}), 2301, "device, pipe or socket"},
      {"CharacterDevice", "d.tar.gz", With(kGood, {CharDevice("null")}), 2301,
       "device, pipe or socket"},
      {"SameFileTwice", "d.tar.gz", With(kGood, {File("verify", "again")}), 2301, "appears twice"},
      {"LinkOverAFile", "d.tar.gz", With(kGood, {Symlink("verify", "manifest.json")}), 2301,
       "appears twice"},
      {"HardlinkOverAFile", "d.tar.gz", With(kGood, {Hardlink("verify", "manifest.json")}), 2301,
       "appears twice"},
      {"BrokenManifest", "m.tar.gz", {File("manifest.json", "{")}, 2303, "not valid JSON"},
      {"DeepManifest",
       "m.tar.gz",
       {File("manifest.json", std::string(2000, '['))},
       2303,
       "not valid JSON"},
      {"NoManifest", "m.tar.gz", {File("readme", "hello")}, 2303, "holds no manifest.json"},
      {"UnknownFormat",
       "m.tar.gz",
       {File("manifest.json", R"({"format": 2, "name": "rapidbox", "description": "",
                                  "version": "1", "authentication": "no"})")},
       2303,
       "format 2 is not supported"},
      {"HostileName",
       "m.tar.gz",
       {File("manifest.json", R"({"format": 1, "name": "../etc", "description": "",
                                  "version": "1", "authentication": "no"})")},
       2303,
       "no valid host name"},
      {"VerifierMissing", "m.tar.gz", {kGood[0]}, 2303, "\"verify\" is not a regular file"},
      {"VerifierIsALink",
       "m.tar.gz",
       {kGood[0], Symlink("verify", "manifest.json")},
       2303,
       "\"verify\" is not a regular file"},
      {"TwoTopFolders", "m.tar.gz", With(Plugin("rapidbox", "1.0", "one"), {Folder("two")}), 2303,
       "holds no manifest.json"},
      {"VerifierNotExecutable",
       "m.tar.gz",
       {kGood[0], File("verify", kGood[1].data, 0644)},
       2303,
       "the verifier \"verify\" is not executable"},
      {"ShippedNameInAnotherCase", "c.tar.gz", Plugin("FileDrop", "1.0"), 2004,
       "\"FileDrop\" differs only in case from \"filedrop\", which is shipped"},
      {"FileNamedDot", "d.tar.gz", With(kGood, {File(".", "x")}), 2301,
       "entry \".\" is the package's own folder but no folder"},
      // Declared data that nothing reads is still inflated to reach the next entry.
      {"RootFolderDeclaringAGibibyte", "g.tar.gz", kGood, 2302,
       "entry \".\" is larger than 67108864 bytes", 0, TarEntryDeclaring(".", '5', 1 << 30)},
      {"FolderDeclaringAGibibyte", "g.tar.gz", kGood, 2302,
       "entry \"d\" is larger than 67108864 bytes", 0, TarEntryDeclaring("d", '5', 1 << 30)},
      {"NameLongerThan255Bytes", "l.tar.gz", With(kGood, {File(std::string(256, 'n'), "x")}), 2302,
       "has a name longer than 255 bytes in its path"},
      {"PathLongerThan1024Bytes", "l.tar.gz",
       With(kGood, {File(Repeat(std::string(127, 'p') + "/", 8) + "x", "x")}), 2302,
       "has a path longer than 1024 bytes"},
      {"DeeperThan32Folders", "l.tar.gz", With(kGood, {File(Repeat("a/", 32) + "x", "x")}), 2302,
       "has a path more than 32 levels deep"},
      {"NotAnArchiveName", "p.rar", kGood, 2300, "neither a folder nor"},
      // Cut short, as by a full disk or a broken download: the install stops midway.
      {"TarGzCutInsideAFile", "w.tar.gz", BigWarmhost(), 2300, "cannot read package entry \"big\"",
       128 * 1024},
      {"TarGzCutInsideItsFirstEntry", "w.tar.gz", BigWarmhost(), 2300, "cannot read package", 40},
      {"ZipCutInsideAFile", "w.zip", BigWarmhost(), 2300, "cannot read package", 128 * 1024},
  };
}

class HostileInstallTest : public InstallTest, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileInstallTest, IsRefusedAndTheStoreStaysAsItWas) {
  Ship("filedrop");
  InstallUser("cloudvault");
  Handler("cloudvault").AccountSet("bob", "pw");
  // A first install leaves staging/ and the lock files as every later change finds them.
  Handler("").HostAdd(Package("warm.tar.gz", Plugin("warmhost", "1.0")));
  const Hostile& hostile = GetParam();
  const std::string package = Package(hostile.file, hostile.entries, hostile.raw_first);
  if (hostile.cut != 0) {
    ASSERT_EQ(0, ::truncate(package.c_str(), static_cast<off_t>(hostile.cut)));
  }
  const std::string before = Listing(state());
  const std::string packages_before = Listing(packages_.path());
  const int descriptors = fake::OpenDescriptorCount();

  const Thrown thrown = ErrorOf([&] { Handler("").HostAdd(package); });
  EXPECT_EQ(descriptors, fake::OpenDescriptorCount());
  EXPECT_EQ(hostile.code, thrown.code);
  EXPECT_THAT(thrown.message, HasSubstr(hostile.says));
  EXPECT_EQ(before, Listing(state()));
  EXPECT_EQ(packages_before, Listing(packages_.path()));
  EXPECT_FALSE(Exists("/tmp/vexohost-absolute"));
}

INSTANTIATE_TEST_SUITE_P(Packages, HostileInstallTest, ::testing::ValuesIn(HostileCases()),
                         [](const auto& info) { return info.param.test_name; });

TEST_F(InstallTest, WhatIsNoArchiveOrMissingIsRefusedAsUnreadable) {
  WriteFile(packages_ / "garbage.tar.gz", "this is not gzip at all");
  const Thrown garbage = ErrorOf([&] { Handler("").HostAdd(packages_ / "garbage.tar.gz"); });
  EXPECT_EQ(2300, garbage.code);
  EXPECT_THAT(garbage.message, HasSubstr("cannot read package"));
  const Thrown missing = ErrorOf([&] { Handler("").HostAdd(packages_ / "absent\x1b.zip"); });
  EXPECT_EQ(2300, missing.code);
  EXPECT_THAT(missing.message, HasSubstr("absent\\x1b.zip: No such file"));
  EXPECT_FALSE(Exists(Path("user")));
  EXPECT_EQ("", Listing(Path("staging")));
}

// The limits, made small so that the packages stay small.
class LimitsTest : public InstallTest {
 protected:
  Thrown InstallWith(const internal::PackageLimits& limits, const std::string& package) {
    internal::StoreLock lock(Path("lock"), internal::StoreLock::Mode::kExclusive);
    const internal::Installer installer(internal::StateDir(state()), limits);
    const internal::Staging staging{internal::StateDir(state())};
    return ErrorOf([&] { installer.Install(package); });
  }
};

TEST_F(LimitsTest, TooManyEntriesAreRefusedCountingTheFoldersThatPathsImply) {
  internal::PackageLimits limits;
  limits.max_entries = 4;
  for (const std::vector<Entry>& more :
       {std::vector<Entry>{File("a", ""), File("b", ""), File("c", "")},
        std::vector<Entry>{File("a/b/x", "")}}) {
    const Thrown thrown = InstallWith(limits, Package("n.tar.gz", With(kGood, more)));
    EXPECT_EQ(2302, thrown.code) << more[0].path;
    EXPECT_EQ("package has more than 4 entries", thrown.message);
    EXPECT_FALSE(Exists(Path("user/rapidbox")));
    EXPECT_EQ("", Listing(Path("staging")));
  }
}

TEST_F(LimitsTest, AnEntryLargerThanAllowedIsRefused) {
  internal::PackageLimits limits;
  limits.max_entry_bytes = 1000;
  const Thrown thrown =
      InstallWith(limits, Package("e.zip", With(kGood, {File("big", std::string(1001, 'x'))})));
  EXPECT_EQ(2302, thrown.code);
  EXPECT_EQ("package entry \"big\" is larger than 1000 bytes", thrown.message);
  EXPECT_FALSE(Exists(Path("user/rapidbox")));
  EXPECT_EQ("", Listing(Path("staging")));
}

TEST_F(LimitsTest, DataThatAFolderDeclaresCountsInAll) {
  internal::PackageLimits limits;
  limits.max_total_bytes = 1000;
  const std::string package =
      Package("d.tar.gz", kGood, TarEntryDeclaring("d", '5', 900, std::string(900, 'd')));
  const Thrown thrown = InstallWith(limits, package);
  EXPECT_EQ(2302, thrown.code);
  EXPECT_EQ("package unpacks to more than 1000 bytes", thrown.message);
}

TEST_F(LimitsTest, APackageThatUnpacksToMoreThanAllowedIsRefused) {
  internal::PackageLimits limits;
  limits.max_total_bytes = 3000;
  const std::string block(1000, 'z');  // compresses to almost nothing: the unpacked size counts
  const Thrown thrown = InstallWith(
      limits,
      Package("t.tar.gz", With(kGood, {File("a", block), File("b", block), File("c", block)})));
  EXPECT_EQ(2302, thrown.code);
  EXPECT_EQ("package unpacks to more than 3000 bytes", thrown.message);
  EXPECT_FALSE(Exists(Path("user/rapidbox")));
}

}  // namespace
}  // namespace vexodl::vexohost::test
