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
TEST_F(StateDirPlacesTest, WritesAndVerifiersNeedADirectoryNoOtherUserCanChange) {
  const auto write = [] { Handler("filedrop").AccountSet("alice", "one"); };
  const std::string writable =
      ") can be written by other users, who could put files of theirs in place: take that away "
      "(chmod go-w ";
  const std::vector<std::pair<std::function<int()>, std::string>> rows = {
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
    EXPECT_EQ("2103 " + refusal, Outcome(write));
    EXPECT_FALSE(Exists(state_ + "/lock.gate"));
    EXPECT_EQ("ok", Outcome(HostList));
    EXPECT_EQ(0, ::chown(state_.c_str(), ::geteuid(), ::getegid())) << std::strerror(errno);
    ::chmod(state_.c_str(), 0700);
    ::chmod(box_.c_str(), 0755);
  }
  ASSERT_EQ(0, ::chmod(box_.c_str(), 01777));  // sticky above, as /tmp: nobody replaces our files
  EXPECT_EQ("ok", Outcome(write));
}

}  // namespace
}  // namespace vexodl::vexohost::test
