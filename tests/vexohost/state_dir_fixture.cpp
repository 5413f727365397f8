#include "state_dir_fixture.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <json/reader.h>
#include <json/writer.h>

namespace vexodl::vexohost::test {

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

StateDirTest::StateDirTest() { ::setenv("VEXODL_VEXOHOST_STATE_DIR", dir_.path().c_str(), 1); }

StateDirTest::~StateDirTest() { ::unsetenv("VEXODL_VEXOHOST_STATE_DIR"); }

void StateDirTest::Ship(const std::string& sample) {
  std::filesystem::create_directories(dir_ / "shipped");
  std::filesystem::copy(std::string(VEXODL_VEXOHOST_SAMPLE_PLUGINS) + "/" + sample,
                        dir_ / ("shipped/" + sample), std::filesystem::copy_options::recursive);
}

void StateDirTest::InstallUser(const std::string& sample) {
  std::filesystem::create_directories(dir_ / "user");
  std::filesystem::copy(std::string(VEXODL_VEXOHOST_SAMPLE_PLUGINS) + "/" + sample,
                        dir_ / ("user/" + sample), std::filesystem::copy_options::recursive);
}

void StateDirTest::WritePlugin(const std::string& parent, const std::string& folder,
                               const std::string& manifest) {
  WriteFile(dir_ / (parent + "/" + folder + "/manifest.json"), manifest);
}

std::string StateDirTest::Row(const std::string& host) const {
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2((dir_ / "accounts.db").c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
  if (rc != SQLITE_OK) return "<no database>";
  sqlite3_stmt* raw_stmt = nullptr;
  if (sqlite3_prepare_v2(db.get(), "SELECT enabled, username, password FROM hosts WHERE name = ?1",
                         -1, &raw_stmt, nullptr) != SQLITE_OK) {
    return std::string("<") + sqlite3_errmsg(db.get()) + ">";
  }
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmt(raw_stmt, sqlite3_finalize);
  sqlite3_bind_text(stmt.get(), 1, host.c_str(), -1, SQLITE_TRANSIENT);
  if (sqlite3_step(stmt.get()) != SQLITE_ROW) return "<none>";
  std::string row;
  for (int column = 0; column < 3; ++column) {
    if (column > 0) row += "|";
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), column));
    row += text != nullptr ? text : "NULL";
  }
  return row;
}

}  // namespace vexodl::vexohost::test
