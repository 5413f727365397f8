// The store when its disk fails it: full, or mounted read-only. Root (as CI runs) ignores file
// modes, so the faults come from mounts in a mount namespace of a child process of its own; they
// never reach the rest of the machine. Each scenario runs in that child and reports what the
// service said, one line per step, for the test to check. Last, the account database locked by
// another process.
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "locked_database.h"
#include "outside/vexohost.h"
#include "state_dir_fixture.h"

namespace vexodl::vexohost::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// What a service call did: "ok", or "<code> <message>".
std::string Outcome(const std::function<void()>& call) {
  try {
    call();
    return "ok";
  } catch (const VexoError& error) {
    return std::to_string(error.code) + " " + error.what();
  }
}

std::string UserOf(const std::string& host) {
  Json::Value object;
  const std::string outcome = Outcome([&] { Handler(host).AccountGet(object); });
  return outcome == "ok" ? "user=" + object.get("username", "<none>").asString() : outcome;
}

class StoreFaultTest : public StateDirTest {
 protected:
  // Runs `scenario` in a child of its own mount namespace, where `prepare` is called first to
  // mount what the fault needs; returns the lines the scenario wrote, or skips the test when
  // this machine gives no mount namespace. Source and type are "none" where the kernel ignores
  // them (propagation changes, bind mounts, remounts), which memory checkers read as strings.
  std::vector<std::string> InNamespace(const std::function<bool()>& prepare,
                                       const std::function<void(std::ofstream&)>& scenario) {
    const std::string report = Path("../" + std::string(".report-") + std::to_string(getpid()));
    const pid_t child = fork();
    if (child == 0) {
      std::ofstream out(report);
      if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr)) {
        out << "no mount namespace: " << std::strerror(errno) << "\n";
        out.close();
        _exit(3);
      }
      if (!prepare()) {
        out << "mount failed: " << std::strerror(errno) << "\n";
        out.close();
        _exit(4);
      }
      scenario(out);
      out.close();
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::vector<std::string> lines;
    std::ifstream in(report);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::remove(report.c_str());
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
      skipped_ = lines.empty() ? "no mount namespace" : lines[0];
      return {};
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "scenario ended with status " << status << ": " << ::testing::PrintToString(lines);
    return lines;
  }

  // Mounts the state directory read-only over itself, for a scenario of InNamespace.
  bool ReadOnly() const {
    return mount(state().c_str(), state().c_str(), "none", MS_BIND, nullptr) == 0 &&
           mount("none", state().c_str(), "none", MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
  }

  std::string skipped_;
};

TEST_F(StoreFaultTest, FullDiskRefusesChangesAndKeepsWhatWasStored) {
  const auto lines = InNamespace(
      [this] {
        // A small filesystem of its own under the state directory, as a full data partition.
        return mount("tmpfs", state().c_str(), "tmpfs", 0, "size=512k,mode=0755") == 0;
      },
      [this](std::ofstream& out) {
        Ship("filedrop");
        out << Outcome([] { Handler("filedrop").AccountSet("first", "one"); }) << "\n";
        std::ofstream filler(Path("filler"), std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) {
        }
        filler.close();
        out << Outcome([] { Handler("filedrop").AccountSet("second", "two"); }) << "\n";
        out << Outcome([] { Handler("filedrop").HostEnabledSet(false); }) << "\n";
        out << UserOf("filedrop") << "\n";
      });
  if (!skipped_.empty()) GTEST_SKIP() << skipped_;
  ASSERT_EQ(4u, lines.size()) << ::testing::PrintToString(lines);
  EXPECT_EQ("ok", lines[0]);
  EXPECT_THAT(lines[1], MatchesRegex("22[0-9][0-9] .*|2101 .*"));
  EXPECT_THAT(lines[1], HasSubstr("full"));
  EXPECT_THAT(lines[1], ::testing::Not(HasSubstr("two")));  // never the password
  EXPECT_THAT(lines[2], MatchesRegex("22[0-9][0-9] .*|2101 .*"));
  EXPECT_EQ("user=first", lines[3]);
}

TEST_F(StoreFaultTest, ReadOnlyStoreStillAnswersReadsAndRefusesChanges) {
  Ship("filedrop");
  Ship("cloudvault");
  Handler("filedrop").AccountSet("me", "secret");
  Handler("cloudvault").HostEnabledSet(false);
  const auto lines = InNamespace(
      [this] { return ReadOnly(); },
      [](std::ofstream& out) {
        out << UserOf("filedrop") << "\n";
        Json::Value listing;
        out << Outcome([&] { Handler("").List(listing); }) << " " << listing.size() << "\n";
        out << Outcome([] { Handler("filedrop").AccountSet("other", "secret2"); }) << "\n";
        out << Outcome([] { Handler("cloudvault").HostEnabledSet(true); }) << "\n";
      });
  if (!skipped_.empty()) GTEST_SKIP() << skipped_;
  ASSERT_EQ(4u, lines.size()) << ::testing::PrintToString(lines);
  EXPECT_EQ("user=me", lines[0]);
  EXPECT_EQ("ok 2", lines[1]);
  EXPECT_THAT(lines[2], HasSubstr("Read-only file system"));
  EXPECT_THAT(lines[3], HasSubstr("Read-only file system"));
  // Nothing was half-written: the rows are as they were before the store went read-only.
  EXPECT_EQ("NULL|me|secret", Row("filedrop"));
  EXPECT_EQ("0|NULL|NULL", Row("cloudvault"));
}

// A change cut off by a crash must be rolled back before anything can be read; on a store that
// went read-only since, it cannot be, and reads say so.
TEST_F(StoreFaultTest, ACutOffChangeOnAReadOnlyStoreFailsReadsWith2203) {
  Ship("filedrop");
  Handler("filedrop").AccountSet("me", "secret");
  {
    const LockedDatabase crashed(Path("accounts.db"), "IMMEDIATE", LockedDatabase::Ending::kCrash);
  }
  const auto lines = InNamespace([this] { return ReadOnly(); },
                                 [](std::ofstream& out) {
                                   out << UserOf("filedrop") << "\n";
                                   Json::Value listing;
                                   out << Outcome([&] { Handler("").List(listing); }) << "\n";
                                 });
  if (!skipped_.empty()) GTEST_SKIP() << skipped_;
  const std::string db = Path("accounts.db");
  const std::string refused = "2203 " + db + " holds a change that was cut off (" + db +
                              "-journal), which must be rolled back before the database can be " +
                              "read, and the store cannot be written: make it writable again " +
                              "and the next call rolls it back";
  EXPECT_THAT(lines, ElementsAre(refused, refused));
  EXPECT_EQ("user=me", UserOf("filedrop"));  // writable again: rolled back
}

// Another process holds a write lock on accounts.db, IMMEDIATE or EXCLUSIVE (the parameter).
class LockedDatabaseTest : public StateDirTest, public ::testing::WithParamInterface<const char*> {
 protected:
  LockedDatabaseTest() {
    Ship("filedrop");
    Ship("cloudvault");
    InstallUser("openmirror");
    Handler("filedrop").AccountSet("alice", "one");
    Handler("cloudvault").HostEnabledSet(false);
    Handler("openmirror").AccountSet("olga", "three");
    ::setenv("VEXODL_VEXOHOST_BUSY_TIMEOUT_MS", "200", 1);
  }
  ~LockedDatabaseTest() override { ::unsetenv("VEXODL_VEXOHOST_BUSY_TIMEOUT_MS"); }

  std::string Rows() const {
    return Row("filedrop") + " " + Row("cloudvault") + " " + Row("openmirror");
  }
};

TEST_P(LockedDatabaseTest, CallsThatNeedTheDatabaseEndIn2201AtTheBusyTimeoutAndLoseNothing) {
  const bool exclusive = std::string(GetParam()) == "EXCLUSIVE";
  const std::string busy =
      "2201 .* " + Path("accounts.db") + ": still busy after 200 ms \\(database is locked\\)";
  struct Call {
    const char* name;
    std::function<std::string()> run;
    std::string locked;  // the outcome while the lock is held IMMEDIATE
    std::string after;   // the outcome once it is gone, the calls made in this order
  };
  const std::vector<Call> calls = {
      {"AccountSet", [] { return Outcome([] { Handler("filedrop").AccountSet("bob", "two"); }); },
       busy, "ok"},
      {"HostEnabledSet", [] { return Outcome([] { Handler("cloudvault").HostEnabledSet(true); }); },
       busy, "ok"},
      {"HostRemoveAccount", [] { return Outcome([] { Handler("filedrop").HostRemoveAccount(); }); },
       busy, "ok"},
      {"HostDelete", [] { return Outcome([] { Handler("openmirror").HostDelete(); }); }, busy,
       "ok"},
      {"AccountGet", [] { return UserOf("filedrop"); }, "user=alice", "user=<none>"},
      {"List",
       [] {
         Json::Value listing;
         const std::string outcome = Outcome([&] { Handler("").List(listing); });
         return outcome == "ok" ? "listed " + std::to_string(listing.size()) : outcome;
       },
       "listed 3", "listed 2"},
  };
  const std::string before = Rows();
  EXPECT_EQ("NULL|alice|one 0|NULL|NULL NULL|olga|three", before);
  {
    const LockedDatabase locked(Path("accounts.db"), GetParam());
    for (const Call& call : calls) {
      const auto start = std::chrono::steady_clock::now();
      const std::string outcome = call.run();
      const auto elapsed = std::chrono::steady_clock::now() - start;
      const bool blocked = exclusive || call.locked == busy;
      EXPECT_THAT(outcome, MatchesRegex(blocked ? busy : call.locked)) << call.name;
      EXPECT_THAT(outcome, ::testing::Not(HasSubstr("two"))) << call.name;  // never the password
      // A blocked call waited for the overridden timeout, far less than the default 15 s.
      if (blocked) {
        EXPECT_GE(elapsed, std::chrono::milliseconds(190)) << call.name;
      }
      EXPECT_LT(elapsed, std::chrono::seconds(5)) << call.name;
    }
    EXPECT_TRUE(Exists(Path("user/openmirror/manifest.json")));  // the delete put it back
  }
  // The lock is gone: what was stored is intact, and every call goes through.
  EXPECT_EQ(before, Rows());
  for (const Call& call : calls) EXPECT_EQ(call.after, call.run()) << call.name;
  EXPECT_EQ("<none> 1|NULL|NULL <none>", Rows());
  EXPECT_FALSE(Exists(Path("user/openmirror")));
}

INSTANTIATE_TEST_SUITE_P(WriteLocks, LockedDatabaseTest,
                         ::testing::Values("IMMEDIATE", "EXCLUSIVE"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace vexodl::vexohost::test
