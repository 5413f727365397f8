// vexodl-filehosting end to end: the program itself, started without a shell, over our own native
// host-plugin service (a state directory with the sample plug-ins) and our pyLoad client running
// the peer (pyload/peer/pyload-peer) as pyLoad's command-line program, on a store in a temporary
// directory. One case per command, the manual page against --help, the bash completion, then the
// tool's own refusals, error lines and exit statuses, and what it does with passwords.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "run_program.h"
#include "scoped_env.h"
#include "state_dir_fixture.h"
#include "temp_dir.h"

namespace vexodl::cli {
namespace {

using fake::ProgramResult;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;
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

  Json::Value Accounts() const { return ParseJson(ReadFile(peer_ / "accounts.json"))["accounts"]; }

  fake::TempDir peer_;
  fake::ScopedEnv env_{{"VEXODL_PYLOAD_SOCKET", peer_ / "pyload.sock"},
                       {"VEXODL_PYLOAD_CLI", kPeer},
                       {"VEXODL_PYLOAD_STORE", peer_ / "accounts.json"},
                       {"VEXODL_PYLOAD_PEER_FAULT", peer_ / "fault"}};
};

// -- one case per command ------------------------------------------------------------------------

// Control characters from plug-ins and from pyLoad are escaped; backslashes are not. A back-end
// that fails is left out, and the library's log line says so on standard error unless --quiet.
TEST_F(CliTest, ListShowsPyloadHostsThenNativeOnesAsATableOfEscapedTexts) {
  WriteFile(peer_ / "fault", "error\n");
  const std::string without_pyload =
      "NAME        TYPE  ENABLED  ACCOUNT  VERSION  NEW VERSION  FLAGS           DESCRIPTION\n"
      "filedrop    vexo  yes      -        2.3.1    -            account-needed  FileDrop one-click"
      " hosting; premium accounts lift the speed limit\n"
      "openmirror  vexo  yes      -        0.9.2    -            removable       OpenMirror public "
      "mirrors; no account needed\n";
  const ProgramResult failed = Run({"list"});
  EXPECT_EQ(0, failed.exit_status);
  EXPECT_EQ(without_pyload, failed.out);
  EXPECT_THAT(failed.err, MatchesRegex("vexodl-filehosting: host/pyload.cpp:[0-9]+ Failed to get "
                                       "info of accounts\n"
                                       "vexodl-filehosting: handler.cpp:[0-9]+ Failed to list "
                                       "hosts of pyload. Error: 1614\n"));
  EXPECT_THAT(Run({"--quiet", "list"}), Ended(0, without_pyload, ""));

  WriteFile(peer_ / "fault", "");
  WritePlugin("shipped", "clear",
              R"({"format": 1, "name": "clear", "version": "1.0", "authentication": "no",
                  "description": "wipes\u001b[2J\nthe\tscreen\u009b\u007f C:\\dir"})");
  EXPECT_THAT(
      Run({"list"}),
      Ended(0,
            "NAME             TYPE    ENABLED  ACCOUNT  VERSION  NEW VERSION  FLAGS"
            "                                          DESCRIPTION\n"
            "Red\\x1b[31mHost  pyload  no       -        1\\x07    -            account-needed"
            "                                 pyLoad Plugin\n"
            "Uploaded         pyload  no       -        0.7      -            account-needed"
            "                                 pyLoad Plugin\n"
            "Zippyshare       pyload  no       old      0.2      -            "
            "account-needed,invalid,always-on,experimental  pyLoad Plugin\n"
            "clear            vexo    yes      -        1.0      -            -"
            "                                              "
            "wipes\\x1b[2J\\nthe\\tscreen\\u009b\\x7f C:\\dir\n"
            "filedrop         vexo    yes      -        2.3.1    -            account-needed"
            "                                 FileDrop one-click hosting; premium accounts lift the"
            " speed limit\n"
            "openmirror       vexo    yes      -        0.9.2    -            removable"
            "                                      OpenMirror public mirrors; no account needed\n",
            ""));
}

TEST_F(CliTest, GetPrintsTheHostObject) {
  const ProgramResult result = Run({"get", "openmirror", "--type", "vexo"});
  ASSERT_EQ(0, result.exit_status) << result.err;
  EXPECT_EQ(ParseJson(R"({"name": "openmirror", "type": "vexo", "displayname": "openmirror",
     "enabled": true, "description": "OpenMirror public mirrors; no account needed",
     "version": "0.9.2", "removable": true, "auth_needed": false})"),
            ParseJson(result.out));
}

TEST_F(CliTest, SetStoresTheFirstInputLineAsPasswordAndRemoveAccountRemovesIt) {
  EXPECT_THAT(Run({"set", "filedrop", "--type", "vexo", "--username", "alice", "--password-stdin",
                   "--disable"},
                  "s3 cret\r\nsecond line\n"),
              Ended(0, "", ""));
  EXPECT_EQ("0|alice|s3 cret", Row("filedrop"));
  EXPECT_THAT(Run({"remove-account", "filedrop", "--type", "vexo"}), Ended(0, "", ""));
  EXPECT_EQ("0|NULL|NULL", Row("filedrop"));
}

TEST_F(CliTest, VerifyPrintsEachOutcomeAsAWordAndANumber) {
  for (const auto& [user, password, out] :
       {std::tuple("me", "secret\n", "premium (2)\n"), std::tuple("free", "pw\n", "valid (1)\n"),
        std::tuple("me", "wrong\n", "rejected (0)\n")}) {
    EXPECT_THAT(
        Run({"verify", "Uploaded", "--type", "pyload", "--username", user, "--password-stdin"},
            password),
        Ended(0, out, ""));
  }
}

TEST_F(CliTest, DeleteRemovesAUserPlugin) {
  EXPECT_THAT(Run({"delete", "openmirror"}), Ended(0, "", ""));
  EXPECT_FALSE(vexohost::test::Exists(Path("user/openmirror")));
}

// A delete whose record in staging/ cannot be synced (strace fails the fsync of user/, then of
// staging/) puts the plug-in back with its account: the folder used to leave with staging/ and
// the account stayed behind for good.
TEST_F(CliTest, ADeleteWhoseRecordCannotBeSyncedKeepsThePluginAndItsAccount) {
  try {
    fake::RunProgram({"strace", "-V"}, fake::CurrentEnvironment(), "");
  } catch (const std::exception&) {
    GTEST_SKIP() << "strace is missing";
  }
  ASSERT_THAT(Run({"set", "openmirror", "--type", "vexo", "--username", "old", "--password-stdin"},
                  "pw\n"),
              Ended(0, "", ""));
  for (const char* folder : {"user", "staging"}) {
    const std::string nth = std::string(folder) == "user" ? "1" : "2";
    const ProgramResult result = fake::RunProgram(
        {"strace", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e",
         "inject=fsync:error=EIO:when=" + nth, kProgram, "delete", "openmirror"},
        fake::CurrentEnvironment(), "");
    EXPECT_EQ(1, result.exit_status) << folder;
    EXPECT_THAT(result.err, HasSubstr("error 2101: fsync " + Path(folder) +
                                      ": Input/output error\n"));
    EXPECT_TRUE(vexohost::test::Exists(Path("user/openmirror/manifest.json"))) << folder;
    EXPECT_FALSE(vexohost::test::Exists(Path("staging/deleted-openmirror"))) << folder;
    const ProgramResult get = Run({"get", "openmirror", "--type", "vexo"});
    EXPECT_EQ("old", ParseJson(get.out)["username"].asString()) << folder;
  }
}

// -- help, manual page, completion ---------------------------------------------------------------

// The entries of --help's lists of commands and options: "  ENTRY  SUMMARY", or the summary alone
// on the next line when the entry leaves it no room.
std::map<std::string, std::string> HelpEntries(const std::string& help) {
  static const std::regex entry(R"(  (\S.*?)(?: {2,}(\S.*))?)"), summary(R"( {3,}(\S.*))");
  std::map<std::string, std::string> entries;
  std::istringstream lines(help);
  std::string line, last;
  for (std::smatch match; std::getline(lines, line);) {
    if (std::regex_match(line, match, summary)) {
      entries[last] = match[1];
    } else if (std::regex_match(line, match, entry)) {
      entries[last = match[1]] = match[2];
    }
  }
  return entries;
}

// The entries of the page's COMMANDS and OPTIONS: ".TP", the entry, its summary; fonts and the
// minus escape taken out.
std::map<std::string, std::string> PageEntries(std::string page) {
  page = std::regex_replace(std::regex_replace(page, std::regex(R"(\\f[BIR])"), ""),
                            std::regex(R"(\\-)"), "-");
  std::map<std::string, std::string> entries;
  std::istringstream lines(page);
  std::string line, section, entry;
  while (std::getline(lines, line)) {
    if (line.rfind(".SH ", 0) == 0) section = line.substr(4);
    if (line == ".TP" && (section == "COMMANDS" || section == "OPTIONS") &&
        std::getline(lines, entry)) {
      std::getline(lines, entries[entry]);
    }
  }
  return entries;
}

TEST_F(CliTest, TheManualPageHasTheCommandsAndOptionsOfHelpWithTheirSummaries) {
  const ProgramResult help = Run({"--help"});
  ASSERT_EQ(0, help.exit_status);
  const std::map<std::string, std::string> entries = HelpEntries(help.out);
  EXPECT_EQ(18U, entries.size());  // 8 commands, 10 options
  EXPECT_EQ("remove the stored account", entries.at("remove-account NAME --type T"));
  EXPECT_EQ(entries, PageEntries(ReadFile(VEXODL_CLI_PAGE)));
}

// The completion, run in bash with the tool in PATH from the peer's directory: what completes the
// last word of each row. Hostile pyLoad names are offered quoted, or left out where no shell word
// could carry them, and none of them runs.
TEST_F(CliTest, BashCompletesCommandsOptionsTypesAndHostNames) {
  const std::string program = kProgram;
  const fake::ScopedEnv path{
      {"PATH", program.substr(0, program.rfind('/')) + ":" + ::getenv("PATH")}};
  Json::Value store = ParseJson(kStore);
  for (const char* name : {"$(touch${IFS}ran)", "`touch${IFS}ran`", "a;touch${IFS}ran", "it's",
                           "Two words", "New\nline", "Del\x7f", "say \"hi\""}) {
    store["plugins"][name]["version"] = "1";
  }
  WriteFile(peer_ / "accounts.json", store.toStyledString());
  const std::string& dir = peer_.path();  // where "$(touch${IFS}ran)" would make "ran"
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{""}, "list get set verify remove-account install update delete"},
      {{"verify", "--"}, "--type --username --password-stdin --quiet --verbose --help --version"},
      {{"set", "x", "--type", ""}, "vexo pyload"},
      {{"--quiet", "get", "--type", "pyload", ""},  // no escaped names, no control characters
       R"(\$\(touch\$\{IFS\}ran\) Two\ words Uploaded Zippyshare \`touch\$\{IFS\}ran\` )"
       R"(a\;touch\$\{IFS\}ran it\'s)"},
      {{"get", "--type", "pyload", "Two\\ "}, "Two\\ words"},
      {{"set", "--username", "Uploaded", "--enable", "o"}, "openmirror"},
      {{"delete", ""}, "filedrop openmirror"},
      {{"get", "filedrop", ""}, ""},
  };
  for (const auto& [words, expected] : rows) {
    std::vector<std::string> argv = {
        "/bin/bash", "-c",
        "cd \"$0\" && source \"$1\"; shift; COMP_WORDS=(vexodl-filehosting \"$@\"); "
        "COMP_CWORD=$#; _vexodl_filehosting; echo \"${COMPREPLY[*]}\"",
        dir, VEXODL_CLI_COMPLETION};
    argv.insert(argv.end(), words.begin(), words.end());
    EXPECT_THAT(fake::RunProgram(argv, fake::CurrentEnvironment(), ""),
                Ended(0, expected + "\n", ""))
        << ::testing::PrintToString(words);
  }
  EXPECT_FALSE(vexohost::test::Exists(dir + "/ran"));
}

// -- refusals and errors -------------------------------------------------------------------------

// A command line (arguments between single spaces, a trailing space an empty one), the exit status
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

// Exit 1 with "error CODE: MESSAGE" last (the back-end's message, escaped only where the back-end
// did not, or the code's meaning), 2 for a refused command line; nothing on standard output or
// stored.
TEST_F(CliTest, FailuresEndInTheirExitStatusAndOneLineOnStandardError) {
  const std::string set = "set filedrop --type vexo --username alice ";
  const std::string from_command_line = Refused(
      "passwords are not taken from the command line, where other users can read them: use "
      "--password-stdin, or run on a terminal to be asked");
  const Failure rows[] = {
      // The native service's own line says why first, as the tool copies the log by default.
      {"get nosuch --type vexo", 1,
       "vexodl-filehosting: vexohost: get nosuch: no host plug-in named \"nosuch\" (error 2002)\n"
       "error 2002: no host plug-in named \"nosuch\"\n"},
      {"get filedrop --type Vexo", 1, "error 1612: the type is neither \"vexo\" nor \"pyload\"\n"},
      {"install ", 1, "error 501: install needs a source\n"},
      {"update bad\x1bname", 1,
       "vexodl-filehosting: vexohost: update bad\\x1bname: invalid host name \"bad\\x1bname\": "
       "only "
       "letters, digits, '.', '_' and '-' are allowed (error 2001)\n"
       "error 2001: invalid host name \"bad\\x1bname\": only letters, digits, '.', '_' and '-' "
       "are allowed\n"},
      {set + "--password-stdin", 2, "vexodl-filehosting: the password is longer than 4096 bytes\n",
       std::string(4097, 'p') + "\n"},
      {set + "--enable", 2,
       "vexodl-filehosting: a password is needed: give --password-stdin and the password on "
       "standard input, or run on a terminal to be asked\n"},
      {set + "--password hunter2", 2, from_command_line},
      {set + "--password=hunter2", 2, from_command_line},
      {set + "hunter2", 2, Refused("unexpected argument 7 (set takes at most one operand)")},
      {"", 2, Refused("no command given")},
      {"frobnicate", 2, Refused("unknown command frobnicate")},
      {"list --colour", 2, Refused("unknown option --colour")},
      {"get filedrop", 2, Refused("get needs --type vexo or --type pyload")},
      {"get filedrop --type", 2, Refused("--type needs a value")},
      {"delete openmirror --type vexo", 2,
       Refused("delete takes no --type: it works on native hosts only")},
      {"set filedrop --type vexo --enable --disable", 2,
       Refused("--enable and --disable exclude each other")},
      {"set filedrop --type vexo --password-stdin", 2,
       Refused("--password-stdin goes with --username")},
      {"--quiet list --verbose", 2, Refused("--quiet and --verbose exclude each other")},
  };
  for (const Failure& row : rows) {
    std::vector<std::string> arguments;
    for (std::size_t start = 0; start < row.command_line.size();) {
      const std::size_t end = std::min(row.command_line.find(' ', start), row.command_line.size());
      arguments.push_back(row.command_line.substr(start, end - start));
      start = end + 1;
      if (end + 1 == row.command_line.size()) arguments.emplace_back();
    }
    EXPECT_THAT(Run(arguments, row.input), Ended(row.status, "", row.err)) << row.command_line;
  }
  EXPECT_EQ("<no database>", Row("filedrop"));
  EXPECT_TRUE(vexohost::test::Exists(Path("user/openmirror")));
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
chain = [os.getppid()]
while parent(chain[-1]) != int(os.environ['PROBE_TEST_PID']):
    chain.append(parent(chain[-1]))
open(os.environ['PROBE_FILE'], 'w').write('tool %s, shell %s\n' % (probe(chain[-2]), probe(chain[-1])))
print('{"result": 1}')
)";

// A core, or a reader of /proc/PID/mem, would find the password while the tool holds one.
TEST_F(CliTest, TheToolIsNotDumpableWhileAVerifierHasThePassword) {
  WritePlugin("user", "probed", R"({"format": 1, "name": "probed", "description": "",
      "version": "1", "authentication": "yes", "verifier": "verify"})");
  WriteFile(Path("user/probed/verify"), kProbingVerifier);
  ::chmod(Path("user/probed/verify").c_str(), 0755);
  const fake::ScopedEnv env{{"PROBE_TEST_PID", std::to_string(::getpid())},
                            {"PROBE_FILE", Path("probe.txt")}};
  // The shell waits for the tool rather than becoming it. As root, CAP_SYS_PTRACE is kept out of
  // the whole tree, so that the probe holds every capability that the tool holds.
  std::vector<std::string> argv = {
      "/bin/sh", "-c",   "\"$@\"; exit $?", "sh", kProgram,          "verify", "probed",
      "--type",  "vexo", "--username",      "me", "--password-stdin"};
  if (::geteuid() == 0)
    argv.insert(argv.begin(), {"/usr/bin/setpriv", "--bounding-set=-sys_ptrace"});
  EXPECT_THAT(fake::RunProgram(argv, fake::CurrentEnvironment(), "pw\n"),
              Ended(0, "valid (1)\n", ""));
  const std::string probe = ReadFile(Path("probe.txt"));
  if (probe == "tool denied, shell denied\n") {
    GTEST_SKIP() << "no process may open an ancestor's memory here (Yama's ptrace_scope?)";
  }
  EXPECT_EQ("tool denied, shell open\n", probe);
}

// Stored and verified over pyLoad's command line with the library's log on standard error, a
// password shows nowhere, not even in a failure's lines.
TEST_F(CliTest, APasswordNeverReachesOutputErrorLinesOrTheLog) {
  const std::string password = "Zx9-never-shown";
  std::vector<ProgramResult> runs;
  for (const char* command : {"set", "verify"}) {
    runs.push_back(Run({"--verbose", command, "Uploaded", "--type", "pyload", "--username", "me",
                        "--password-stdin"},
                       password + "\n"));
    WriteFile(peer_ / "fault", "verify_account: error\n");
  }
  EXPECT_EQ(password, Accounts()["Uploaded"]["password"].asString());
  EXPECT_EQ(1, runs[1].exit_status);
  EXPECT_THAT(runs[1].err, MatchesRegex("vexodl-filehosting: host/pyload.cpp:[0-9]+ Failed to "
                                        "verify account Uploaded\n"
                                        "error 1604: the account could not be verified\n"));
  for (const ProgramResult& run : runs) EXPECT_THAT(run.out + run.err, Not(HasSubstr(password)));
}

// A verifier whose interpreter is missing (python3 on a minimal system): standard error says why
// the account could not be verified, in the service's line before the library's.
TEST_F(CliTest, VerifyShowsWhyTheNativeServiceCouldNotDecide) {
  WritePlugin("user", "stale", R"({"format": 1, "name": "stale", "description": "",
      "version": "1", "authentication": "yes", "verifier": "verify"})");
  WriteFile(Path("user/stale/verify"), "#!/nonexistent/python3\n");
  ::chmod(Path("user/stale/verify").c_str(), 0755);
  const ProgramResult result = Run(
      {"--verbose", "verify", "stale", "--type", "vexo", "--username", "me", "--password-stdin"},
      "pw\n");
  EXPECT_EQ(1, result.exit_status);
  EXPECT_EQ("", result.out);
  // Under qemu-arm a failed exec shows as exit status 127 (vexohost/verify_test.cpp).
  EXPECT_THAT(result.err,
              MatchesRegex("vexodl-filehosting: vexohost: verify stale: the verifier (could not be "
                           "started: No such file or directory|exited with status 127) "
                           "\\(error 1604\\)\n"
                           "vexodl-filehosting: host/vexo\\.cpp:[0-9]+ Failed to verify account "
                           "stale\n"
                           "error 1604: the account could not be verified\n"));
}

}  // namespace
}  // namespace vexodl::cli
