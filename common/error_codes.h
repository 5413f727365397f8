#pragma once

#include "error/vexo_error.h"

// Every code that vexodl::VexoError carries in this repository, each with what it means in a few
// words: the library's own (its enumeration stays in error/vexo_error.h, since the library
// includes nothing of ours), the native host-plugin service's (2000-2499) and the pyLoad
// client's (2500-2999). Each back-end's codes are an enumeration in its own namespace, so that
// it throws only its own. tests/common/error_codes_test.cpp holds kCodeMeanings against the
// library's enumeration and these two; the documents' code tables are made from
// common/error_codes.json.

namespace vexodl::vexohost::internal {

// 2000-2099: the request; 2100-2199: the state directory and its files; 2200-2299: the account
// database; 2300-2499: installing, updating and verifying.
enum ErrorCode : int {
  kErrInvalidName = 2001,
  kErrUnknownHost = 2002,
  kErrBrokenManifest = 2003,
  kErrShippedHost = 2004,
  kErrStateDir = 2100,
  kErrFileSystem = 2101,
  kErrLockTimeout = 2102,
  kErrStateDirUnsafe = 2103,
  kErrDatabase = 2200,
  kErrDatabaseBusy = 2201,
  kErrDatabaseVersion = 2202,
  kErrDatabaseHotJournal = 2203,
  kErrPackageUnreadable = 2300,
  kErrPackageUnsafe = 2301,
  kErrPackageTooLarge = 2302,
  kErrPackageManifest = 2303,
  kErrPackageMismatch = 2304,
  kErrLibraryMissing = 2305,
  kErrSetting = 2310,
  kErrVerifierUser = 2320,
  kErrUpdateFetch = 2400,
  kErrUpdateSignature = 2401,
  kErrUpdateIndex = 2402,
  kErrUpdateNotOffered = 2403,
  kErrUpdateDigest = 2404,
  kErrUpdateKey = 2406,
  kErrUpdateOlder = 2407,
  kErrUpdateExpired = 2408,
};

}  // namespace vexodl::vexohost::internal

namespace vexodl::pyload::internal {

// Failures of pyLoad itself or of a channel are results (false, or verification 0), never
// exceptions: only unusable settings throw.
enum ErrorCode : int {
  kErrorBadSetting = 2501,         // an environment override is unusable
  kErrorSocketPathTooLong = 2502,  // does not fit into sockaddr_un
};

}  // namespace vexodl::pyload::internal

namespace vexodl::common {

// CodeMeaning gives the codes from `first` to `last` a meaning.
struct CodeMeaning {
  int first;
  int last;
  const char* text;
};

namespace native = vexohost::internal;

constexpr CodeMeaning OneCode(int code, const char* text) { return {code, code, text}; }

// Every code once, then the ranges that each back-end keeps for itself, for a code that another
// build of it may throw.
inline constexpr CodeMeaning kCodeMeanings[] = {
    OneCode(VEXODL_ERR_ACCOUNT_INFO,
            "pyLoad's account list cannot be read, or holds no account for the host"),
    OneCode(VEXODL_ERR_NO_SOURCE, "install needs a source"),
    OneCode(VEXODL_ERR_PASSWORD_REQUIRED, "a user name needs a password"),
    OneCode(VEXODL_ERR_SET_ACCOUNT, "pyLoad did not store the account"),
    OneCode(VEXODL_ERR_SET_ENABLED, "pyLoad did not store the enabled state"),
    OneCode(VEXODL_ERR_REMOVE_ACCOUNT, "pyLoad did not remove the account"),
    OneCode(VEXODL_ERR_VERIFY_ACCOUNT, "the account could not be verified"),
    OneCode(VEXODL_ERR_NOT_SUPPORTED, "pyLoad hosts cannot be installed, updated or removed here"),
    OneCode(VEXODL_ERR_HOST_TYPE, "the type is neither \"vexo\" nor \"pyload\""),
    OneCode(VEXODL_ERR_LIST_HOSTS, "pyLoad's account list cannot be read"),
    OneCode(native::kErrInvalidName, "invalid host name"),
    OneCode(native::kErrUnknownHost, "no native host of that name"),
    OneCode(native::kErrBrokenManifest, "the native host's manifest is missing or invalid"),
    OneCode(native::kErrShippedHost,
            "the native host is shipped with the download manager and cannot be removed"),
    OneCode(native::kErrStateDir, "the native hosts' state directory is missing or not usable"),
    OneCode(native::kErrFileSystem, "a file system call of the native host-plugin service failed"),
    OneCode(native::kErrLockTimeout, "the native hosts' store stayed locked"),
    OneCode(native::kErrStateDirUnsafe,
            "the native hosts' state directory can be changed by another user"),
    OneCode(native::kErrDatabase, "the native hosts' account database failed"),
    OneCode(native::kErrDatabaseBusy,
            "the native hosts' account database stayed locked by another writer"),
    OneCode(native::kErrDatabaseVersion,
            "the native hosts' account database has another schema than this build's"),
    OneCode(native::kErrDatabaseHotJournal,
            "the native hosts' account database needs a crashed change rolled back"),
    OneCode(native::kErrPackageUnreadable, "the native host package cannot be read"),
    OneCode(native::kErrPackageUnsafe, "the native host package holds an unsafe entry"),
    OneCode(native::kErrPackageTooLarge, "the native host package is past a limit"),
    OneCode(native::kErrPackageManifest, "the native host package has no valid manifest"),
    OneCode(native::kErrPackageMismatch,
            "the update's package holds another plug-in or version than its index says"),
    OneCode(native::kErrLibraryMissing,
            "a library that installing or updating a native host needs cannot be loaded"),
    OneCode(native::kErrSetting,
            "a setting of the native host-plugin service (VEXODL_VEXOHOST_*) is unusable"),
    OneCode(native::kErrVerifierUser, "the user that native verifiers run as does not exist"),
    OneCode(native::kErrUpdateFetch, "a download of the native host-plugin service failed"),
    OneCode(native::kErrUpdateSignature,
            "the update index's signature is malformed or not by a trusted key"),
    OneCode(native::kErrUpdateIndex, "the update index is not valid"),
    OneCode(native::kErrUpdateNotOffered, "the update index offers no native host of that name"),
    OneCode(native::kErrUpdateDigest, "the update's package differs from what its index says"),
    OneCode(native::kErrUpdateKey, "no valid trusted update key"),
    OneCode(native::kErrUpdateOlder,
            "the update index is older than the one the native service keeps"),
    OneCode(native::kErrUpdateExpired, "the update index has expired"),
    OneCode(pyload::internal::kErrorBadSetting,
            "a pyLoad client setting (VEXODL_PYLOAD_*) is unusable"),
    OneCode(pyload::internal::kErrorSocketPathTooLong, "the pyLoad socket path is too long"),
    {2300, 2499, "installing, updating or verifying a native host failed"},
    {2000, 2499, "the native host-plugin service failed"},
    {2500, 2999, "the pyLoad client failed"},
};

// What `code` means: the text of the first row that holds it, or "unknown error".
constexpr const char* MeaningOf(int code) {
  for (const CodeMeaning& meaning : kCodeMeanings) {
    if (code >= meaning.first && code <= meaning.last) return meaning.text;
  }
  return "unknown error";
}

}  // namespace vexodl::common
