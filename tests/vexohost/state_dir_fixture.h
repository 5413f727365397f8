#pragma once

#include <sqlite3.h>

#include <functional>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <json/value.h>

#include "error/vexo_error.h"
#include "json_text.h"
#include "scoped_env.h"
#include "temp_dir.h"

namespace vexodl::vexohost::test {

using vexodl::fake::ParseJson;

// Compact JSON text of `value`, for messages and for searching serialised output.
inline std::string Text(const Json::Value& value) { return vexodl::fake::Compact(value); }

// What `call` did: "ok", or "<code> <message>" of the VexoError it threw.
std::string Outcome(const std::function<void()>& call);

// The service's host objects: AccountGet's of plug-in `name`, List's array.
Json::Value HostObject(const std::string& name);
Json::Value HostList();

// Bytes of a file, or "<missing>".
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
// The permission bits of `path` (mode & 07777).
unsigned Mode(const std::string& path);

// A manifest of format 1 for plug-in `name`.
std::string ManifestText(const std::string& name, const std::string& version = "1.0",
                         const std::string& authentication = "yes");

// Database is a connection of our own to the SQLite database at `path`, past the service; closing
// it rolls back a transaction left open.
class Database {
 public:
  explicit Database(const std::string& path,
                    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  // Runs `sql`: the first column of the last row it gave, or "". A test failure if it fails.
  std::string Sql(const std::string& sql);

 private:
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db_;
};

// StateDirTest gives every test a state directory of its own, empty, named by the service's
// environment variable for the length of the test. As root, verifiers run as "nobody", which
// exists where the packages, which create the service's own user, are not installed.
class StateDirTest : public ::testing::Test {
 protected:
  const std::string& state() const { return dir_.path(); }
  std::string Path(const std::string& relative) const { return dir_ / relative; }

  // Copies the sample plug-in `sample` (vexohost/plugins/) into shipped/ or user/.
  void Ship(const std::string& sample, const std::string& parent = "shipped");
  void InstallUser(const std::string& sample) { Ship(sample, "user"); }
  // Writes `manifest` as the manifest of plug-in folder `folder` under `parent` ("shipped"/"user").
  void WritePlugin(const std::string& parent, const std::string& folder,
                   const std::string& manifest);

  // The account database's row for `host`: "enabled|username|password" with NULL for null, or
  // "<none>". Read with SQLite directly, past the service.
  std::string Row(const std::string& host) const;

 private:
  fake::TempDir dir_;
  fake::ScopedEnv env_{{"VEXODL_VEXOHOST_STATE_DIR", dir_.path()},
                       {"VEXODL_VEXOHOST_VERIFIER_USER", "nobody"}};
};

}  // namespace vexodl::vexohost::test
