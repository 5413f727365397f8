#pragma once

#include "fake_script.h"

namespace vexodl::fake {

// The script of the fake pyLoad RPC client (libvexodlpyload.so.1 built from fake_pyload.cpp).
// Call names: "Ready" (Utils::IsPyLoadDomainSocketReady) and "<channel>.<method>", the channel
// being DomainSocketHandler or CommandlineHandler. Requests are recorded as
// IsPyLoadDomainSocketReady(), DomainSocketHandler.UpdateAccount("h", "u", "p"),
// CommandlineHandler.EnableAccount("h", true), CommandlineHandler.GetAccounts(false), ...
// Unscripted calls succeed (true, verification answer 1); readiness is false until scripted.
Script& Pyload();

}  // namespace vexodl::fake
