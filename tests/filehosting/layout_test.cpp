// What programs built against the installed headers, and the closed back-end libraries, rely on:
// the fields of the host records and of the back-ends' request records in their declared order.
// A reordered field fails here before it breaks a consumer, or hands pyLoad a password as a name.
#include <algorithm>
#include <functional>
#include <initializer_list>

#include <gtest/gtest.h>

#include "host/pyload.h"
#include "host/vexo.h"
#include "outside/pyload.h"

namespace {

// Whether the members at these addresses lie in this order within their object, given first; the
// records are not standard-layout, so no offsetof.
bool InOrder(std::initializer_list<const void*> members) {
  return std::is_sorted(members.begin(), members.end(), std::less<const void*>());
}

TEST(LayoutTest, FieldsKeepTheirDeclaredOrder) {
  vexodl::filehosting::host::Pyload h("h");
  vexodl::filehosting::host::Vexo v("v");
  EXPECT_TRUE(InOrder({&h, &h.name, &h.type, &h.description, &h.version, &h.username, &h.password,
                       &h.source, &h.enabled, &h.premium, &h.removable, &h.can_be_disabled,
                       &h.auth_needed, &h.is_tested, &h.valid, &h.use_premium, &h.trafficleft}));
  EXPECT_TRUE(InOrder({&v.is_tested, &v.newversion}));
  vexodl::pyload::MethodUpdateAccount update;
  vexodl::pyload::MethodVerifyAccount verify;
  vexodl::pyload::MethodEnableAccount enable;
  EXPECT_TRUE(InOrder({&update, &update.host, &update.username, &update.password}));
  EXPECT_TRUE(InOrder({&verify, &verify.host, &verify.username, &verify.password}));
  EXPECT_TRUE(InOrder({&enable, &enable.host, &enable.enabled}));
}

}  // namespace
