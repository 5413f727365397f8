// vexodl-filehosting end to end: the program itself, started without a shell, over our own native
// host-plugin service (a state directory with the sample plug-ins) and our pyLoad client running
// the peer (pyload/peer/pyload-peer) as pyLoad's command-line program, on a store in a temporary
// directory. One case per command, the bash completion, then the tool's own refusals, error
// lines and exit statuses, and what it does with passwords.
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run_program.h"
#include "scoped_env.h"
#include "state_dir_fixture.h"
#include "temp_dir.h"
#include "unique_fd.h"

namespace vexodl::cli {
namespace {

using fake::ProgramResult;
using ::testing::HasSubstr;
using vexohost::test::ParseJson;
using vexohost::test::ReadFile;
using vexohost::test::WriteFile;

constexpr char kProgram[] = VEXODL_CLI_PROGRAM;
constexpr char kPeer[] = VEXODL_PYLOAD_PEER;

// "Red\x1b[31mHost" has an escape sequence in its name; "Uploaded" takes "me"/"secret" (premium)
// and "free"/"pw"; "Zippyshare" holds the account "old", which pyLoad does not use.
constexpr char kStore[] = R"({"plugins": {"Red\u001b[31mHost": {"version": "1\u0007"},
    "Uploaded": {"version": "0.7", "logins": {"me": {"password": "secret", "premium": true},
                                              "free": {"password": "pw"}}},
    "Zippyshare": {"version": "0.2", "can_be_disabled": false, "is_tested": false, "logins": {}}},
  "accounts": {"Zippyshare": {"login": "old", "password": "oldpw", "valid": false,
      "premium": false, "trafficleft": "", "use_premium": false}}})";

MATCHER_P3(Ended, status, out, err,
           "exits with " + ::testing::PrintToString(status) + ", writes " +
               ::testing::PrintToString(std::string(out)) + " and reports " +
               ::testing::PrintToString(std::string(err))) {
  return arg.exit_status == status && arg.out == out && arg.err == err;
}

// A line that the tool writes to standard error, "vexodl-filehosting: TEXT", and a newline.
std::string Said(const std::string& text) { return "vexodl-filehosting: " + text + "\n"; }

// Standard error with the line numbers of the library's log lines taken out: "handler.cpp:N".
std::string WithoutLineNumbers(const std::string& err) {
  return std::regex_replace(err, std::regex(R"(\.cpp:[0-9]+ )"), ".cpp:N ");
}

class CliTest : public vexohost::test::StateDirTest {
 protected:
  void SetUp() override {
    static std::string why;
    static const bool can_start = fake::CanStartTargetPrograms(&why);
    if (!can_start) GTEST_SKIP() << "cannot start the tool on this machine: " << why;
    Ship("filedrop");
    InstallUser("openmirror");
    WriteFile(peer_ / "accounts.json", kStore);
  }

  ProgramResult Run(std::vector<std::string> arguments, const std::string& input = "") {
    arguments.insert(arguments.begin(), kProgram);
    return fake::RunProgram(arguments, fake::CurrentEnvironment(), input);
  }

  fake::TempDir peer_;
  fake::ScopedEnv env_{{"VEXODL_PYLOAD_SOCKET", peer_ / "pyload.sock"},
                       {"VEXODL_PYLOAD_CLI", kPeer},
                       {"VEXODL_PYLOAD_STORE", peer_ / "accounts.json"},
                       {"VEXODL_PYLOAD_PEER_FAULT", peer_ / "fault"}};
};

// -- one case per command ------------------------------------------------------------------------

// The table of kStore's hosts.
const std::string kPyloadTable =
    "NAME               TYPE    ENABLED  ACCOUNT  VERSION  NEW VERSION  FLAGS"
    "                                          DESCRIPTION\n"
    "Red\\u001b[31mHost  pyload  no       -        1\\u0007  -            account-needed"
    "                                 pyLoad Plugin\n"
    "Uploaded           pyload  no       -        0.7      -            account-needed"
    "                                 pyLoad Plugin\n"
    "Zippyshare         pyload  no       old      0.2      -            "
    "account-needed,invalid,always-on,experimental  pyLoad Plugin\n";

// get's JSON as list's table escapes: control characters from plug-ins, DEL and C1 controls too.
TEST_F(CliTest, GetShowsEachControlCharacterEscapedAsListDoes) {
  WritePlugin("shipped", "clear", R"({"format": 1, "name": "clear", "version": "1.0",
                  "authentication": "no", "description": "wipes\u001b[2J\u009b\u007f"})");
  const ProgramResult result = Run({"get", "clear", "--type", "vexo"});
  EXPECT_EQ(0, result.exit_status);
  EXPECT_THAT(result.out, HasSubstr(R"("description" : "wipes\u001b[2J\u009b\u007f",)"));
}

// pyLoad absent (no program, nothing at the socket), broken (its program exits 1), silent (no
// program, and a socket that takes requests and never answers) or working, and the native state
// directory there or missing: each back-end that fails is left out and said once, whatever -q
// says, and the listing exits 1; a machine without pyLoad is no failure.
TEST_F(CliTest, ListSaysOnceWhichBackEndItLeftOutAndWhyAndExitsWithIt) {
  const std::string native =
      "NAME        TYPE  ENABLED  ACCOUNT  VERSION  NEW VERSION  FLAGS           DESCRIPTION\n"
      "filedrop    vexo  yes      -        2.3.1    -            account-needed  FileDrop one-click"
      " hosting; premium accounts lift the speed limit\n"
      "openmirror  vexo  yes      -        0.9.2    -            removable       OpenMirror public "
      "mirrors; no account needed\n";
  const std::string no_program = peer_ / "no-pyload" + " does not exist";
  const std::string no_socket = peer_ / "pyload.sock" + " does not exist";
  const std::string no_state = "state directory " + peer_ / "no-state" + " does not exist";
  const std::string absent_lines =
      Said("pyload: get_accounts: " + no_program) +
      Said("host/pyload.cpp:N Failed to get info of accounts") +
      Said("pyload: get_accounts: " + no_socket) +
      Said("note: no pyLoad hosts, as pyLoad is not here: " + no_program + ", " + no_socket);
  const std::string pyload_left_out =
      Said("error: pyLoad hosts left out: " + std::string(kPeer) + " exited with status 1");
  const std::string native_left_out = Said("error 2100: native hosts left out: " + no_state);
  const struct {
    const char* pyload;  // "working", "broken", "silent" or "absent"
    bool state_dir;      // whether the native state directory exists
    const char* option;
    int status;
    std::string out;
    std::string err;
  } rows[] = {
      {"absent", true, "--verbose", 0, native, absent_lines},
      {"broken", true, "-q", 1, native, pyload_left_out},
      {"silent", true, "", 1, native, Said("error: pyLoad hosts left out: " + no_program)},
      {"working", false, "--quiet", 1, kPyloadTable, native_left_out},
  };
  for (const auto& row : rows) {
    const std::string what =
        row.pyload + std::string(row.state_dir ? "" : ", no state, ") + row.option;
    fake::ScopedEnv env{{"VEXODL_PYLOAD_SOCKET_TIMEOUT_MS", "200"}};
    const std::string pyload = row.pyload;
    if (pyload == "absent" || pyload == "silent") env.Set("VEXODL_PYLOAD_CLI", peer_ / "no-pyload");
    const common::UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, (peer_ / "pyload.sock").c_str(), sizeof address.sun_path - 1);
    if (pyload == "silent") {
      ASSERT_EQ(0,
                bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address));
      ASSERT_EQ(0, listen(listener.get(), 4));  // never accepted: the request is never answered
    }
    if (!row.state_dir) env.Set("VEXODL_VEXOHOST_STATE_DIR", peer_ / "no-state");
    WriteFile(peer_ / "fault", pyload == "broken" ? "exit 1\n" : "");
    ProgramResult result = Run({row.option, "list"});
    ::unlink(address.sun_path);
    result.err = WithoutLineNumbers(result.err);
    EXPECT_THAT(result, Ended(row.status, row.out, row.err)) << what;
  }
}

// A script tests the exit status: 4 for a rejected account.
TEST_F(CliTest, VerifyPrintsRejectedAndExitsFourForARejectedAccount) {
  EXPECT_THAT(
      Run({"verify", "Uploaded", "--type", "pyload", "--username", "me", "--password-stdin"},
          "wrong\n"),
      Ended(4, "rejected\n", ""));
}

// A delete whose forgetting cannot be synced (strace fails its third fsync, the commit's) exits 1
// with the failure and keeps its record in staging/ for the next change: it used to put back the
// plug-in, whose account was gone.
TEST_F(CliTest, AChangeWhoseSyncFailsExitsOneAndLeavesTheStoreWhole) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitizer's runtime under strace makes calls of its own, and its leak check at exit may die
  // under a tracer: the counts of fsync would not be the tool's.
  GTEST_SKIP() << "the tool is built with a sanitizer";
#endif
  try {
    fake::RunProgram({"strace", "-V"}, fake::CurrentEnvironment(), "");
  } catch (const std::exception&) {
    GTEST_SKIP() << "strace is missing";
  }
  ASSERT_THAT(
      Run({"set", "openmirror", "--type", "vexo", "--username", "old", "--password-stdin"}, "pw\n"),
      Ended(0, "", ""));
  const ProgramResult result =
      fake::RunProgram({"strace", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                        "inject=fsync:error=EIO:when=3", kProgram, "delete", "openmirror"},
                       fake::CurrentEnvironment(), "");
  EXPECT_EQ(1, result.exit_status);
  EXPECT_THAT(result.err, HasSubstr("error 2200: commit a change to " + Path("accounts.db") +
                                    ": fsync " + state() + ": Input/output error\n"));
  EXPECT_FALSE(vexohost::test::Exists(Path("user/openmirror")));
  EXPECT_TRUE(vexohost::test::Exists(Path("staging/deleted-openmirror/manifest.json")));
  EXPECT_EQ("<none>", Row("openmirror"));
}

// -- completion -----------------------------------------------------------------------------------

// The completion, run in bash with the tool in PATH from the peer's directory: a pyLoad name that
// holds a command is offered quoted and never runs; an escaped name is left out.
TEST_F(CliTest, BashCompletesAHostNameThatHoldsACommandQuotedWithoutRunningIt) {
  const std::string program = kProgram;
  const fake::ScopedEnv path{
      {"PATH", program.substr(0, program.rfind('/')) + ":" + ::getenv("PATH")}};
  Json::Value store = ParseJson(kStore);
  store["plugins"]["$(touch${IFS}ran)"]["version"] = "1";
  WriteFile(peer_ / "accounts.json", store.toStyledString());
  const std::string& dir = peer_.path();  // where "$(touch${IFS}ran)" would make "ran"
  EXPECT_THAT(
      fake::RunProgram({"/bin/bash", "-c",
                        "cd \"$0\" && source \"$1\"; COMP_WORDS=(vexodl-filehosting --quiet get "
                        "--type pyload ''); COMP_CWORD=5; _vexodl_filehosting; "
                        "echo \"${COMPREPLY[*]}\"",
                        dir, VEXODL_CLI_COMPLETION},
                       fake::CurrentEnvironment(), ""),
      Ended(0, "\\$\\(touch\\$\\{IFS\\}ran\\) Uploaded Zippyshare\n", ""));
  EXPECT_FALSE(vexohost::test::Exists(dir + "/ran"));
}

// -- refusals and errors -------------------------------------------------------------------------

// A command line (arguments between single spaces), the exit status
// and what the tool writes to standard error, given `input`.
struct Failure {
  std::string command_line;
  int status;
  std::string err;
  std::string input = "";
};

std::string Refused(const std::string& why) {
  return "vexodl-filehosting: " + why + "\nTry 'vexodl-filehosting --help'.\n";
}

// One line per failure: "error CODE: MESSAGE", with the library's own code its meaning and the
// cause that a back-end logged; exit 1 for that, 2 for a refused command line; nothing on standard
// output or stored.
TEST_F(CliTest, FailuresEndInTheirExitStatusAndOneLineOnStandardError) {
  const std::string set = "set filedrop --type vexo --username alice ";
  const Failure rows[] = {
      {"get Uploaded --type pyload", 1,
       Said("error 100: pyLoad's account list cannot be read, or holds no account for the host: " +
            peer_ / "pyload.sock" + " does not exist")},
      {"get filedrop --type Vexo", 2, Refused("--type is vexo or pyload, not \"Vexo\"")},
      {set + "--password-stdin", 2, "vexodl-filehosting: the password is longer than 4096 bytes\n",
       std::string(4097, 'p') + "\n"},
      {set + "--password=hunter2", 2,
       Refused("passwords are not taken from the command line, where other users can read them: "
               "use --password-stdin, or run on a terminal to be asked")},
  };
  for (const Failure& row : rows) {
    std::vector<std::string> arguments;
    for (std::size_t start = 0; start < row.command_line.size();) {
      const std::size_t end = std::min(row.command_line.find(' ', start), row.command_line.size());
      arguments.push_back(row.command_line.substr(start, end - start));
      start = end + 1;
    }
    EXPECT_THAT(Run(arguments, row.input), Ended(row.status, "", row.err)) << row.command_line;
  }
  EXPECT_EQ("<no database>", Row("filedrop"));
}

// Standard output on a full disk: exit 3, and the system's reason.
TEST_F(CliTest, AnOutputThatCannotBeWrittenFailsWithTheSystemsReason) {
  EXPECT_THAT(
      fake::RunProgram({"/bin/sh", "-c", "exec \"$0\" list > /dev/full", kProgram},
                       fake::CurrentEnvironment(), ""),
      Ended(3, "", Said("error: cannot write to standard output: No space left on device")));
}

// -- passwords -----------------------------------------------------------------------------------

// A verifier that says whether it may open the memory of the tool and, as a control, of the shell
// that this test started the tool from: a process without CAP_SYS_PTRACE may open that of a
// dumpable process of its own user only, holding no capability it lacks itself.
constexpr char kProbingVerifier[] = R"(#!/usr/bin/python3
import os, sys
sys.stdin.read()
def parent(pid):
    return int(open('/proc/%d/stat' % pid).read().rsplit(')', 1)[1].split()[1])
def probe(pid):
    try:
        open('/proc/%d/mem' % pid).close()
        return 'open'
    except PermissionError:
        return 'denied'
chain = [parent(int(os.readlink('/proc/self')))]  # getppid() counts in the reaper's namespace
while parent(chain[-1]) != int(os.environ['PROBE_TEST_PID']):
    chain.append(parent(chain[-1]))
# ... tool, shell, and the reaper that the test started the shell under
open(os.environ['PROBE_FILE'], 'w').write('tool %s, shell %s\n' % (probe(chain[-3]), probe(chain[-2])))
print('{"result": 1}')
)";

// A core, or a reader of /proc/PID/mem, would find the password while the tool holds one.
TEST_F(CliTest, TheToolIsNotDumpableWhileAVerifierHasThePassword) {
  WritePlugin("user", "probed", R"({"format": 1, "name": "probed", "description": "",
      "version": "1", "authentication": "yes", "verifier": "verify"})");
  WriteFile(Path("user/probed/verify"), kProbingVerifier);
  ::chmod(Path("user/probed/verify").c_str(), 0755);
  // The verifier runs as the tool's own user, as root too: the one user whose processes it could
  // open, but for the tool being undumpable.
  const fake::ScopedEnv env{{"PROBE_TEST_PID", std::to_string(::getpid())},
                            {"PROBE_FILE", Path("probe.txt")},
                            {"VEXODL_VEXOHOST_VERIFIER_USER", ::getpwuid(::geteuid())->pw_name}};
  // The shell waits for the tool rather than becoming it. As root, CAP_SYS_PTRACE is kept out of
  // the whole tree, so that the probe holds every capability that the tool holds.
  std::vector<std::string> argv = {
      "/bin/sh", "-c",   "\"$@\"; exit $?", "sh", kProgram,          "verify", "probed",
      "--type",  "vexo", "--username",      "me", "--password-stdin"};
  if (::geteuid() == 0)
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--bounding-set=-sys_ptrace"});
  EXPECT_THAT(fake::RunProgram(argv, fake::CurrentEnvironment(), "pw\n"), Ended(0, "valid\n", ""));
  const std::string probe = ReadFile(Path("probe.txt"));
  if (probe == "tool denied, shell denied\n") {
    GTEST_SKIP() << "no process may open an ancestor's memory here (Yama's ptrace_scope?)";
  }
  EXPECT_EQ("tool denied, shell open\n", probe);
}

}  // namespace
}  // namespace vexodl::cli
