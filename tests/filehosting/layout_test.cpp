// What programs built against the installed headers rely on: the fields of the host record in
// their declared order. A reordered field fails here before it breaks a consumer.
#include <algorithm>
#include <functional>
#include <initializer_list>

#include <gtest/gtest.h>

#include "host/pyload.h"

namespace {

// Whether the members at these addresses lie in this order within their object, given first; the
// records are not standard-layout, so no offsetof.
bool InOrder(std::initializer_list<const void*> members) {
  return std::is_sorted(members.begin(), members.end(), std::less<const void*>());
}

TEST(LayoutTest, FieldsKeepTheirDeclaredOrder) {
  vexodl::filehosting::host::Pyload h("h");
  EXPECT_TRUE(InOrder({&h, &h.name, &h.type, &h.description, &h.version, &h.username, &h.password,
                       &h.source, &h.enabled, &h.premium, &h.removable, &h.can_be_disabled,
                       &h.auth_needed, &h.is_tested, &h.valid, &h.use_premium, &h.trafficleft}));
}

}  // namespace
