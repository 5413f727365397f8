#include "on_demand.h"

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "error/vexo_error.h"

namespace vexodl::vexohost::internal {
namespace {

using ::testing::StartsWith;

// What install and update meet on a system without the library, or with a library of that name
// that is not the one the build was made against.
TEST(OnDemandTest, ALibraryThatCannotServeIs2305NamingIt) {
  const struct {
    std::string soname;
    void (*load)(const std::string&);
    std::string message;
  } rows[] = {
      {"libvexodl-missing.so.7", [](const std::string& s) { LoadCurl(s); },
       "cannot load libvexodl-missing.so.7, which installs and updates need: "
       "libvexodl-missing.so.7: cannot open shared object file"},
      {"libvexodl-missing.so.7", [](const std::string& s) { LoadArchive(s); },
       "cannot load libvexodl-missing.so.7, which installs and updates need: "
       "libvexodl-missing.so.7: cannot open shared object file"},
      {"libsqlite3.so.0", [](const std::string& s) { LoadArchive(s); },
       "libsqlite3.so.0 has no function archive_read_new"},
  };
  for (const auto& row : rows) {
    try {
      row.load(row.soname);
      ADD_FAILURE() << row.soname << " loaded";
    } catch (const VexoError& error) {
      EXPECT_EQ(2305, error.code);
      EXPECT_THAT(error.what(), StartsWith(row.message));
    }
  }
}

TEST(OnDemandTest, TheBuildsLibrariesLoadAndServe) {
  EXPECT_STREQ("No error", Curl().curl_easy_strerror(CURLE_OK));
  archive* reader = Archive().archive_read_new();
  ASSERT_NE(nullptr, reader);
  EXPECT_EQ(ARCHIVE_OK, Archive().archive_read_free(reader));
}

}  // namespace
}  // namespace vexodl::vexohost::internal
