// The store-wide lock: exclusive against everything, shared against exclusive only.
#include "lock.h"

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using internal::StoreLock;
using std::chrono::milliseconds;

class StoreLockTest : public StateDirTest {
 protected:
  std::string lock() const { return Path("lock"); }
};

TEST_F(StoreLockTest, SharedHoldersDoNotWaitForEachOther) {
  StoreLock first(lock(), StoreLock::Mode::kShared, milliseconds(0));
  StoreLock second(lock(), StoreLock::Mode::kShared, milliseconds(0));
  EXPECT_EQ(0600u, Mode(lock()));
}

TEST_F(StoreLockTest, ExclusiveHolderMakesOthersGiveUpAfterTheirTimeout) {
  StoreLock held(lock(), StoreLock::Mode::kExclusive);
  const auto start = std::chrono::steady_clock::now();
  Thrown thrown = ErrorOf([&] { StoreLock(lock(), StoreLock::Mode::kShared, milliseconds(200)); });
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(200));
  EXPECT_EQ(2102, thrown.code);
  EXPECT_EQ("gave up waiting for the store lock " + lock() + ", held by another process or thread",
            thrown.message);
  EXPECT_EQ(2102,
            ErrorOf([&] { StoreLock(lock(), StoreLock::Mode::kExclusive, milliseconds(0)); }).code);
}

TEST_F(StoreLockTest, DeleteWaitsForAnAccountChangeInProgress) {
  InstallUser("cloudvault");
  std::atomic<bool> deleted{false};
  std::thread deleter;
  {
    // As AccountSet holds it between finding the plug-in and storing the account.
    StoreLock account_change(lock(), StoreLock::Mode::kShared);
    deleter = std::thread([&] {
      Handler("cloudvault").HostDelete();
      deleted = true;
    });
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_FALSE(deleted);
    EXPECT_TRUE(Exists(Path("user/cloudvault/manifest.json")));
  }
  deleter.join();
  EXPECT_TRUE(deleted);
  EXPECT_FALSE(Exists(Path("user/cloudvault")));
}

}  // namespace
}  // namespace vexodl::vexohost::test
