// An install killed with SIGKILL at a chosen point, in a child process: the store shows the old
// plug-in or the new one whole, keeps the plug-in's account, is not left locked, and the next
// change clears what the killed one left in staging/.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "installer.h"
#include "lock.h"
#include "outside/vexohost.h"
#include "packages.h"
#include "staging.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using internal::Installer;
using ::testing::HasSubstr;

class InterruptedInstallTest : public StateDirTest {
 protected:
  InterruptedInstallTest() {
    WriteArchive(packages_ / "old.tar.gz", Plugin("rapidbox", "1.0"));
    WriteArchive(packages_ / "new.zip", Plugin("rapidbox", "2.0", "", 2));
    Handler("").HostAdd(packages_ / "old.tar.gz");
    Handler("rapidbox").AccountSet("alice", "pw");
  }

  // Installs new.zip in a child process that stops at `stage` and is killed there with SIGKILL.
  void InstallKilledAt(Installer::Stage stage) {
    int ready[2];
    ASSERT_EQ(0, pipe2(ready, O_CLOEXEC));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(ready[0]);
      internal::StoreLock lock(Path("lock"), internal::StoreLock::Mode::kExclusive);
      const Installer installer(internal::StateDir(state()), {}, [&](Installer::Stage reached) {
        if (reached != stage) return;
        const char byte = 'k';
        if (write(ready[1], &byte, 1) != 1) _exit(3);
        for (;;) pause();
      });
      const internal::Staging staging{internal::StateDir(state())};
      installer.Install(packages_ / "new.zip");
      _exit(4);  // not reached: the parent kills us at `stage`
    }
    close(ready[1]);
    char byte = 0;
    const ssize_t n = read(ready[0], &byte, 1);
    close(ready[0]);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_EQ(1, n) << "the child ended before the chosen point";
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGKILL, WTERMSIG(status));
  }

  fake::TempDir packages_;
};

TEST_F(InterruptedInstallTest, KilledBeforeTheSwitchTheOldPluginStaysAndDebrisIsClearedNextTime) {
  const std::string user_before = Listing(Path("user"));
  InstallKilledAt(Installer::Stage::kChecked);
  EXPECT_EQ(user_before, Listing(Path("user")));
  EXPECT_THAT(Listing(Path("staging")), HasSubstr("ready/manifest.json"));  // it was mid-way
  // The killed process's store lock went with it.
  internal::StoreLock(Path("lock"), internal::StoreLock::Mode::kExclusive,
                      std::chrono::milliseconds(0));
  Handler("rapidbox").HostEnabledSet(false);
  EXPECT_EQ("0|alice|pw", Row("rapidbox"));

  // The next change of the plug-in folders starts by clearing staging/, whatever it does.
  Handler("").HostAdd(packages_ / "old.tar.gz");
  EXPECT_EQ("", Listing(Path("staging")));
  EXPECT_EQ(user_before, Listing(Path("user")));
}

TEST_F(InterruptedInstallTest, KilledAfterTheSwitchTheNewPluginIsWholeAndTheOldOneGoesNextTime) {
  InstallKilledAt(Installer::Stage::kSwitched);
  Json::Value host;
  Handler("rapidbox").AccountGet(host);
  EXPECT_EQ("2.0", host["version"].asString());
  EXPECT_THAT(ReadFile(Path("user/rapidbox/verify")), HasSubstr("\"result\": 2"));
  EXPECT_THAT(Listing(Path("staging")), HasSubstr("ready/manifest.json"));  // the old copy
  EXPECT_EQ("alice", host["username"].asString());

  Handler("").HostAdd(packages_ / "new.zip");
  EXPECT_EQ("", Listing(Path("staging")));
  EXPECT_THAT(ReadFile(Path("user/rapidbox/manifest.json")), HasSubstr("\"2.0\""));
}

}  // namespace
}  // namespace vexodl::vexohost::test
