#pragma once

#include <sys/types.h>

#include <vector>

// Counts of what a test may leak: descriptors and child processes, as /proc shows them.
namespace vexodl::fake {

// The number of descriptors open in this process.
int OpenDescriptorCount();

// One child process of this process: its pid and state letter ('Z' for a zombie).
struct ChildInfo {
  pid_t pid;
  char state;
};
std::vector<ChildInfo> ChildrenOfThisProcess();

}  // namespace vexodl::fake
