#pragma once

// Declared without curl's type-checking macros, which would turn curl_easy_setopt into a macro
// that a function pointer of that name cannot be.
#define CURL_DISABLE_TYPECHECK 1

#include <archive.h>
#include <archive_entry.h>
#include <curl/curl.h>

#include <string>

// libcurl and libarchive serve installs and updates only, and pull in dozens of libraries (TLS,
// Kerberos, LDAP, ICU, ...) whose loading every program that links us would pay at start, to
// list hosts or read an account. So the service loads them with dlopen when an install or update
// first needs them. Each table below holds the functions we call, each member typed by the
// library's own prototype (decltype of the header's declaration), so that a changed prototype
// fails the build; the lists are written once and make both the table and its loader.

#define VEXODL_CURL_FUNCTIONS(X) \
  X(curl_global_init)            \
  X(curl_easy_init)              \
  X(curl_easy_setopt)            \
  X(curl_easy_perform)           \
  X(curl_easy_cleanup)           \
  X(curl_easy_strerror)          \
  X(curl_easy_unescape)          \
  X(curl_free)

#define VEXODL_ARCHIVE_FUNCTIONS(X)         \
  X(archive_read_new)                       \
  X(archive_read_disk_new)                  \
  X(archive_read_free)                      \
  X(archive_read_support_format_zip)        \
  X(archive_read_support_format_tar)        \
  X(archive_read_support_filter_gzip)       \
  X(archive_read_open_fd)                   \
  X(archive_read_disk_open)                 \
  X(archive_read_disk_set_symlink_physical) \
  X(archive_read_disk_can_descend)          \
  X(archive_read_disk_descend)              \
  X(archive_read_next_header)               \
  X(archive_read_data)                      \
  X(archive_error_string)                   \
  X(archive_entry_pathname)                 \
  X(archive_entry_filetype)                 \
  X(archive_entry_perm)                     \
  X(archive_entry_size)                     \
  X(archive_entry_size_is_set)              \
  X(archive_entry_set_size)                 \
  X(archive_entry_symlink)                  \
  X(archive_entry_hardlink)

namespace vexodl::vexohost::internal {

#define VEXODL_FUNCTION_MEMBER(name) decltype(&::name) name = nullptr;

struct CurlApi {
  VEXODL_CURL_FUNCTIONS(VEXODL_FUNCTION_MEMBER)
};

struct ArchiveApi {
  VEXODL_ARCHIVE_FUNCTIONS(VEXODL_FUNCTION_MEMBER)
};

#undef VEXODL_FUNCTION_MEMBER

// The library of `soname`, loaded with dlopen, with every function of the table resolved; a
// library stays loaded for the rest of the process (one with thread-local state or exit handlers
// crashes a process that unloads it), and loading it again costs a lookup. Throws VexoError
// kErrLibraryMissing, naming the library and what the loader said, when it cannot be loaded or
// lacks a function. LoadCurl also runs curl_global_init once per process.
CurlApi LoadCurl(const std::string& soname);
ArchiveApi LoadArchive(const std::string& soname);

// The tables of the libraries this build was made against, loaded on first use, once per
// process (thread-safe); a failed load is tried again by the next call.
const CurlApi& Curl();
const ArchiveApi& Archive();

}  // namespace vexodl::vexohost::internal
