// The library's tests must run against the fakes, even when our own builds of the two back-end
// libraries (same names, same SONAMEs) sit in the build tree.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "loaded_from.h"

namespace {

using vexodl::fake::FileDefining;

TEST(BackendLoadingTest, BothBackEndsAreTheFakes) {
  // vexodl::vexohost::Handler::List(Json::Value&) and
  // vexodl::pyload::Utils::IsPyLoadDomainSocketReady()
  EXPECT_THAT(FileDefining("_ZN6vexodl8vexohost7Handler4ListERN4Json5ValueE"),
              ::testing::EndsWith("tests/fakes/libvexodlvexohost.so.1"));
  EXPECT_THAT(FileDefining("_ZN6vexodl6pyload5Utils25IsPyLoadDomainSocketReadyEv"),
              ::testing::EndsWith("tests/fakes/libvexodlpyload.so.1"));
}

}  // namespace
