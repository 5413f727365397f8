#include "leak_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "process_census.h"

namespace vexodl::fake {

namespace {

class LeakCheck : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override {
    descriptors_ = OpenDescriptors();
    children_ = ChildPids();
  }

  // Runs before the result printer's OnTestEnd, within the test: a failure here is the test's.
  void OnTestEnd(const ::testing::TestInfo&) override {
    std::string leaked;
    for (const auto& [fd, target] : OpenDescriptors()) {
      const auto before = descriptors_.find(fd);
      if (before == descriptors_.end() || before->second != target) {
        leaked += " descriptor " + std::to_string(fd) + " (" + target + ")";
      }
    }
    for (const ChildInfo& child : ChildrenOfThisProcess()) {
      if (std::find(children_.begin(), children_.end(), child.pid) == children_.end()) {
        leaked += " child " + std::to_string(child.pid) + " (state " + child.state + ")";
      }
    }
    if (!leaked.empty()) ADD_FAILURE() << "the test left open:" << leaked;
  }

  static std::vector<pid_t> ChildPids() {
    std::vector<pid_t> pids;
    for (const ChildInfo& child : ChildrenOfThisProcess()) pids.push_back(child.pid);
    return pids;
  }

  std::map<int, std::string> descriptors_;
  std::vector<pid_t> children_;
};

}  // namespace

void CheckForLeaksAfterEveryTest() {
  ::testing::UnitTest::GetInstance()->listeners().Append(new LeakCheck);
}

}  // namespace vexodl::fake
