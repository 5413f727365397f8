#pragma once

#include "fake_script.h"

namespace vexodl::fake {

// The script of the fake native host-plugin service (libvexodlvexohost.so.1 built from
// fake_vexohost.cpp). Call names are the methods: "List", "AccountGet", "AccountSet",
// "AccountVerify", "HostAdd", "HostDelete", "HostUpdate", "HostEnabledSet", "HostRemoveAccount".
// Each call is recorded with the host its handler was made for, as "h".AccountSet("u", "p"),
// "".List(), "h".HostEnabledSet(true). Unscripted calls return 0 and fill nothing.
Script& Vexohost();

}  // namespace vexodl::fake
