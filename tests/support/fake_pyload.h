#pragma once

#include "fake_script.h"

namespace vexodl::fake {

// The script of the fake pyLoad RPC client (libvexodlpyload.so.1 built from fake_pyload.cpp).
// Call names: "Ready" (Utils::IsPyLoadDomainSocketReady), the channel constructors
// "DomainSocketHandler" and "CommandlineHandler", and "<channel>.<method>" for UpdateAccount,
// EnableAccount, VerifyAccount, GetAccounts and DomainSocketHandler.RemoveAccount.
// Events: IsPyLoadDomainSocketReady(), DomainSocketHandler(),
// DomainSocketHandler.UpdateAccount("h", "u", "p"), CommandlineHandler.EnableAccount("h", true),
// CommandlineHandler.GetAccounts(null, false), ~DomainSocketHandler(), ...
// Unscripted calls succeed (true, verification answer 1); readiness is false until scripted.
Script& Pyload();

}  // namespace vexodl::fake
