// AccountVerify: what reaches the plug-in's verifier, what counts as its answer, and what info
// says of every other ending. How programs are run, bounded and reaped is the process runner's
// (tests/pyload/program_runner_test.cpp).
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "scoped_env.h"
#include "state_dir_fixture.h"
#include "syslog_capture.h"

namespace vexodl::vexohost::test {
namespace {

using fake::LogLine;

class VerifyTest : public StateDirTest {
 protected:
  VerifyTest() { ::chmod(out_.path().c_str(), 0777); }

  // User plug-in "checked" whose verifier "check" is a shell script with `body`.
  void Verifier(const std::string& body) {
    WriteFile(Path("user/checked/manifest.json"),
              R"({"format": 1, "name": "checked", "description": "", "version": "1",
                  "authentication": "yes", "verifier": "check"})");
    WriteFile(Path("user/checked/check"), "#!/bin/sh\n" + body + "\n");
    ::chmod(Path("user/checked/check").c_str(), 0755);
  }

  int Verify(const std::string& username, const std::string& password) {
    fake::ClearSyslog();
    return Handler("checked").AccountVerify(info_, username, password);
  }

  // Where a verifier may write, whichever user it runs as: outside the state directory.
  std::string Out(const std::string& name) const { return out_ / name; }

  Json::Value info_;
  fake::TempDir out_;
};

constexpr char kNoAnswer[] = R"("the verifier answered no {\"result\": 0, 1 or 2}")";

TEST_F(VerifyTest, EachEndingGivesItsResultAndInfo) {
  const struct {
    std::string script;
    int result;
    std::string info;  // after {"verifier": "check", ...
  } rows[] = {
      {R"(echo '{"result": 1, "details": {"plan": "free"}}')", 1,
       R"("result": 1, "details": {"plan": "free"})"},
      {R"(echo '{"result": 2}'; exit 3)", -1, R"("error": "the verifier exited with status 3")"},
      {R"(echo '[2]')", -1, std::string(R"("error": )") + kNoAnswer},
      {"cat", -1, std::string(R"("error": )") + kNoAnswer},  // never repeats the password it echoes
  };
  for (const auto& row : rows) {
    Verifier(row.script);
    EXPECT_EQ(row.result, Verify("alice", "hunter2")) << row.script;
    const Json::Value info = ParseJson(R"({"verifier": "check", )" + row.info + "}");
    EXPECT_EQ(info, info_) << row.script;
    // The one line by which the service says why it could not verify.
    const std::vector<LogLine> why = {
        {LOG_ERR, "vexohost: verify checked: " + info["error"].asString() + " (error 1604)"}};
    EXPECT_EQ(row.result < 0 ? why : std::vector<LogLine>{}, fake::SyslogLines()) << row.script;
  }
}

// The verifier gets the password and is believed: one that another user could have written is not
// run.
TEST_F(VerifyTest, AVerifierThatAnotherUserCouldWriteIsNotRun) {
  Verifier("touch " + Out("ran") + "; echo '{\"result\": 2}'");
  const std::string check = Path("user/checked/check");
  ASSERT_EQ(0, ::chmod(check.c_str(), 0775));
  EXPECT_THAT(Outcome([&] { Verify("alice", "pw"); }),
              ::testing::StartsWith("2103 file " + check + " (mode 0775) can be written"));
  ASSERT_EQ(0, ::chmod(check.c_str(), 0755));
  if (::geteuid() == 0) {  // a file of another user's, though only its owner can write it
    ASSERT_EQ(0, ::chown(check.c_str(), 4242, 4242));
    EXPECT_THAT(Outcome([&] { Verify("alice", "pw"); }),
                ::testing::StartsWith("2103 file " + check + " belongs to user 4242"));
    ASSERT_EQ(0, ::chown(check.c_str(), 0, 0));
  }
  EXPECT_FALSE(Exists(Out("ran")));
  EXPECT_EQ(2, Verify("alice", "pw"));  // the same verifier, ours alone, runs
}

// As root, a verifier runs as the verifier user, from its plug-in's folder, which that user could
// not reach by its path: the state directory is 0700. Never as root instead: a verifier user that
// does not exist is an error of its own, and nothing runs.
TEST_F(VerifyTest, AsRootAVerifierRunsAsTheVerifierUserFromItsFolderOrNotAtAll) {
  if (::geteuid() != 0) GTEST_SKIP() << "verifiers run as the service's own user unless it is root";
  Verifier("echo \"$(id -u) $(pwd)\" >" + Out("who") + "; echo '{\"result\": 1}'");
  EXPECT_EQ(1, Verify("alice", "pw"));
  EXPECT_EQ(std::to_string(::getpwnam("nobody")->pw_uid) + " " +
                std::filesystem::canonical(Path("user/checked")).string() + "\n",
            ReadFile(Out("who")));
  ::unlink(Out("who").c_str());
  const fake::ScopedEnv env{{"VEXODL_VEXOHOST_VERIFIER_USER", "vexodl-no-such-user"}};
  EXPECT_EQ(
      "2320 verifiers run as user \"vexodl-no-such-user\" (VEXODL_VEXOHOST_VERIFIER_USER), "
      "which does not exist: create it as a system user, or name another",
      Outcome([&] { Verify("alice", "pw"); }));
  EXPECT_FALSE(Exists(Out("who")));
}

}  // namespace
}  // namespace vexodl::vexohost::test
