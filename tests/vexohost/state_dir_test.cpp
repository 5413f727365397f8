// The state directory as a NAS box has it: reached through links to a data volume, and guarded
// against other users of the box.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
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

// Each row makes the state directory <top>/box<ESC>/state, holding plug-in "filedrop", one way.
// Messages show the path escaped.
class StateDirPlacesTest : public ::testing::Test {
 protected:
  StateDirPlacesTest() {
    WriteFile(state_ + "/shipped/filedrop/manifest.json", ManifestText("filedrop"));
    ::chmod(state_.c_str(), 0700);
    ::setenv("VEXODL_VEXOHOST_STATE_DIR", state_.c_str(), 1);
  }
  ~StateDirPlacesTest() override { ::unsetenv("VEXODL_VEXOHOST_STATE_DIR"); }

  // "ok", or the code of the VexoError that `call` threw.
  static std::string Outcome(const std::function<void()>& call) {
    try {
      call();
      return "ok";
    } catch (const VexoError& error) {
      return std::to_string(error.code);
    }
  }

  fake::TempDir top_;
  std::string box_ = top_ / "box\x1b";
  std::string state_ = box_ + "/state";
  std::string shown_box_ = top_ / "box\\x1b";
  std::string shown_state_ = shown_box_ + "/state";
};

TEST_F(StateDirPlacesTest, LinksToTheStateDirectoryOrAboveItAreFollowed) {
  ASSERT_EQ(0, ::symlink(state_.c_str(), (top_ / "linked-state").c_str()));
  ASSERT_EQ(0, ::symlink(box_.c_str(), (top_ / "linked-box").c_str()));
  for (const std::string& path : {top_ / "linked-state", top_ / "linked-box/state"}) {
    ::setenv("VEXODL_VEXOHOST_STATE_DIR", path.c_str(), 1);
    Handler("filedrop").AccountSet("alice", path);
    Json::Value host;
    Handler("filedrop").AccountGet(host);
    Json::Value listing;
    Handler("").List(listing);
    EXPECT_EQ("alice", host["username"].asString()) << path;
    EXPECT_EQ("alice", listing[0]["username"].asString()) << path;
    Handler("filedrop").HostRemoveAccount();
  }
  EXPECT_TRUE(Exists(state_ + "/accounts.db"));
}

TEST_F(StateDirPlacesTest, NothingBelowTheStateDirectoryIsWrittenThroughALink) {
  fake::TempDir package;
  WriteFile(package / "manifest.json", ManifestText("newhost"));
  const std::vector<std::pair<std::string, std::function<void()>>> rows = {
      {"lock.gate", [] { Handler("filedrop").AccountSet("alice", "one"); }},
      {"lock", [] { Handler("filedrop").AccountSet("alice", "one"); }},
      {"user", [&] { Handler("").HostAdd(package.path()); }},
  };
  const std::string elsewhere = top_ / "elsewhere";
  for (const auto& [entry, call] : rows) {
    ASSERT_EQ(0, ::mkdir(elsewhere.c_str(), 0700));
    ASSERT_EQ(0, ::symlink(elsewhere.c_str(), (state_ + "/" + entry).c_str()));
    try {
      call();
      ADD_FAILURE() << entry << ": no VexoError";
    } catch (const VexoError& error) {
      EXPECT_EQ(2101, error.code) << entry;
      EXPECT_EQ("open " + shown_state_ + "/" + entry + ": Too many levels of symbolic links",
                std::string(error.what()));
    }
    EXPECT_EQ(0, ::rmdir(elsewhere.c_str())) << entry << ": something was written through it";
    ::unlink((state_ + "/" + entry).c_str());
  }
}

// Another user who can create files in the state directory, or replace it, could put a database
// of theirs in place and read every password stored after, or run their own verifier.
TEST_F(StateDirPlacesTest, WritesAndVerifiersNeedADirectoryNoOtherUserCanChange) {
  const std::vector<std::pair<const char*, std::function<void()>>> writes = {
      {"AccountSet", [] { Handler("filedrop").AccountSet("alice", "one"); }},
      {"HostEnabledSet", [] { Handler("filedrop").HostEnabledSet(false); }},
      {"HostRemoveAccount", [] { Handler("filedrop").HostRemoveAccount(); }},
      {"HostDelete", [] { Handler("filedrop").HostDelete(); }},
      {"HostAdd", [] { Handler("").HostAdd("/nonexistent.tar.gz"); }},
      {"HostUpdate", [] { Handler("filedrop").HostUpdate("file:///nonexistent/"); }},
      {"AccountVerify",
       [] {
         Json::Value info;
         Handler("filedrop").AccountVerify(info, "alice", "one");
       }},
  };
  struct Row {
    const char* place;
    std::function<int()> make;  // 0 when made
    std::string refusal;        // the message of 2103, or "" where writes go through
    bool needs_root;
  };
  const std::vector<Row> rows = {
      {"state directory 0777", [&] { return ::chmod(state_.c_str(), 0777); },
       "state directory " + shown_state_ +
           " (mode 0777) can be written by other users, who could put files of theirs in place: " +
           "take that away (chmod go-w " + shown_state_ + ")",
       false},
      {"parent 0775", [&] { return ::chmod(box_.c_str(), 0775); },
       "directory " + shown_box_ +
           " (mode 0775) can be written by other users, who could put files of theirs in place: " +
           "take that away (chmod go-w " + shown_box_ + ")",
       false},
      {"state directory of another user", [&] { return ::chown(state_.c_str(), 4242, 4242); },
       "state directory " + shown_state_ +
           " belongs to user 4242, neither root nor this service's user 0, who could replace " +
           "what it holds: give it to root or to user 0 (chown)",
       true},
      // Last: writes go through and leave files behind.
      {"state directory 1777 (sticky, as /tmp)", [&] { return ::chmod(state_.c_str(), 01777); }, "",
       false},
  };
  for (const Row& row : rows) {
    if (row.needs_root && ::geteuid() != 0) continue;
    ASSERT_EQ(0, row.make()) << row.place;
    for (const auto& [name, write] : writes) {
      try {
        write();
        EXPECT_EQ("", row.refusal) << row.place << ", " << name;
      } catch (const VexoError& error) {
        EXPECT_EQ(row.refusal.empty() ? "not 2103" : "2103 " + row.refusal,
                  error.code == 2103 ? "2103 " + std::string(error.what()) : "not 2103")
            << row.place << ", " << name;
      }
    }
    if (!row.refusal.empty()) {
      EXPECT_FALSE(Exists(state_ + "/accounts.db")) << row.place;
      EXPECT_FALSE(Exists(state_ + "/lock.gate")) << row.place;
    }
    // Reads go on: they store nothing that another user could have a hand in.
    EXPECT_EQ("ok", Outcome([] {
                Json::Value listing;
                Handler("").List(listing);
              }))
        << row.place;
    ::chown(state_.c_str(), 0, 0);
    ::chmod(state_.c_str(), 0700);
    ::chmod(box_.c_str(), 0755);
  }
}

TEST_F(StateDirPlacesTest, FilesOfAnotherUserInTheStateDirectoryAreRefusedForWrites) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  Handler("filedrop").AccountSet("alice", "one");
  for (const char* file : {"accounts.db", "lock.gate", "lock"}) {
    const std::string path = state_ + "/" + file;
    const std::string shown = shown_state_ + "/" + file;
    ASSERT_EQ(0, ::chown(path.c_str(), 4242, 4242));
    Json::Value host;
    Handler("filedrop").AccountGet(host);  // reads go on
    EXPECT_EQ("alice", host["username"].asString()) << file;
    try {
      Handler("filedrop").AccountSet("mallory", "two");
      ADD_FAILURE() << file << ": no VexoError";
    } catch (const VexoError& error) {
      EXPECT_EQ(2103, error.code);
      EXPECT_EQ(shown + " belongs to user 4242, not to this service's user 0: remove it, or give " +
                    "it to user 0 (chown) if it is the service's own",
                std::string(error.what()));
    }
    ASSERT_EQ(0, ::chown(path.c_str(), 0, 0));
  }
}

}  // namespace
}  // namespace vexodl::vexohost::test
