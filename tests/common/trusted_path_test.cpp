// Who could have written a path: the walk from "/" that guards what the back-ends run, read and
// send secrets to.
#include "trusted_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "temp_dir.h"

namespace vexodl::common {
namespace {

using Verdict = PathTrust::Verdict;

std::string Shown(const std::string& path) { return "<" + path + ">"; }

// Under a fresh folder (0700, in /tmp, which is sticky): "own" for our files, a folder that
// others may write, a sticky one, and links between them.
class TrustedPathTest : public ::testing::Test {
 protected:
  TrustedPathTest() {
    for (const auto& [name, mode] : {std::pair<const char*, mode_t>{"own", 0700},
                                     {"open", 0777},
                                     {"sticky", 01777},
                                     {"own/sub", 0755}}) {
      EXPECT_EQ(0, ::mkdir((top_ / name).c_str(), 0700));
      EXPECT_EQ(0, ::chmod((top_ / name).c_str(), mode));
    }
    EXPECT_EQ(0, ::symlink("../open", (top_ / "own/to-open").c_str()));
    EXPECT_EQ(0, ::symlink((top_ / "own/sub").c_str(), (top_ / "own/to-sub").c_str()));
  }

  fake::TempDir top_;
};

TEST_F(TrustedPathTest, EveryFolderOnTheWayAndEveryLinkTargetIsJudged) {
  const struct {
    std::string path;
    std::string strict_from;
    Verdict verdict;
    std::string where;
  } rows[] = {
      {top_ / "own/sub", top_ / "own", Verdict::kTrusted, top_ / "own/sub"},
      {top_ / "open", top_ / "own", Verdict::kWritable, top_ / "open"},
      {top_ / "own/to-open/x", top_ / "own", Verdict::kWritable, top_ / "open"},
      // Sticky above the folder we keep our files in, as /tmp is; not at it or below.
      {top_ / "sticky", top_ / "own", Verdict::kTrusted, top_ / "sticky"},
      {top_ / "sticky", top_ / "sticky", Verdict::kWritable, top_ / "sticky"},
  };
  for (const auto& row : rows) {
    const PathTrust trust = CheckTrustedPath(row.path, row.strict_from);
    EXPECT_EQ(row.verdict, trust.verdict) << row.path;
    EXPECT_EQ(row.where, trust.where) << row.path;
  }
  EXPECT_EQ("directory <" + top_ / "open" + "> (mode 0777) can be written by other users, who " +
                "could put files of theirs in place: take that away (chmod go-w <" + top_ / "open" +
                ">)",
            DescribeDistrust(CheckTrustedPath(top_ / "open", top_ / "own"), "", &Shown));
}

TEST_F(TrustedPathTest, AFileOrFolderOfAnotherUserIsNotTrusted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  ASSERT_EQ(0, ::chown((top_ / "own/sub").c_str(), 4242, 4242));
  const PathTrust trust = CheckTrustedPath(top_ / "own/to-sub", top_ / "own");
  EXPECT_EQ(Verdict::kOwner, trust.verdict);
  EXPECT_EQ("state directory <" + top_ / "own/sub" + "> belongs to user 4242, neither root nor " +
                "this service's user 0, who could replace what it holds: give it to root or to " +
                "user 0 (chown)",
            DescribeDistrust(trust, "state directory", &Shown));
}

}  // namespace
}  // namespace vexodl::common
