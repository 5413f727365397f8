#pragma once

#include <string>

namespace vexodl::fake {

// TempDir is a new, empty directory under $TMPDIR (or /tmp), removed with all it holds when the
// object is destroyed. Throws std::system_error when it cannot be made.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // `relative` inside the directory.
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

}  // namespace vexodl::fake
