// What programs built against the installed headers rely on: the fields of the host records and
// of the back-ends' request records in their declared order, and their sizes on each target we
// ship for. A reordered or added field fails here before it breaks a consumer.
#include <cstddef>
#include <initializer_list>

#include <gtest/gtest.h>

#include "error/vexo_error.h"
#include "handler.h"
#include "host/pyload.h"
#include "host/vexo.h"
#include "outside/pyload.h"

namespace {

using vexodl::filehosting::host::Base;
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

TEST(LayoutTest, RecordSizesArePinnedPerTarget) {
  EXPECT_EQ(4u, sizeof(int));  // error codes are signed 32-bit on every target
  EXPECT_EQ(1u, sizeof(pyload::MethodGetAccounts));
  EXPECT_EQ(1u, sizeof(vexodl::filehosting::Handler));  // no data members
#if defined(__x86_64__)
  const std::size_t expected[] = {240, 272, 272, 24, 32, 96, 96, 40};
#elif defined(__arm__)
  const std::size_t expected[] = {180, 204, 204, 12, 24, 72, 72, 28};
  EXPECT_EQ(4u, alignof(Base));
#else
  GTEST_SKIP() << "no pinned sizes for this target";
  const std::size_t expected[8] = {};
#endif
  const std::size_t actual[] = {sizeof(Base),
                                sizeof(Vexo),
                                sizeof(PyloadHost),
                                sizeof(vexodl::VexoError),
                                sizeof(pyload::MethodRemoveAccount),
                                sizeof(pyload::MethodUpdateAccount),
                                sizeof(pyload::MethodVerifyAccount),
                                sizeof(pyload::MethodEnableAccount)};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(expected[i], actual[i]) << "record " << i;
}

}  // namespace
