// The store beside another process.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "outside/vexohost.h"
#include "run_program.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using StoreFaultTest = StateDirTest;

// SQLite's locks are POSIX record locks, which a process loses all at once when it closes any
// descriptor of the file: a read must not close one while another connection of this process
// writes. The other process is a new program, not a fork, which would share SQLite's bookkeeping.
TEST_F(StoreFaultTest, ReadsKeepAWritingConnectionsLockFromOtherProcesses) {
  Ship("filedrop");
  Handler("filedrop").AccountSet("me", "secret");
  Database writer(Path("accounts.db"));
  writer.Sql("BEGIN IMMEDIATE");
  EXPECT_EQ("me", HostObject("filedrop")["username"].asString());
  const fake::ProgramResult other =
      fake::RunProgram({"python3", "-c",
                        "import sqlite3, sys\n"
                        "try:\n"
                        "    sqlite3.connect(sys.argv[1], timeout=0, "
                        "isolation_level=None).execute('BEGIN IMMEDIATE')\n"
                        "    print('granted')\n"
                        "except sqlite3.OperationalError as error:\n"
                        "    print(error)\n",
                        Path("accounts.db")},
                       fake::CurrentEnvironment(), "");
  EXPECT_EQ("database is locked\n", other.out) << other.err;
}

}  // namespace
}  // namespace vexodl::vexohost::test
