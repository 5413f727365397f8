#pragma once

#include <stdexcept>
#include <string>

#include "filehosting_export.h"

// The codes that libvexodlfilehosting raises itself. The back-end libraries use 2000 to 2999.
enum _tag_VEXODL_ERROR_CODE {
  VEXODL_ERR_ACCOUNT_INFO = 100,
  VEXODL_ERR_NO_SOURCE = 501,
  VEXODL_ERR_PASSWORD_REQUIRED = 528,
  VEXODL_ERR_SET_ACCOUNT = 1601,
  VEXODL_ERR_SET_ENABLED = 1602,
  VEXODL_ERR_REMOVE_ACCOUNT = 1603,
  VEXODL_ERR_VERIFY_ACCOUNT = 1604,
  VEXODL_ERR_NOT_SUPPORTED = 1611,
  VEXODL_ERR_HOST_TYPE = 1612,
  VEXODL_ERR_LIST_HOSTS = 1614,
};

namespace vexodl {

// VexoError is how the library and its back-ends report failure: a numeric code, and a message
// that is empty for every error the library raises itself (its code is the only information).
// Thrown by value, caught by reference. Every member is inline so that the back-end libraries
// can throw it without linking against this library.
class VEXODL_FILEHOSTING_EXPORT VexoError : public std::runtime_error {
 public:
  VexoError(int code, const char* msg) : std::runtime_error(std::string(msg)), code(code) {}

  int code;
};

static_assert(sizeof(int) == 4, "error codes are signed 32-bit integers");

}  // namespace vexodl
