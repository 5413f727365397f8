#pragma once

#include "fake_script.h"

namespace vexodl::fake {

// The script of the fake native host-plugin service (libvexodlvexohost.so.1 built from
// fake_vexohost.cpp). Call names: "Handler" (the constructor), "List", "AccountGet", "AccountSet",
// "AccountVerify", "HostAdd", "HostDelete", "HostUpdate", "HostEnabledSet", "HostRemoveAccount".
// Events: Handler("h"), List(null), AccountSet("u", "p"), AccountVerify(null, "u", "p"),
// HostEnabledSet(true), ..., ~Handler("h"). Unscripted calls return 0 and fill nothing.
Script& Vexohost();

}  // namespace vexodl::fake
