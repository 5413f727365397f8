#include "error/vexo_error.h"

#include <stdexcept>
#include <type_traits>

#include <gtest/gtest.h>

namespace {

TEST(VexoErrorTest, CarriesCodeAndMessageAsARuntimeError) {
  static_assert(std::is_base_of_v<std::runtime_error, vexodl::VexoError>);
  try {
    throw vexodl::VexoError(2042, "store is read-only");
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ("store is read-only", error.what());
    EXPECT_EQ(2042, dynamic_cast<const vexodl::VexoError&>(error).code);
  }
  const vexodl::VexoError quiet(-5, "");
  EXPECT_STREQ("", quiet.what());
  EXPECT_EQ(-5, quiet.code);
}

TEST(VexoErrorTest, CodeTableHasItsFixedValues) {
  // Callers compare against these numbers: a changed value breaks them silently.
  EXPECT_EQ(100, VEXODL_ERR_ACCOUNT_INFO);
  EXPECT_EQ(501, VEXODL_ERR_NO_SOURCE);
  EXPECT_EQ(528, VEXODL_ERR_PASSWORD_REQUIRED);
  EXPECT_EQ(1601, VEXODL_ERR_SET_ACCOUNT);
  EXPECT_EQ(1602, VEXODL_ERR_SET_ENABLED);
  EXPECT_EQ(1603, VEXODL_ERR_REMOVE_ACCOUNT);
  EXPECT_EQ(1604, VEXODL_ERR_VERIFY_ACCOUNT);
  EXPECT_EQ(1611, VEXODL_ERR_NOT_SUPPORTED);
  EXPECT_EQ(1612, VEXODL_ERR_HOST_TYPE);
  EXPECT_EQ(1614, VEXODL_ERR_LIST_HOSTS);
}

}  // namespace
