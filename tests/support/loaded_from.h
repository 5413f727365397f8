#pragma once

#include <string>

namespace vexodl::fake {

// The file of the loaded library or program that defines `symbol` (a mangled name), as the
// dynamic loader resolved it for this process; "" when nothing defines it. Tells which build of a
// back-end library a test runs against.
std::string FileDefining(const char* symbol);

}  // namespace vexodl::fake
