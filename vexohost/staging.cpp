#include "staging.h"

#include <exception>

#include "file.h"

namespace vexodl::vexohost::internal {

Staging::Staging(const StateDir& state) : path_(state.staging()) { Clear(); }

Staging::~Staging() {
  if (keep_) return;
  try {
    Clear();
  } catch (const std::exception&) {
    // The next change of the plug-in folders empties it first.
  }
}

void Staging::Clear() const {
  RemoveTree(path_);
  // Nothing in it outlives a crash by intent: its making need not be durable.
  MakeDirectory(path_, /*durable=*/false);
}

}  // namespace vexodl::vexohost::internal
