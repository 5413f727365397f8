#include "state_dir_fixture.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "outside/vexohost.h"

namespace vexodl::vexohost::test {

std::string Outcome(const std::function<void()>& call) {
  try {
    call();
    return "ok";
  } catch (const VexoError& error) {
    return std::to_string(error.code) + " " + error.what();
  }
}

Json::Value HostObject(const std::string& name) {
  Json::Value out;
  Handler(name).AccountGet(out);
  return out;
}

Json::Value HostList() {
  Json::Value out;
  Handler("").List(out);
  return out;
}

Database::Database(const std::string& path, int flags) : db_(nullptr, sqlite3_close_v2) {
  sqlite3* raw = nullptr;
  sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
  db_.reset(raw);
}

std::string Database::Sql(const std::string& sql) {
  std::string last;
  const auto keep = [](void* out, int, char** values, char**) {
    *static_cast<std::string*>(out) = values[0] != nullptr ? values[0] : "NULL";
    return 0;
  };
  EXPECT_EQ(SQLITE_OK, sqlite3_exec(db_.get(), sql.c_str(), keep, &last, nullptr))
      << sqlite3_errmsg(db_.get()) << " in " << sql;
  return last;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

unsigned Mode(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return 0xffffffff;
  return st.st_mode & 07777;
}

std::string ManifestText(const std::string& name, const std::string& version,
                         const std::string& authentication) {
  return R"({"format": 1, "name": ")" + name + R"(", "description": "about )" + name +
         R"(", "version": ")" + version + R"(", "authentication": ")" + authentication + "\"}";
}

void StateDirTest::Ship(const std::string& sample, const std::string& parent) {
  std::filesystem::create_directories(dir_ / parent);
  std::filesystem::copy(std::string(VEXODL_VEXOHOST_SAMPLE_PLUGINS) + "/" + sample,
                        dir_ / (parent + "/" + sample), std::filesystem::copy_options::recursive);
}

void StateDirTest::WritePlugin(const std::string& parent, const std::string& folder,
                               const std::string& manifest) {
  WriteFile(dir_ / (parent + "/" + folder + "/manifest.json"), manifest);
}

std::string StateDirTest::Row(const std::string& host) const {
  if (!Exists(dir_ / "accounts.db")) return "<no database>";
  const std::string row =
      Database(dir_ / "accounts.db", SQLITE_OPEN_READONLY)
          .Sql(
              "SELECT ifnull(enabled, 'NULL') || '|' || ifnull(username, 'NULL') || '|' || "
              "ifnull(password, 'NULL') FROM hosts WHERE name = '" +
              host + "'");
  return row.empty() ? "<none>" : row;
}

}  // namespace vexodl::vexohost::test
