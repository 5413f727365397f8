#include "staging.h"

#include <exception>

#include "file.h"

namespace vexodl::vexohost::internal {

Staging::Staging(const StateDir& state) : path_(state.staging()) { Clear(); }

Staging::~Staging() {
  try {
    Clear();
  } catch (const std::exception&) {
    // The next change of the plug-in folders empties it first.
  }
}

void Staging::Clear() const {
  RemoveTree(path_);
  MakeDirectory(path_);
}

}  // namespace vexodl::vexohost::internal
