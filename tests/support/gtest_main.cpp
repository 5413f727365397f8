// The main of every test program but those that need their own: GoogleTest and GoogleMock, with
// the check that no test leaks a descriptor or a child process.
#include <gmock/gmock.h>

#include "leak_check.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleMock(&argc, argv);
  vexodl::fake::CheckForLeaksAfterEveryTest();
  return RUN_ALL_TESTS();
}
