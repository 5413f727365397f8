#include "temp_dir.h"

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace vexodl::fake {

TempDir::TempDir()
    : path_((std::filesystem::temp_directory_path() / "vexodl-test-XXXXXX").string()) {
  if (mkdtemp(path_.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp " + path_);
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace vexodl::fake
