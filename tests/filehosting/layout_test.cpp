// What programs built against the installed headers rely on: the fields of the host records and
// of the back-ends' request records in their declared order. A reordered field fails here before
// it breaks a consumer.
#include <initializer_list>

#include <gtest/gtest.h>

#include "host/pyload.h"
#include "host/vexo.h"
#include "outside/pyload.h"

namespace {

using vexodl::filehosting::host::Vexo;
using PyloadHost = vexodl::filehosting::host::Pyload;
namespace pyload = vexodl::pyload;

// Whether the members at these addresses lie in this order within their object, which starts at
// the first; the records are not standard-layout, so no offsetof.
bool InOrder(std::initializer_list<const void*> members) {
  const char* previous = nullptr;
  for (const void* member : members) {
    if (previous != nullptr && static_cast<const char*>(member) <= previous) return false;
    previous = static_cast<const char*>(member);
  }
  return true;
}

TEST(LayoutTest, FieldsKeepTheirDeclaredOrder) {
  static_assert(sizeof(int) == 4, "error codes are signed 32-bit on every target");
  PyloadHost h("h");
  Vexo v("v");
  EXPECT_TRUE(InOrder({&h, &h.name, &h.type, &h.description, &h.version, &h.username, &h.password,
                       &h.source, &h.enabled, &h.premium, &h.removable, &h.can_be_disabled,
                       &h.auth_needed, &h.is_tested, &h.valid, &h.use_premium, &h.trafficleft}));
  EXPECT_TRUE(InOrder({&v.is_tested, &v.newversion}));
  pyload::MethodUpdateAccount update;
  pyload::MethodVerifyAccount verify;
  pyload::MethodEnableAccount enable;
  EXPECT_TRUE(InOrder({&update, &update.username, &update.password}));
  EXPECT_TRUE(InOrder({&verify, &verify.username, &verify.password}));
  EXPECT_TRUE(InOrder({&enable, &enable.enabled}));
  EXPECT_EQ(static_cast<void*>(&update), &update.host);
  EXPECT_EQ(static_cast<void*>(&verify), &verify.host);
  EXPECT_EQ(static_cast<void*>(&enable), &enable.host);
}

}  // namespace
