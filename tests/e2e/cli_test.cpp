// vexodl-filehosting end to end: the program itself, started without a shell, over our own native
// host-plugin service (a state directory with the sample plug-ins) and our pyLoad client talking
// to the peer (pyload/peer/pyload-peer) on a socket in a temporary directory. Every test checks
// what the program wrote to standard output and standard error, and its exit status.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "pyload_test_support.h"
#include "run_program.h"
#include "state_dir_fixture.h"
#include "temp_dir.h"
#include "unique_fd.h"

namespace vexodl::cli {
namespace {

using fake::ProgramResult;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
using ::testing::Not;
using ::testing::StartsWith;
using vexohost::test::ParseJson;

constexpr char kProgram[] = VEXODL_CLI_PROGRAM;

// What StateDirTest::Row says when the service has not even created its database.
constexpr char kNothingStored[] = "<no database>";

class CliTest : public vexohost::test::StateDirTest {
 protected:
  void SetUp() override {
    static std::string why;
    static const bool can_start = fake::CanStartTargetPrograms(&why);
    if (!can_start) GTEST_SKIP() << "cannot start the tool on this machine: " << why;
    Ship("filedrop");
    Ship("cloudvault");
    Ship("youtube");
    InstallUser("openmirror");
  }

  // Runs the tool with `arguments` and `input` on its standard input.
  ProgramResult Run(const std::vector<std::string>& arguments, const std::string& input = "") {
    std::vector<std::string> argv = {kProgram};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return fake::RunProgram(argv, fake::CurrentEnvironment(), input);
  }

  pyload::testing::PeerEnvironment peer_;
};

MATCHER_P2(Exited, status, out,
           "exits with " + ::testing::PrintToString(status) + " and writes " +
               ::testing::PrintToString(std::string(out))) {
  return arg.exit_status == status && arg.out == out;
}

// A run that failed with `status` and wrote exactly `err` to standard error, nothing to output.
MATCHER_P2(Failed, status, err,
           "exits with " + ::testing::PrintToString(status) + ", no output, and reports " +
               ::testing::PrintToString(std::string(err))) {
  return arg.exit_status == status && arg.out.empty() && arg.err == err;
}

// What the tool writes to standard error when it refuses a command line.
std::string Refusal(const std::string& why) {
  return "vexodl-filehosting: " + why + "\nTry 'vexodl-filehosting --help'.\n";
}

// -- list -----------------------------------------------------------------------------------------

class ListTest : public CliTest {};

TEST_F(ListTest, TableShowsPyloadHostsThenNativeOnes) {
  peer_.StartServer();
  EXPECT_THAT(
      Run({"list"}),
      Exited(
          0,
          "NAME        TYPE    ENABLED  ACCOUNT  VERSION  NEW VERSION  FLAGS"
          "                                          DESCRIPTION\n"
          "Uploaded    pyload  no       -        0.7      -            account-needed"
          "                                 pyLoad Plugin\n"
          "Zippyshare  pyload  no       old      0.2      -            "
          "account-needed,invalid,always-on,experimental  pyLoad Plugin\n"
          "cloudvault  vexo    yes      -        1.0      -            account-needed"
          "                                 CloudVault shared folders; downloads need an account\n"
          "filedrop    vexo    yes      -        2.3.1    -            account-needed"
          "                                 FileDrop one-click hosting; premium accounts lift the"
          " speed limit\n"
          "openmirror  vexo    yes      -        0.9.2    -            removable"
          "                                      OpenMirror public mirrors; no account needed\n"));
}

TEST_F(ListTest, JsonIsTheLibrarysArray) {
  const ProgramResult result = Run({"list", "--json"});
  ASSERT_EQ(0, result.exit_status) << result.err;
  EXPECT_EQ(ParseJson(R"([
    {"name": "Uploaded", "type": "pyload", "displayname": "Uploaded", "enabled": false,
     "description": "pyLoad Plugin", "version": "0.7", "removable": false, "auth_needed": true},
    {"name": "Zippyshare", "type": "pyload", "displayname": "Zippyshare", "enabled": false,
     "description": "pyLoad Plugin", "version": "0.2", "username": "old", "removable": false,
     "can_be_disabled": false, "auth_needed": true, "experimental": true, "valid": false,
     "trafficleft": ""},
    {"name": "cloudvault", "type": "vexo", "displayname": "cloudvault", "enabled": true,
     "description": "CloudVault shared folders; downloads need an account", "version": "1.0",
     "removable": false, "auth_needed": true},
    {"name": "filedrop", "type": "vexo", "displayname": "filedrop", "enabled": true,
     "description": "FileDrop one-click hosting; premium accounts lift the speed limit",
     "version": "2.3.1", "removable": false, "auth_needed": true},
    {"name": "openmirror", "type": "vexo", "displayname": "openmirror", "enabled": true,
     "description": "OpenMirror public mirrors; no account needed", "version": "0.9.2",
     "removable": true, "auth_needed": false}
  ])"),
            ParseJson(result.out));
}

TEST_F(ListTest, ControlCharactersFromPluginsAndPyloadAreEscaped) {
  peer_.WriteStore(R"({"plugins": {"Red\u001b[31mHost": {"version": "1\u0007"}}})");
  WritePlugin("shipped", "clear",
              R"({"format": 1, "name": "clear",
                  "description": "wipes\u001b[2J\nthe\tscreen\u009b C:\\dir",
                  "version": "1.0", "authentication": "no"})");
  const ProgramResult result = Run({"list"});
  EXPECT_EQ(0, result.exit_status) << result.err;
  EXPECT_THAT(result.out, Not(HasSubstr("\x1b")));
  EXPECT_THAT(result.out, Not(HasSubstr("\x07")));
  EXPECT_THAT(result.out, Not(HasSubstr("\xc2\x9b")));
  EXPECT_THAT(result.out, HasSubstr("\nRed\\x1b[31mHost  pyload  no       -        1\\x07  "));
  EXPECT_THAT(result.out, HasSubstr("  wipes\\x1b[2J\\nthe\\tscreen\\u009b C:\\dir\n"));
}

TEST_F(ListTest, WhenPyloadCannotBeReachedTheNativeHostsAreStillListed) {
  peer_.env().Set("VEXODL_PYLOAD_CLI", peer_ / "no-such-program");
  const ProgramResult result = Run({"list", "--verbose"});
  EXPECT_EQ(0, result.exit_status);
  EXPECT_EQ(
      "NAME        TYPE  ENABLED  ACCOUNT  VERSION  NEW VERSION  FLAGS           DESCRIPTION\n"
      "cloudvault  vexo  yes      -        1.0      -            account-needed  CloudVault shared "
      "folders; downloads need an account\n"
      "filedrop    vexo  yes      -        2.3.1    -            account-needed  FileDrop "
      "one-click "
      "hosting; premium accounts lift the speed limit\n"
      "openmirror  vexo  yes      -        0.9.2    -            removable       OpenMirror public "
      "mirrors; no account needed\n",
      result.out);
  EXPECT_THAT(result.err, MatchesRegex("vexodl-filehosting: host/pyload.cpp:[0-9]+ Failed to get "
                                       "info of accounts\n"
                                       "vexodl-filehosting: handler.cpp:[0-9]+ Failed to list "
                                       "hosts of pyload. Error: 1614\n"));
}

TEST_F(ListTest, WithoutVerboseNoLogLineReachesStandardError) {
  peer_.env().Set("VEXODL_PYLOAD_CLI", peer_ / "no-such-program");
  EXPECT_THAT(Run({"list", "--json"}).err, IsEmpty());
}

// -- get ------------------------------------------------------------------------------------------

class GetTest : public CliTest {};

TEST_F(GetTest, PrintsTheHostObject) {
  const ProgramResult result = Run({"get", "openmirror", "--type", "vexo"});
  ASSERT_EQ(0, result.exit_status) << result.err;
  EXPECT_EQ(ParseJson(R"({"name": "openmirror", "type": "vexo", "displayname": "openmirror",
     "enabled": true, "description": "OpenMirror public mirrors; no account needed",
     "version": "0.9.2", "removable": true, "auth_needed": false})"),
            ParseJson(result.out));
}

TEST_F(GetTest, UnknownNativeHostReportsTheServiceCodeAndMessage) {
  EXPECT_THAT(Run({"get", "nosuch", "--type", "vexo"}),
              Failed(1, "error 2002: no host plug-in named \"nosuch\"\n"));
}

TEST_F(GetTest, PyloadHostWithoutItsServerReports100) {
  EXPECT_THAT(Run({"get", "Uploaded", "--type", "pyload"}),
              Failed(1,
                     "error 100: pyLoad's account list cannot be read, or holds no account "
                     "for the host\n"));
}

TEST_F(GetTest, UnknownTypeReports1612) {
  EXPECT_THAT(Run({"get", "filedrop", "--type", "Vexo"}),
              Failed(1, "error 1612: the type is neither \"vexo\" nor \"pyload\"\n"));
}

// -- set ------------------------------------------------------------------------------------------

class SetTest : public CliTest {};

TEST_F(SetTest, StoresANativeAccountAndEnabledState) {
  EXPECT_THAT(Run({"set", "filedrop", "--type", "vexo", "--username", "alice", "--password-stdin",
                   "--disable"},
                  "s3cret\n"),
              Failed(0, ""));
  EXPECT_EQ("0|alice|s3cret", Row("filedrop"));
  EXPECT_THAT(Run({"list"}).out,
              HasSubstr("\nfiledrop    vexo    no       alice    2.3.1    -            "));
}

TEST_F(SetTest, TakesOnlyTheFirstLineOfStandardInputWithoutItsLineEnd) {
  EXPECT_EQ(0, Run({"set", "cloudvault", "--type", "vexo", "--username", "bob", "--password-stdin"},
                   "pass word\r\nsecond line\n")
                   .exit_status);
  EXPECT_EQ("NULL|bob|pass word", Row("cloudvault"));
}

TEST_F(SetTest, StoresAPyloadAccountOverTheSocket) {
  peer_.StartServer();
  EXPECT_THAT(Run({"set", "Uploaded", "--type", "pyload", "--username", "me", "--password-stdin",
                   "--enable"},
                  "secret\n"),
              Failed(0, ""));
  EXPECT_EQ(ParseJson(R"({"login": "me", "password": "secret", "valid": true, "premium": true,
                          "trafficleft": "1048576", "use_premium": true})"),
            peer_.ReadStore()["accounts"]["Uploaded"]);
}

TEST_F(SetTest, WithoutAPasswordAndWithoutATerminalNothingIsStored) {
  EXPECT_THAT(Run({"set", "filedrop", "--type", "vexo", "--username", "alice", "--enable"}),
              Failed(2,
                     "vexodl-filehosting: a password is needed: give --password-stdin and the "
                     "password on standard input, or run on a terminal to be asked\n"));
  EXPECT_EQ(kNothingStored, Row("filedrop"));
}

TEST_F(SetTest, AnEmptyPasswordIsRefusedByTheLibraryWith528) {
  EXPECT_THAT(
      Run({"set", "filedrop", "--type", "vexo", "--username", "alice", "--password-stdin"}, "\n"),
      Failed(1, "error 528: a user name needs a password\n"));
  EXPECT_EQ(kNothingStored, Row("filedrop"));
}

TEST_F(SetTest, AnEmptyUserNameRemovesTheAccountWithoutAskingForAPassword) {
  ASSERT_EQ(0, Run({"set", "filedrop", "--type", "vexo", "--username", "alice", "--password-stdin"},
                   "pw\n")
                   .exit_status);
  EXPECT_THAT(Run({"set", "filedrop", "--type", "vexo", "--username", ""}), Failed(0, ""));
  EXPECT_EQ("<none>", Row("filedrop"));
}

TEST_F(SetTest, APyloadRefusalReports1601WithItsLogLine) {
  peer_.StartServer();
  peer_.SetFault("update_account: error");
  const ProgramResult result = Run(
      {"--verbose", "set", "Uploaded", "--type", "pyload", "--username", "me", "--password-stdin"},
      "secret\n");
  EXPECT_EQ(1, result.exit_status);
  EXPECT_THAT(result.err, MatchesRegex("vexodl-filehosting: host/pyload.cpp:[0-9]+ Failed to set "
                                       "account Uploaded\n"
                                       "error 1601: pyLoad did not store the account\n"));
}

// What a run on a terminal showed: the prompt (standard error), what the terminal displayed
// (echo), and the exit status.
struct TerminalRun {
  std::string err;
  std::string screen;
  int exit_status = -1;
};

// Runs the tool with a pseudo-terminal as its standard input, waits for its password prompt on
// standard error, then types `typed` on the terminal.
TerminalRun RunOnTerminal(const std::vector<std::string>& arguments, const std::string& typed) {
  TerminalRun run;
  common::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master.valid() || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
    ADD_FAILURE() << "no pseudo-terminal";
    return run;
  }
  common::UniqueFd terminal(::open(::ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
  int err_pipe[2];
  if (!terminal.valid() || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "cannot open the terminal";
    return run;
  }
  common::UniqueFd err_read(err_pipe[0]);
  common::UniqueFd err_write(err_pipe[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, terminal.get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_write.get(), STDERR_FILENO);
  std::vector<std::string> argv = {kProgram};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> pointers;
  for (auto& argument : argv) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  std::vector<std::string> environment = fake::CurrentEnvironment();
  std::vector<char*> variables;
  for (auto& variable : environment) variables.push_back(variable.data());
  variables.push_back(nullptr);
  pid_t pid = -1;
  const int spawned =
      posix_spawn(&pid, kProgram, &actions, nullptr, pointers.data(), variables.data());
  posix_spawn_file_actions_destroy(&actions);
  terminal.Reset();
  err_write.Reset();
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << kProgram;
    return run;
  }
  bool typed_yet = false;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (err_read.valid() && std::chrono::steady_clock::now() < give_up) {
    pollfd fds[2] = {{err_read.get(), POLLIN, 0}, {master.get(), POLLIN, 0}};
    if (::poll(fds, 2, 100) <= 0) continue;
    char buffer[256];
    if (fds[1].revents & POLLIN) {
      const ssize_t n = ::read(master.get(), buffer, sizeof(buffer));
      if (n > 0) run.screen.append(buffer, static_cast<std::size_t>(n));
    }
    if (fds[0].revents != 0) {
      const ssize_t n = ::read(err_read.get(), buffer, sizeof(buffer));
      if (n <= 0) err_read.Reset();
      if (n > 0) run.err.append(buffer, static_cast<std::size_t>(n));
    }
    if (!typed_yet && run.err.find(": ") != std::string::npos) {
      typed_yet = true;
      EXPECT_EQ(static_cast<ssize_t>(typed.size()),
                ::write(master.get(), typed.data(), typed.size()));
    }
  }
  if (err_read.valid()) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.exit_status = WEXITSTATUS(status);
  return run;
}

TEST_F(SetTest, OnATerminalThePasswordIsAskedForWithoutEcho) {
  const TerminalRun run =
      RunOnTerminal({"set", "filedrop", "--type", "vexo", "--username", "alice"}, "typed-pw\n");
  EXPECT_EQ(0, run.exit_status);
  EXPECT_EQ("Password for alice on filedrop: ", run.err);
  EXPECT_THAT(run.screen, Not(HasSubstr("typed-pw")));
  EXPECT_EQ("NULL|alice|typed-pw", Row("filedrop"));
}

// -- verify ---------------------------------------------------------------------------------------

class VerifyTest : public CliTest {};

TEST_F(VerifyTest, PrintsEachOutcomeAsAWordAndANumberAndExitsZero) {
  peer_.StartServer();
  const std::vector<std::string> verify = {"verify", "Uploaded", "--type", "pyload", "--username"};
  auto as = [&](const std::string& user) {
    std::vector<std::string> arguments = verify;
    arguments.push_back(user);
    arguments.push_back("--password-stdin");
    return arguments;
  };
  EXPECT_THAT(Run(as("me"), "secret\n"), Exited(0, "premium (2)\n"));
  EXPECT_THAT(Run(as("free"), "pw\n"), Exited(0, "valid (1)\n"));
  EXPECT_THAT(Run(as("me"), "wrong\n"), Exited(0, "rejected (0)\n"));
}

TEST_F(VerifyTest, UnknownNativeHostReportsTheServiceCode) {
  EXPECT_THAT(
      Run({"verify", "nosuch", "--type", "vexo", "--username", "a", "--password-stdin"}, "b\n"),
      Failed(1, "error 2002: no host plug-in named \"nosuch\"\n"));
}

// -- remove-account -------------------------------------------------------------------------------

class RemoveAccountTest : public CliTest {};

TEST_F(RemoveAccountTest, RemovesThePyloadAccount) {
  peer_.StartServer();
  EXPECT_THAT(Run({"remove-account", "Zippyshare", "--type", "pyload"}), Failed(0, ""));
  EXPECT_FALSE(peer_.ReadStore()["accounts"].isMember("Zippyshare"));
}

TEST_F(RemoveAccountTest, RemovesTheNativeAccountAndKeepsTheEnabledState) {
  ASSERT_EQ(0, Run({"set", "filedrop", "--type", "vexo", "--username", "alice", "--password-stdin",
                    "--disable"},
                   "pw\n")
                   .exit_status);
  EXPECT_THAT(Run({"remove-account", "filedrop", "--type", "vexo"}), Failed(0, ""));
  EXPECT_EQ("0|NULL|NULL", Row("filedrop"));
}

// -- install, update, delete ----------------------------------------------------------------------

class NativeOnlyTest : public CliTest {};

TEST_F(NativeOnlyTest, DeleteRemovesAUserPlugin) {
  EXPECT_THAT(Run({"delete", "openmirror"}), Failed(0, ""));
  EXPECT_FALSE(vexohost::test::Exists(Path("user/openmirror")));
  EXPECT_THAT(Run({"list"}).out, Not(HasSubstr("openmirror")));
}

TEST_F(NativeOnlyTest, DeleteOfAShippedPluginReports2004) {
  EXPECT_THAT(Run({"delete", "filedrop"}),
              Failed(1,
                     "error 2004: host plug-in \"filedrop\" is shipped with the download manager "
                     "and cannot be removed\n"));
}

TEST_F(NativeOnlyTest, InstallWithoutASourceReportsTheBare501) {
  EXPECT_THAT(Run({"install", ""}), Failed(1, "error 501: install needs a source\n"));
}

// The service escapes the name once; the tool passes its escapes through as they are.
TEST_F(NativeOnlyTest, UpdateOfAnInvalidNameReports2001WithTheNameEscapedOnce) {
  const std::string why = "\": only letters, digits, '.', '_' and '-' are allowed\n";
  EXPECT_THAT(Run({"update", "bad\x1bname"}),
              Failed(1, "error 2001: invalid host name \"bad\\x1bname" + why));
  EXPECT_THAT(Run({"update", "bad\\name"}),
              Failed(1, "error 2001: invalid host name \"bad\\x5cname" + why));
}

TEST_F(NativeOnlyTest, TakeNoType) {
  for (const char* command : {"install", "update", "delete"}) {
    EXPECT_THAT(Run({command, "openmirror", "--type", "vexo"}),
                Failed(2, "vexodl-filehosting: " + std::string(command) +
                              " takes no --type: it works on native hosts only\n"
                              "Try 'vexodl-filehosting --help'.\n"));
  }
  EXPECT_TRUE(vexohost::test::Exists(Path("user/openmirror")));
}

// -- the command line -----------------------------------------------------------------------------

class UsageTest : public CliTest {};

TEST_F(UsageTest, EveryCommandHasItsOwnHelp) {
  for (const char* command :
       {"list", "get", "set", "verify", "remove-account", "install", "update", "delete"}) {
    const ProgramResult result = Run({command, "--help"});
    EXPECT_EQ(0, result.exit_status) << command;
    EXPECT_THAT(result.out, StartsWith("usage: vexodl-filehosting " + std::string(command)));
  }
  const ProgramResult general = Run({"--help"});
  EXPECT_EQ(0, general.exit_status);
  EXPECT_THAT(general.out, StartsWith("usage: vexodl-filehosting [--verbose] COMMAND"));
}

TEST_F(UsageTest, VersionPrintsTheProjectVersion) {
  EXPECT_THAT(Run({"--version"}), Exited(0, "vexodl-filehosting 1.0.0\n"));
}

TEST_F(UsageTest, RefusedCommandLinesExitWithTwo) {
  EXPECT_THAT(Run({}), Failed(2, Refusal("no command given")));
  EXPECT_THAT(Run({"frobnicate"}), Failed(2, Refusal("unknown command frobnicate")));
  EXPECT_THAT(Run({"list", "--colour"}), Failed(2, Refusal("unknown option --colour")));
  EXPECT_THAT(Run({"get", "filedrop"}),
              Failed(2, Refusal("get needs --type vexo or --type pyload")));
  EXPECT_THAT(Run({"get", "--type", "vexo"}), Failed(2, Refusal("get needs NAME")));
  EXPECT_THAT(Run({"get", "filedrop", "--type"}), Failed(2, Refusal("--type needs a value")));
  EXPECT_THAT(Run({"list", "--type", "vexo"}), Failed(2, Refusal("list takes no --type")));
  EXPECT_THAT(Run({"set", "filedrop", "--type", "vexo"}),
              Failed(2, Refusal("set needs --username, --enable or --disable")));
  EXPECT_THAT(Run({"set", "filedrop", "--type", "vexo", "--enable", "--disable"}),
              Failed(2, Refusal("--enable and --disable exclude each other")));
  EXPECT_THAT(Run({"set", "filedrop", "--type", "vexo", "--password-stdin"}),
              Failed(2, Refusal("--password-stdin goes with --username")));
}

// -- secrets --------------------------------------------------------------------------------------

class SecrecyTest : public CliTest {};

TEST_F(SecrecyTest, APasswordOnTheCommandLineIsRefusedWithoutRepeatingIt) {
  const std::string refusal = Refusal(
      "passwords are not taken from the command line, where other users can read them: use "
      "--password-stdin, or run on a terminal to be asked");
  EXPECT_THAT(
      Run({"set", "filedrop", "--type", "vexo", "--username", "alice", "--password", "hunter2"}),
      Failed(2, refusal));
  EXPECT_THAT(
      Run({"set", "filedrop", "--type", "vexo", "--username", "alice", "--password=hunter2"}),
      Failed(2, refusal));
  EXPECT_THAT(Run({"verify", "filedrop", "--type", "vexo", "--username", "alice", "hunter2"}),
              Failed(2, Refusal("unexpected argument 7 (verify takes at most one operand)")));
  EXPECT_EQ(kNothingStored, Row("filedrop"));
}

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
chain = [os.getppid()]
while parent(chain[-1]) != int(os.environ['PROBE_TEST_PID']):
    chain.append(parent(chain[-1]))
shell, tool = chain[-1], chain[-2]
open(os.environ['PROBE_FILE'], 'w').write('tool %s, shell %s\n' % (probe(tool), probe(shell)))
print('{"result": 1}')
)";

// A core, or a reader of /proc/PID/mem, would find the password while the tool holds one.
TEST_F(SecrecyTest, TheToolIsNotDumpableWhileAVerifierHasThePassword) {
  WritePlugin("user", "probed", R"({"format": 1, "name": "probed", "description": "",
      "version": "1", "authentication": "yes", "verifier": "verify"})");
  vexohost::test::WriteFile(Path("user/probed/verify"), kProbingVerifier);
  ::chmod(Path("user/probed/verify").c_str(), 0755);
  peer_.env().Set("PROBE_TEST_PID", std::to_string(::getpid()));
  peer_.env().Set("PROBE_FILE", Path("probe.txt"));
  // The shell waits for the tool rather than becoming it. As root, CAP_SYS_PTRACE is kept out of
  // the whole tree, so that the probe holds every capability that the tool holds.
  std::vector<std::string> argv = {"/bin/sh", "-c", "\"$@\"; exit $?", "sh", kProgram};
  if (::geteuid() == 0) {
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--bounding-set=-sys_ptrace"});
  }
  argv.insert(argv.end(),
              {"verify", "probed", "--type", "vexo", "--username", "me", "--password-stdin"});
  EXPECT_THAT(fake::RunProgram(argv, fake::CurrentEnvironment(), "pw\n"), Exited(0, "valid (1)\n"));
  const std::string probe = vexohost::test::ReadFile(Path("probe.txt"));
  if (probe == "tool denied, shell denied\n") {
    GTEST_SKIP() << "no process may open an ancestor's memory here (Yama's ptrace_scope?)";
  }
  EXPECT_EQ("tool denied, shell open\n", probe);
}

// The pyLoad client's command-line program is replaced by a wrapper that records its arguments and
// environment before it becomes the peer.
TEST_F(SecrecyTest, APasswordNeverReachesArgumentsEnvironmentOutputOrLog) {
  const std::string record = peer_ / "children.txt";
  const std::string wrapper = peer_ / "recording-peer";
  std::ofstream(wrapper) << "#!/usr/bin/python3\n"
                            "import os, sys\n"
                            "with open("
                         << ::testing::PrintToString(record)
                         << ", 'a') as f:\n"
                            "    f.write(repr(sys.argv) + repr(dict(os.environ)) + '\\n')\n"
                            "os.execv("
                         << ::testing::PrintToString(std::string(VEXODL_PYLOAD_PEER)) << ", ["
                         << ::testing::PrintToString(std::string(VEXODL_PYLOAD_PEER)) << "])\n";
  std::filesystem::permissions(wrapper, std::filesystem::perms::owner_all);
  peer_.env().Set("VEXODL_PYLOAD_CLI", wrapper);
  const std::string password = "Zx9-never-shown";
  std::vector<ProgramResult> runs;
  // Over the command line (no server): storing and verifying; then a refusal, which is logged.
  runs.push_back(Run(
      {"--verbose", "set", "Uploaded", "--type", "pyload", "--username", "me", "--password-stdin"},
      password + "\n"));
  runs.push_back(Run({"--verbose", "verify", "Uploaded", "--type", "pyload", "--username", "me",
                      "--password-stdin"},
                     password + "\n"));
  peer_.SetFault("verify_account: error");
  runs.push_back(Run({"--verbose", "verify", "Uploaded", "--type", "pyload", "--username", "me",
                      "--password-stdin"},
                     password + "\n"));
  runs.push_back(Run(
      {"--verbose", "set", "filedrop", "--type", "vexo", "--username", "me", "--password-stdin"},
      password + "\n"));
  runs.push_back(Run({"--verbose", "list", "--json"}));

  EXPECT_EQ(password, peer_.ReadStore()["accounts"]["Uploaded"]["password"].asString());
  EXPECT_EQ("NULL|me|" + password, Row("filedrop"));
  EXPECT_THAT(runs[1], Exited(0, "rejected (0)\n"));
  EXPECT_THAT(runs[2].err, MatchesRegex("vexodl-filehosting: host/pyload.cpp:[0-9]+ Failed to "
                                        "verify account Uploaded\n"
                                        "error 1604: the account could not be verified\n"));
  for (const auto& run : runs) {
    EXPECT_THAT(run.out, Not(HasSubstr(password)));
    EXPECT_THAT(run.err, Not(HasSubstr(password)));
  }
  const std::string children = vexohost::test::ReadFile(record);
  EXPECT_THAT(children, HasSubstr("recording-peer"));  // the wrapper did run
  EXPECT_THAT(children, Not(HasSubstr(password)));
}

}  // namespace
}  // namespace vexodl::cli
