// What programs built against the installed headers rely on: the fields of the host records in
// their declared order, and the sizes of the records and of the back-ends' request records, on
// each target we ship for. A reordered or added field fails here before it breaks a consumer.
#include <climits>
#include <cstddef>
#include <initializer_list>
#include <string>

#include <gtest/gtest.h>

#include "error/vexo_error.h"
#include "handler.h"
#include "host/base.h"
#include "host/pyload.h"
#include "host/vexo.h"
#include "outside/pyload.h"

namespace {

using vexodl::filehosting::host::Base;
using vexodl::filehosting::host::Vexo;
using PyloadHost = vexodl::filehosting::host::Pyload;

// Byte offset of `member` in `object`; the records are not standard-layout, so no offsetof.
template <typename Object, typename Member>
std::ptrdiff_t OffsetOf(const Object& object, const Member& member) {
  return reinterpret_cast<const char*>(&member) - reinterpret_cast<const char*>(&object);
}

void ExpectIncreasing(std::initializer_list<std::ptrdiff_t> offsets, const char* what) {
  std::ptrdiff_t previous = 0;  // the vtable pointer comes first
  int index = 0;
  for (std::ptrdiff_t offset : offsets) {
    EXPECT_GT(offset, previous) << what << ", field " << index;
    previous = offset;
    ++index;
  }
}

TEST(LayoutTest, HostFieldsKeepTheirDeclaredOrder) {
  PyloadHost host("h");
  const Base& base = host;
  ExpectIncreasing(
      {OffsetOf(base, base.name), OffsetOf(base, base.type), OffsetOf(base, base.description),
       OffsetOf(base, base.version), OffsetOf(base, base.username), OffsetOf(base, base.password),
       OffsetOf(base, base.source), OffsetOf(base, base.enabled), OffsetOf(base, base.premium),
       OffsetOf(base, base.removable), OffsetOf(base, base.can_be_disabled),
       OffsetOf(base, base.auth_needed), OffsetOf(base, base.is_tested)},
      "Base");
  ExpectIncreasing({OffsetOf(host, host.is_tested), OffsetOf(host, host.valid),
                    OffsetOf(host, host.use_premium), OffsetOf(host, host.trafficleft)},
                   "Pyload");
  Vexo native("h");
  EXPECT_GT(OffsetOf(native, native.newversion), OffsetOf(native, native.is_tested));
}

TEST(LayoutTest, RequestRecordsKeepTheirDeclaredOrder) {
  vexodl::pyload::MethodUpdateAccount update;
  ExpectIncreasing({OffsetOf(update, update.username), OffsetOf(update, update.password)},
                   "MethodUpdateAccount");
  EXPECT_EQ(0, OffsetOf(update, update.host));
  vexodl::pyload::MethodVerifyAccount verify;
  EXPECT_EQ(0, OffsetOf(verify, verify.host));
  ExpectIncreasing({OffsetOf(verify, verify.username), OffsetOf(verify, verify.password)},
                   "MethodVerifyAccount");
  vexodl::pyload::MethodEnableAccount enable;
  EXPECT_EQ(0, OffsetOf(enable, enable.host));
  EXPECT_GT(OffsetOf(enable, enable.enabled), 0);
}

struct Sizes {
  std::size_t base, vexo, pyload, error, remove, update, verify, enable;
};

TEST(LayoutTest, RecordSizesArePinnedPerTarget) {
  EXPECT_EQ(4u, sizeof(int));  // error codes are signed 32-bit on every target
  EXPECT_EQ(1u, sizeof(vexodl::pyload::MethodGetAccounts));
  EXPECT_EQ(1u, sizeof(vexodl::filehosting::Handler));  // no data members
#if defined(__x86_64__)
  const Sizes expected{240, 272, 272, 24, 32, 96, 96, 40};
  EXPECT_EQ(8u, sizeof(void*));
#elif defined(__arm__)
  const Sizes expected{180, 204, 204, 12, 24, 72, 72, 28};
  EXPECT_EQ(4u, sizeof(void*));
  EXPECT_EQ(4u, alignof(Base));
#else
  GTEST_SKIP() << "no pinned sizes for this target";
  const Sizes expected{};
#endif
  EXPECT_EQ(expected.base, sizeof(Base));
  EXPECT_EQ(expected.vexo, sizeof(Vexo));
  EXPECT_EQ(expected.pyload, sizeof(PyloadHost));
  EXPECT_EQ(expected.error, sizeof(vexodl::VexoError));
  EXPECT_EQ(expected.remove, sizeof(vexodl::pyload::MethodRemoveAccount));
  EXPECT_EQ(expected.update, sizeof(vexodl::pyload::MethodUpdateAccount));
  EXPECT_EQ(expected.verify, sizeof(vexodl::pyload::MethodVerifyAccount));
  EXPECT_EQ(expected.enable, sizeof(vexodl::pyload::MethodEnableAccount));
}

}  // namespace
