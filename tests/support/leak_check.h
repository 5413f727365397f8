#pragma once

namespace vexodl::fake {

// Makes every test of this program fail that ends with a descriptor open or a child process (a
// zombie included) that was not there when it began, naming what it leaked. Call once, after
// GoogleTest's initialisation; the test main of the support library does.
void CheckForLeaksAfterEveryTest();

}  // namespace vexodl::fake
