// The state directory as a NAS box has it: reached through links to a data volume, and guarded
// against other users of the box.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

// The state directory is <top>/box<ESC>/state, holding plug-in "filedrop", and the service is
// pointed at it through a link to the box, which it follows. Messages show the real path escaped.
class StateDirPlacesTest : public ::testing::Test {
 protected:
  StateDirPlacesTest() {
    WriteFile(state_ + "/shipped/filedrop/manifest.json", ManifestText("filedrop"));
    ::chmod(state_.c_str(), 0700);
    EXPECT_EQ(0, ::symlink(box_.c_str(), (top_ / "linked").c_str())) << std::strerror(errno);
  }

  fake::TempDir top_;
  std::string box_ = top_ / "box\x1b";
  std::string state_ = box_ + "/state";
  std::string shown_box_ = top_ / "box\\u001b";
  std::string shown_state_ = shown_box_ + "/state";
  fake::ScopedEnv env_{{"VEXODL_VEXOHOST_STATE_DIR", top_ / "linked/state"},
                       {"VEXODL_VEXOHOST_VERIFIER_USER", "nobody"}};
};

TEST_F(StateDirPlacesTest, NothingBelowTheStateDirectoryIsWrittenThroughALink) {
  const fake::TempDir package;
  WriteFile(package / "manifest.json", ManifestText("newhost"));
  const std::vector<std::pair<std::string, std::function<void()>>> rows = {
      {"lock.gate", [] { Handler("filedrop").AccountSet("alice", "one"); }},
      {"lock", [] { Handler("filedrop").HostEnabledSet(true); }},
      {"user", [&] { Handler("").HostAdd(package.path()); }},
  };
  const std::string elsewhere = top_ / "elsewhere";
  for (const auto& [entry, call] : rows) {
    ASSERT_EQ(0, ::mkdir(elsewhere.c_str(), 0700));
    ASSERT_EQ(0, ::symlink(elsewhere.c_str(), (state_ + "/" + entry).c_str()));
    EXPECT_EQ("2101 open " + shown_state_ + "/" + entry + ": Too many levels of symbolic links",
              Outcome(call));
    EXPECT_EQ(0, ::rmdir(elsewhere.c_str())) << entry << ": something was written through it";
    ::unlink((state_ + "/" + entry).c_str());
  }
}

// Another user who can put files in the state directory, or replace it, could slip in a database
// of theirs and read every password stored after, or run their own verifier. Reads go on.
const std::vector<std::function<void()>> kWrites = {
    [] { Handler("filedrop").AccountSet("alice", "one"); },
    [] { Handler("filedrop").HostEnabledSet(false); },
    [] { Handler("filedrop").HostRemoveAccount(); },
    [] { Handler("filedrop").HostDelete(); },
    [] { Handler("filedrop").HostUpdate("file:///nonexistent/"); },
    [] {
      Json::Value info;
      Handler("filedrop").AccountVerify(info, "alice", "one");
    },
    [] { Handler("").HostAdd("/nonexistent.tar.gz"); },
};
const std::string kWritable =
    ") can be written by other users, who could put files of theirs in place: take that away "
    "(chmod go-w ";

TEST_F(StateDirPlacesTest, WritesAndVerifiersNeedADirectoryNoOtherUserCanChange) {
  const auto& writes = kWrites;
  const std::string& writable = kWritable;
  const std::vector<std::pair<std::function<int()>, std::string>> rows = {
      {[&] { return ::chmod(state_.c_str(), 0777); },
       "state directory " + shown_state_ + " (mode 0777" + writable + shown_state_ + ")"},
      // Sticky or not: another user could create accounts.db-journal first and read the old
      // pages of the next change, every password among them.
      {[&] { return ::chmod(state_.c_str(), 01777); },
       "state directory " + shown_state_ + " (mode 1777" + writable + shown_state_ + ")"},
      {[&] { return ::chmod(box_.c_str(), 0775); },
       "directory " + shown_box_ + " (mode 0775" + writable + shown_box_ + ")"},
      {[&] { return ::geteuid() == 0 ? ::chown(state_.c_str(), 4242, 4242) : -1; },
       "state directory " + shown_state_ + " belongs to user 4242, neither root nor this " +
           "service's user 0, who could replace what it holds: give it to root or to user 0 " +
           "(chown)"},
  };
  for (const auto& [make, refusal] : rows) {
    if (make() != 0) continue;
    for (const auto& write : writes) EXPECT_EQ("2103 " + refusal, Outcome(write));
    EXPECT_FALSE(Exists(state_ + "/lock.gate"));
    EXPECT_EQ("ok", Outcome(HostList));
    EXPECT_EQ(0, ::chown(state_.c_str(), ::geteuid(), ::getegid())) << std::strerror(errno);
    ::chmod(state_.c_str(), 0700);
    ::chmod(box_.c_str(), 0755);
  }
  ASSERT_EQ(0, ::chmod(box_.c_str(), 01777));  // sticky above, as /tmp: nobody replaces our files
  EXPECT_EQ("ok", Outcome(writes[0]));
}

// A change acts on what a manifest says, and a verifier runs with the password: every folder from
// the state directory down to them is held to the same rule, shipped ones included.
TEST_F(StateDirPlacesTest, ChangesNeedPluginFoldersNoOtherUserCanChange) {
  for (const std::string folder : {"shipped", "shipped/filedrop", "user"}) {
    ::mkdir((state_ + "/" + folder).c_str(), 0700);
    ASSERT_EQ(0, ::chmod((state_ + "/" + folder).c_str(), 0777));
    const std::string refusal = "2103 directory " + shown_state_ + "/" + folder + " (mode 0777" +
                                kWritable + shown_state_ + "/" + folder + ")";
    // Installs only need user/; the rest act on the shipped plug-in "filedrop".
    for (std::size_t i = 0; i < kWrites.size(); ++i) {
      if ((folder == "user") != (i + 1 == kWrites.size())) continue;
      EXPECT_EQ(refusal, Outcome(kWrites[i])) << folder << " " << i;
    }
    EXPECT_EQ("ok", Outcome(HostList));
    ASSERT_EQ(0, ::chmod((state_ + "/" + folder).c_str(), 0755));
  }
}

TEST_F(StateDirPlacesTest, FilesOfAnotherUserInTheStateDirectoryAreRefusedForWrites) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  Handler("filedrop").AccountSet("alice", "one");
  for (const char* file : {"accounts.db", "lock.gate", "lock"}) {
    const std::string path = state_ + "/" + file;
    ASSERT_EQ(0, ::chown(path.c_str(), 4242, 4242));
    EXPECT_EQ("alice", HostObject("filedrop")["username"].asString()) << file;
    EXPECT_EQ("2103 " + shown_state_ + "/" + file + " belongs to user 4242, not to this " +
                  "service's user 0: remove it, or give it to user 0 (chown) if it is the " +
                  "service's own",
              Outcome([] { Handler("filedrop").AccountSet("mallory", "two"); }));
    ASSERT_EQ(0, ::chown(path.c_str(), 0, 0));
  }
}

// SQLite writes the old pages of every change into the journal and rolls back a journal it finds:
// one of another user's could be read by them or replace every account, so nothing opens it.
TEST_F(StateDirPlacesTest, AJournalOfAnotherUserIsNeitherWrittenNorRolledBack) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  Handler("filedrop").AccountSet("alice", "one");
  const std::string journal = state_ + "/accounts.db-journal";
  CutOffAChange(state_ + "/accounts.db");
  ASSERT_EQ(0, ::chown(journal.c_str(), 4242, 4242));
  const std::string refusal = "2103 " + shown_state_ + "/accounts.db-journal belongs to user " +
                              "4242, not to this service's user 0: remove it, or give it to " +
                              "user 0 (chown) if it is the service's own";
  EXPECT_EQ(refusal, Outcome(HostList));
  EXPECT_EQ(refusal, Outcome([] { Handler("filedrop").AccountSet("mallory", "two"); }));
  EXPECT_TRUE(Exists(journal));
}

}  // namespace
}  // namespace vexodl::vexohost::test
