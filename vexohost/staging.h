#pragma once

#include <string>

#include "state_dir.h"

namespace vexodl::vexohost::internal {

// Staging owns staging/ of one state directory: packages and folders on their way into or out of
// user/, beside it on the same file system. staging/ is ours alone under the exclusive store
// lock, so whatever it holds when a change begins was left by one that was interrupted. Every
// change of the plug-in folders holds a Staging for its whole length: made, it empties staging/;
// destroyed, it empties it again, so that nothing the change put there outlives it, however the
// change ends; but for a deletion recorded there that the change could not finish (Keep).
//
// REQUIRES: the store lock held exclusively while the Staging lives.
class Staging {
 public:
  // Empties staging/, creating it if needed; throws as MakeDirectory and RemoveTree do.
  explicit Staging(const StateDir& state);
  // Empties staging/, unless Keep was called; a failure here is left for the next change, which
  // empties it first.
  ~Staging();
  Staging(const Staging&) = delete;
  Staging& operator=(const Staging&) = delete;

  // Leaves staging/ as it is when destroyed: it holds a recorded deletion that the next change
  // finishes first (PluginStore::RemoveUserPlugin).
  void Keep() { keep_ = true; }

 private:
  void Clear() const;

  std::string path_;
  bool keep_ = false;
};

}  // namespace vexodl::vexohost::internal
