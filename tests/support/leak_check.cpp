#include "leak_check.h"

#include <dirent.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "process_census.h"

namespace vexodl::fake {

namespace {

// What a test may leave open, one entry each: "descriptor 5 (pipe:[123])", "child 42".
std::set<std::string> Census() {
  std::set<std::string> open;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) throw std::runtime_error("cannot list /proc/self/fd");
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(dir)) continue;
    char target[PATH_MAX] = {};
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t length = ::readlink(link.c_str(), target, sizeof(target) - 1);
    open.insert(std::string("descriptor ") + entry->d_name + " (" +
                (length > 0 ? std::string(target, length) : "?") + ")");
  }
  closedir(dir);
  for (const ChildInfo& child : ChildrenOfThisProcess()) {
    open.insert("child " + std::to_string(child.pid));
  }
  return open;
}

class LeakCheck : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { before_ = Census(); }

  // Runs before the result printer's OnTestEnd, within the test: a failure here is the test's.
  void OnTestEnd(const ::testing::TestInfo&) override {
    std::string leaked;
    for (const std::string& entry : Census()) {
      if (before_.count(entry) == 0) leaked += " " + entry;
    }
    if (!leaked.empty()) ADD_FAILURE() << "the test left open:" << leaked;
  }

  std::set<std::string> before_;
};

}  // namespace

void CheckForLeaksAfterEveryTest() {
  ::testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck);
}

}  // namespace vexodl::fake
