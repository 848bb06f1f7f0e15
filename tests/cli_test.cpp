// The administrator's tool, run as the program it is on real application
// trees, beside real hosts that hold real locks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/inotify.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string_view>
#include <thread>

#include "platform/platform.h"
#include "support/apptree.h"

using namespace testing_support;

namespace {

const std::string kTool = USERPROF_PATH;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Runs the tool on the tree's application (its module is the host copy).
// A sanitized build runs the tool with its runtime first in memory and
// much more of it: no preloaded helper can come before it, and its
// memory says nothing of the tool's.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

RunResult Tool(const AppTree& app, const std::vector<std::string>& args) {
  std::vector<std::string> argv{kTool, "--module", app.host()};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv);
}

RunResult ToolAlone(const std::vector<std::string>& args) {
  std::vector<std::string> argv{kTool};
  argv.insert(argv.end(), args.begin(), args.end());
  return Run(argv);
}

std::string LastLine(const std::string& out) {
  std::string text = out;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text.substr(
      text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
}

// A strict checker of JSON syntax: enough to catch broken escaping or
// structure, which a script's parser would reject.
class JsonSyntax {
 public:
  static bool Valid(std::string_view text) {
    JsonSyntax p(text);
    return p.Value() && (p.Skip(), p.i_ == text.size());
  }

 private:
  explicit JsonSyntax(std::string_view s) : s_(s) {}
  void Skip() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n')) ++i_;
  }
  bool Eat(char c) {
    Skip();
    if (i_ < s_.size() && s_[i_] == c) return ++i_, true;
    return false;
  }
  bool Word(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }
  bool String() {
    if (!Eat('"')) return false;
    while (i_ < s_.size() && s_[i_] != '"') {
      const unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c < 0x20) return false;
      if (c == '\\') {
        ++i_;
        if (i_ >= s_.size()) return false;
        if (s_[i_] == 'u') {
          for (int k = 0; k < 4; ++k) {
            if (++i_ >= s_.size() ||
                !isxdigit(static_cast<unsigned char>(s_[i_])))
              return false;
          }
        } else if (std::string_view("\"\\/bfnrt").find(s_[i_]) ==
                   std::string_view::npos) {
          return false;
        }
      }
      ++i_;
    }
    return Eat('"');
  }
  bool Value() {
    Skip();
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '"') return String();
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++i_;
      if (Eat(close)) return true;
      do {
        if (c == '{' && !(String() && Eat(':'))) return false;
        if (!Value()) return false;
      } while (Eat(','));
      return Eat(close);
    }
    if (c == '-' || isdigit(static_cast<unsigned char>(c))) {
      ++i_;
      while (i_ < s_.size() && isdigit(static_cast<unsigned char>(s_[i_])))
        ++i_;
      return true;
    }
    return Word("true") || Word("false") || Word("null");
  }
  std::string_view s_;
  std::size_t i_ = 0;
};

// A registry without write permission refuses the update: the whole
// update up front for a process that cannot open it for writing, the
// write itself for one that can (the superuser).
const char* const kReadOnlyWarning[] = {
    "warning: check 731 (registry not writable or busy)",
    "warning: check 730 (registry write refused or failed)"};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("USERPROF_MODULE"); }
  AppTree app;
};

}  // namespace

// --- The command line --------------------------------------------------

using CommandLine = CliTest;

TEST_F(CommandLine, MissingModuleIsAUsageError) {
  RunResult r = ToolAlone({"list"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "--module")) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(CommandLine, ModuleFromTheEnvironmentIsUsed) {
  setenv("USERPROF_MODULE", app.host().c_str(), 1);
  RunResult r = ToolAlone({"verify"});
  unsetenv("USERPROF_MODULE");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(IsFile(app.registry()));
}

TEST_F(CommandLine, MalformedInvocationsAreUsageErrors) {
  const std::vector<std::vector<std::string>> wrong = {
      {"frobnicate"},
      {"--frobnicate", "list"},
      {"add"},
      {"add", "a", "b"},
      {"list", "extra"},
      {"signin", "Default"},
      {"signin", "Default", "--"},
      {"who", "--", "true"},
      {},
      {"--module"}};
  for (const std::vector<std::string>& args : wrong) {
    RunResult r = Tool(app, args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args) << r.err;
    EXPECT_TRUE(Contains(r.err, "userprof: ")) << r.err;
  }
  EXPECT_FALSE(IsFile(app.registry()));
}

TEST_F(CommandLine, ModulePathIsRefusedBeyondThePathLimitOnly) {
  // The registry beside a module path of n characters has n + 4.
  const auto module_of_length = [&](std::size_t n) {
    const std::string base = app.root() + "/";
    std::string dir = base + std::string(n - base.size() - 5, 'P');
    MakeDirs(dir);
    WriteFile(dir + "/MAIN", "");
    return dir + "/MAIN";
  };
  RunResult fits =
      testing_support::Run({kTool, "--module", module_of_length(123), "list"});
  EXPECT_EQ(fits.status, 0) << fits.err;
  RunResult registry_too_long =
      testing_support::Run({kTool, "--module", module_of_length(124), "list"});
  EXPECT_EQ(registry_too_long.status, 1);
  EXPECT_TRUE(Contains(registry_too_long.err, "warning: check 126"))
      << registry_too_long.err;
  RunResult too_long =
      testing_support::Run({kTool, "--module", module_of_length(128), "list"});
  EXPECT_EQ(too_long.status, 2);
  EXPECT_TRUE(Contains(too_long.err, "127")) << too_long.err;
}

TEST_F(CommandLine, RelativeModulePathIsMadeAbsolute) {
  RunResult r = testing_support::Run(
      {"/bin/sh", "-c",
       "cd \"$1\" && \"$0\" --module ./PROG/../PROG/MAIN verify", kTool,
       app.root() + "/APP"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(IsFile(app.registry()));
}

TEST_F(CommandLine, ModulePathThatNamesNoFileIsAUsageErrorAndCreatesNothing) {
  for (const std::string& typo :
       {app.root() + "/NOPE/PROG/MAIN", app.prog() + "/MIAN"}) {
    RunResult r = testing_support::Run({kTool, "--module", typo, "verify"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(Contains(r.err, typo + " names no file")) << r.err;
  }
  EXPECT_FALSE(IsDir(app.root() + "/NOPE"));
  EXPECT_FALSE(IsFile(app.registry()));
  EXPECT_FALSE(IsDir(app.users()));
}

TEST_F(CommandLine, HelpForEveryCommandHasAnExample) {
  RunResult global = ToolAlone({"--help"});
  EXPECT_EQ(global.status, 0);
  for (const char* command : {"verify", "add", "list", "home", "default",
                              "signin", "who", "remove", "rename", "demo"}) {
    EXPECT_TRUE(Contains(global.out, std::string("  ") + command)) << command;
    RunResult r = ToolAlone({command, "--help"});
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_TRUE(Contains(r.out, "Example:\n  userprof ")) << r.out;
    EXPECT_EQ(ToolAlone({"help", command}).out, r.out);
  }
  EXPECT_EQ(ToolAlone({"help", "frobnicate"}).status, 2);
}

TEST_F(CommandLine, VersionIsTheProjectVersion) {
  RunResult r = ToolAlone({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("userprof ") + USERPROF_EXPECTED_VERSION + "\n");
}

// --- Adding users --------------------------------------------------------

using Add = CliTest;

TEST_F(Add, InvalidNamesAreRefusedWithTheReasonAndTouchNothing) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {std::string(32, 'a'), "too long: 32 bytes, more than 31"},
      {"O'Brien", "contains the punctuation '''"},
      {"Smith, J", "contains the punctuation ','"},
      {"Ann-Lee", "contains the punctuation '-'"},
      {"   ", "has no ASCII letter or digit"},
      {"", "is empty"},
      {" Ann", "begins or ends with a space"},
      {"Ann\tLee", "control character 0x09"},
  };
  for (const auto& [name, reason] : cases) {
    RunResult r = Tool(app, {"add", name});
    EXPECT_EQ(r.status, 7) << name;
    EXPECT_TRUE(Contains(r.err, reason)) << name << ": " << r.err;
    EXPECT_FALSE(Contains(r.err, "warning:")) << r.err;
  }
  EXPECT_FALSE(IsFile(app.registry()));
  EXPECT_FALSE(IsDir(app.users()));
}

TEST_F(Add, ThirtyOneCharacterNameIsAccepted) {
  RunResult r = Tool(app, {"add", std::string(31, 'b')});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, app.Home("bbbbbbbb") + "/\n");
}

TEST_F(Add, PrintsTheNewHomeWithItsLockFile) {
  RunResult r = Tool(app, {"add", "Ann Lee"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, app.Home("AnnLee00") + "/\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(IsFile(app.Home("AnnLee00") + "/IKIVO.SMP"));
  EXPECT_EQ(ReadFile(app.registry()),
            "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Ann Lee,AnnLee00\r\n");
}

TEST_F(Add, RegisteredNameIsRefusedWhateverItsCase) {
  ASSERT_EQ(Tool(app, {"add", "Ann Lee"}).status, 0);
  RunResult r = Tool(app, {"add", "ANN LEE"});
  EXPECT_EQ(r.status, 9);
  EXPECT_TRUE(Contains(r.err, "registered already (entry 1)")) << r.err;
  EXPECT_FALSE(IsDir(app.Home("ANNLEE00")));
  EXPECT_TRUE(Contains(ReadFile(app.registry()), "NO=1\r\n"));
}

TEST_F(Add, FailedRegistryWriteFailsWithTheLibraryWarning) {
  ASSERT_EQ(Tool(app, {"verify"}).status, 0);
  ASSERT_EQ(chmod(app.registry().c_str(), 0444), 0);
  RunResult r = Tool(app, {"add", "Ann Lee"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, kReadOnlyWarning[0]) ||
              Contains(r.err, kReadOnlyWarning[1]))
      << r.err;
  EXPECT_EQ(r.out, "");
}

// --- Listing and lookup ------------------------------------------------------

using Lookup = CliTest;

TEST_F(Lookup, AddedUsersAreListedAndFoundWithTheirHomes) {
  ASSERT_EQ(Tool(app, {"verify"}).status, 0);
  ASSERT_EQ(Tool(app, {"add", "Ann Lee"}).status, 0);
  RunResult home = Tool(app, {"home", "ann lee"});
  EXPECT_EQ(home.status, 0);
  EXPECT_EQ(home.out, app.Home("AnnLee00") + "/\n");
  RunResult list = Tool(app, {"list"});
  EXPECT_EQ(list.status, 0);
  EXPECT_TRUE(Contains(
      list.out, "1  Default  " + app.Home("Default0") + "/  yes  yes   no"))
      << list.out;
  EXPECT_TRUE(Contains(
      list.out, "2  Ann Lee  " + app.Home("AnnLee00") + "/  yes  yes   no"))
      << list.out;
  EXPECT_TRUE(Contains(list.out, "default user: Default")) << list.out;
}

TEST_F(Lookup, ListShowsMissingHomesAndEntriesVerifyWouldDrop) {
  MakeDirs(app.prog());
  WriteFile(app.registry(),
            "[NUSER]\r\nNO=3\r\n[LUSER]\r\n1=Ann,Ann00000\r\n2=\r\n3=b#d,"
            "XXXXXXXX\r\n");
  RunResult r = Tool(app, {"list"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(
      Contains(r.out, "1  Ann   " + app.Home("Ann00000") + "/  no   no    no"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "2  (entry \"\": empty; verify drops it)"))
      << r.out;
  EXPECT_TRUE(Contains(r.out, "3  (entry \"b#d,XXXXXXXX\": invalid user name"))
      << r.out;
}

// A registry that is there but cannot be read is not an empty one: no
// command answers from it, and verify does not "repair" it.
TEST_F(Lookup, UnreadableRegistryIsSaidSoByEveryCommand) {
  ASSERT_EQ(::mkdir(app.registry().c_str(), 0755), 0);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"list"},
                                             {"who"},
                                             {"verify"},
                                             {"home", "Default"},
                                             {"signin", "Default", "--", "true"},
                                             {"--json", "list"}}) {
    RunResult r = Tool(app, args);
    EXPECT_EQ(r.status, 5) << args.front() << r.err;
    EXPECT_TRUE(Contains(r.err, "cannot read " + app.registry())) << r.err;
    EXPECT_TRUE(r.out.empty() || Contains(r.out, "\"code\":\"unreadable-registry\""))
        << r.out;
  }
  EXPECT_FALSE(std::filesystem::exists(app.Home("Default0")));
}

TEST_F(Lookup, HomeOfUnknownUserIsNotFoundWithoutLibraryWarnings) {
  ASSERT_EQ(Tool(app, {"verify"}).status, 0);
  RunResult r = Tool(app, {"home", "Bob"});
  EXPECT_EQ(r.status, 6);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "userprof: no user named \"Bob\" is registered\n");
  EXPECT_EQ(Tool(app, {"home", "B.b"}).status, 7);
}

TEST_F(Lookup, DefaultIsShownAndSetToRegisteredUsersOnly) {
  EXPECT_EQ(Tool(app, {"default"}).status, 1);  // no registry yet
  ASSERT_EQ(Tool(app, {"verify"}).status, 0);
  ASSERT_EQ(Tool(app, {"add", "Ann Lee"}).status, 0);
  EXPECT_EQ(Tool(app, {"default"}).out, "Default\n");
  RunResult unknown = Tool(app, {"default", "Bob"});
  EXPECT_EQ(unknown.status, 6);
  EXPECT_TRUE(Contains(unknown.err, "no user named \"Bob\"")) << unknown.err;
  EXPECT_EQ(Tool(app, {"default", "Bo-b"}).status, 7);
  EXPECT_TRUE(Contains(ReadFile(app.registry()), "DefaultUser=Default\r\n"));

  RunResult set = Tool(app, {"default", "Ann Lee"});
  EXPECT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(Tool(app, {"default"}).out, "Ann Lee\n");
  EXPECT_TRUE(Contains(ReadFile(app.registry()), "DefaultUser=Ann Lee\r\n"));
}

// --- Verification ------------------------------------------------------------

using Verify = CliTest;

TEST_F(Verify, FirstRunSaysWhatItCreatedSecondRunNothing) {
  RunResult first = Tool(app, {"verify"});
  EXPECT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, "created the registry " + app.registry() +
                           "\n"
                           "notice: Creating Default User\n"
                           "added \"Default\" as entry 1, home Default0\n"
                           "default user (none) is now \"Default\"\n");
  RunResult second = Tool(app, {"verify"});
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(second.out, "nothing changed\n");
  EXPECT_EQ(second.err, "");
}

TEST_F(Verify, RepairsOfADamagedRegistryAreEachReported) {
  MakeDirs(app.prog());
  for (const char* dir : {"ann00000", "carl0000", "dee00000"})
    MakeDirs(app.Home(dir));
  WriteFile(app.registry(),
            "[NUSER]\r\nNO=6\r\n[LUSER]\r\n1=ann,ann00000\r\n2=\r\n"
            "3=b#d,XXXXXXXX\r\n4=carl,carl0000\r\n5=dee,dee00000\r\n"
            "6=Mary Ann O Neil MaryAnnO\r\n[DEFUSER]\r\nDefaultUser=ghost\r\n");
  RemoveTree(app.Home("dee00000"));
  RunResult r = Tool(app, {"verify"});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string kept_in = "kept in " + app.registry() + ".";
  ASSERT_TRUE(Contains(r.out, kept_in)) << r.out;
  const std::size_t at = r.out.find(kept_in) + kept_in.size() - 1;
  const std::string backup =
      app.registry() + r.out.substr(at, r.out.find(')', at) - at);
  // Every dropped entry is named with its number and text, and the copy
  // that keeps it.
  for (const std::string& change :
       {"dropped entry 2 (empty; kept in " + backup + ")\n",
        "dropped entry 3 \"b#d,XXXXXXXX\" (invalid user name; kept in " +
            backup + ")\n",
        "dropped entry 6 \"Mary Ann O Neil MaryAnnO\" (no comma; kept in " +
            backup + ")\n",
        std::string("\"ann\": lock file IKIVO.SMP created\n"),
        std::string("\"carl\": entry 4 is now entry 2\n"),
        std::string("\"dee\": entry 5 is now entry 3\n"),
        std::string("\"dee\": home directory dee00000 re-created\n"),
        std::string("notice: Creating Default User\nadded \"Default\" as "
                    "entry 4, home Default0\n"),
        std::string("user count 6 is now 3\n"),
        std::string("default user \"ghost\" is now \"Default\"\n")}) {
    EXPECT_TRUE(Contains(r.out, change)) << change << "\nin:\n" << r.out;
  }
  EXPECT_TRUE(Contains(ReadFile(backup), "6=Mary Ann O Neil MaryAnnO\r\n"));
  EXPECT_EQ(Tool(app, {"verify"}).out, "nothing changed\n");
}

// --- Signing in
// ----------------------------------------------------------------

class SignIn : public CliTest {
 protected:
  void SetUp() override {
    CliTest::SetUp();
    ASSERT_EQ(Tool(app, {"verify"}).status, 0);
  }
};

TEST_F(SignIn, PassesOnTheProgramsExitStatus) {
  EXPECT_EQ(
      Tool(app, {"signin", "Default", "--", "/bin/sh", "-c", "exit 7"}).status,
      7);
  EXPECT_EQ(
      Tool(app, {"signin", "Default", "--", "/bin/sh", "-c", "exit 0"}).status,
      0);
  RunResult missing =
      Tool(app, {"signin", "Default", "--", app.root() + "/no-such-program"});
  EXPECT_EQ(missing.status, 127);
  EXPECT_TRUE(Contains(missing.err, "cannot run")) << missing.err;
}

TEST_F(SignIn, HoldsTheUserWhileTheProgramRunsAndReleasesAfter) {
  // The program tries to sign the same user in through a host of its own.
  RunResult r =
      Tool(app, {"signin", "default", "--", "/bin/sh", "-c",
                 "echo \"$USERPROF_USER|$USERPROF_HOME\"; \"$0\" lock Default",
                 app.host()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "default|" + app.Home("Default0") + "/\nlock: 0\n");
  EXPECT_EQ(app.Host({"lock", "Default"}).out, "lock: 1\n");
}

TEST_F(SignIn, RefusedWithoutRunningWhileAnotherProcessHoldsTheUser) {
  Child holder(app.HostArgv({"lock", "Default", "wait"}));
  ASSERT_EQ(holder.ReadLine(), "lock: 1");
  ASSERT_EQ(holder.ReadLine(), "wait: ready");
  const std::string marker = app.root() + "/ran";
  RunResult r = Tool(app, {"signin", "Default", "--", "/bin/sh", "-c",
                           "touch \"$0\"", marker});
  EXPECT_EQ(r.status, 4);
  EXPECT_EQ(r.err, "userprof: \"Default\" is signed in elsewhere\n");
  EXPECT_FALSE(IsFile(marker));
  holder.WriteLine("");
  EXPECT_EQ(holder.Wait(), 0);
  EXPECT_EQ(Tool(app, {"signin", "Default", "--", "/bin/sh", "-c",
                       "touch \"$0\"", marker})
                .status,
            0);
  EXPECT_TRUE(IsFile(marker));
}

// A lock file that is another name of the registry: the sign-in's note
// would empty the registry, a repair would too.
TEST_F(SignIn, LockFileWithASecondNameIsRefusedAndItsDataKept) {
  ASSERT_EQ(Tool(app, {"add", "Ann"}).status, 0);
  const std::string lock = app.Home("Ann00000") + "/IKIVO.SMP";
  std::filesystem::remove(lock);
  std::filesystem::create_hard_link(app.registry(), lock);
  const std::string registry = ReadFile(app.registry());
  const std::string marker = app.root() + "/ran";
  RunResult r = Tool(
      app, {"signin", "Ann", "--", "/bin/sh", "-c", "touch \"$0\"", marker});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, lock + ": the held lock file has 2 links"))
      << r.err;
  EXPECT_FALSE(IsFile(marker));
  RunResult verify = Tool(app, {"verify"});
  EXPECT_EQ(verify.status, 1);
  EXPECT_TRUE(Contains(verify.err, "has 2 links")) << verify.err;
  EXPECT_EQ(ReadFile(app.registry()), registry);
}

TEST_F(SignIn, UnknownUserIsNotFound) {
  RunResult r = Tool(app, {"signin", "Bob", "--", "/bin/sh", "-c", "exit 0"});
  EXPECT_EQ(r.status, 6);
  EXPECT_TRUE(Contains(r.err, "no user named \"Bob\"")) << r.err;
}

// --- Who is signed in
// ----------------------------------------------------------

using Who = SignIn;

TEST_F(Who, ShowsTheUserHeldByAnotherProcessAndLeavesTheHolderAlone) {
  EXPECT_EQ(Tool(app, {"who"}).out, "nobody is signed in\n");
  const std::string lock = app.Home("Default0") + "/IKIVO.SMP";
  Child holder(app.HostArgv({"lock", "Default", "wait", "unlock"}));
  ASSERT_EQ(holder.ReadLine(), "lock: 1");
  ASSERT_EQ(holder.ReadLine(), "wait: ready");
  // A note that a live process of this machine wrote, but which that
  // process does not hold (a signin killed long ago, its pid reused),
  // names nobody: the holder is found among the processes.
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  WriteFile(lock, "pid=" + std::to_string(getpid()) + "\nhost=" + host +
                "\nsince=2026-01-01T00:00:00Z\n");
  RunResult r = Tool(app, {"who"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "Default  " + app.Home("Default0") +
                                  "/  process " + std::to_string(holder.pid()) +
                                  " ("))
      << r.out;
  EXPECT_FALSE(Contains(r.out, std::to_string(getpid()))) << r.out;
  EXPECT_TRUE(Contains(Tool(app, {"list"}).out, "yes  yes   yes"));
  // Still held after being asked.
  EXPECT_EQ(app.Host({"lock", "Default"}).out, "lock: 0\n");
  holder.WriteLine("");
  EXPECT_EQ(holder.ReadLine(), "unlock: done");
  EXPECT_EQ(holder.Wait(), 0);
  EXPECT_EQ(Tool(app, {"who"}).out, "nobody is signed in\n");
}

// A held lock file counts only where a sign-in would take it: in the
// user's own home, not through a link.
TEST_F(Who, ListAndWhoShowLockFilesAndSignInsAsTheyStand) {
  for (const char* name : {"Ann", "Bob", "Cy", "Dee"}) {
    ASSERT_EQ(Tool(app, {"add", name}).status, 0) << name;
  }
  std::map<std::string, std::string> home;
  for (const char* name : {"Default", "Ann", "Bob", "Cy", "Dee"}) {
    home[name] = LastLine(Tool(app, {"home", name}).out);
  }
  const std::string ann = home["Ann"];
  std::filesystem::remove(home["Bob"] + "IKIVO.SMP");
  std::filesystem::remove(home["Cy"] + "IKIVO.SMP");
  std::filesystem::create_symlink(ann + "IKIVO.SMP", home["Cy"] + "IKIVO.SMP");
  const std::string dee = home["Dee"];
  std::filesystem::remove_all(dee);
  std::filesystem::create_directory_symlink(ann, dee.substr(0, dee.size() - 1));
  Child holder(app.HostArgv({"lock", "Ann", "wait", "unlock"}));
  ASSERT_EQ(holder.ReadLine(), "lock: 1");
  ASSERT_EQ(holder.ReadLine(), "wait: ready");

  const std::string list = Tool(app, {"list", "--json"}).out;
  const auto user = [&](int number, const std::string& name, bool home_exists,
                        bool lock_exists, bool signed_in) {
    const std::string text =
        "{\"number\":" + std::to_string(number) + ",\"name\":\"" + name +
        "\",\"home\":\"" + home[name] +
        "\",\"home_exists\":" + (home_exists ? "true" : "false") +
        ",\"lock_exists\":" + (lock_exists ? "true" : "false") +
        ",\"signed_in\":" + (signed_in ? "true" : "false") + "}";
    EXPECT_TRUE(Contains(list, text)) << text << "\nin:\n" << list;
  };
  user(1, "Default", true, true, false);
  user(2, "Ann", true, true, true);
  user(3, "Bob", true, false, false);
  user(4, "Cy", true, false, false);
  user(5, "Dee", true, false, false);
  RunResult who = Tool(app, {"who"});
  EXPECT_EQ(who.status, 0) << who.err;
  EXPECT_TRUE(Contains(who.out, "Ann  " + ann + "  process " +
                                    std::to_string(holder.pid()) + " ("))
      << who.out;
  EXPECT_FALSE(Contains(who.out, "Cy")) << who.out;
  EXPECT_FALSE(Contains(who.out, "Dee")) << who.out;
  holder.WriteLine("");
  EXPECT_EQ(holder.ReadLine(), "unlock: done");
  EXPECT_EQ(holder.Wait(), 0);
}

TEST_F(Who, NeverMakesAConcurrentSignInFail) {
  const std::string lock = app.Home("Default0") + "/IKIVO.SMP";
  Child asker(
      {"/bin/sh", "-c",
       "i=0; while [ $i -lt 80 ]; do i=$((i + 1)); "
       "\"$0\" --module \"$1\" who >/dev/null || exit 1; done; echo done",
       kTool, app.host()});
  // Sign in and out as fast as possible while the asker keeps asking; a
  // probe that took the lock, even briefly, would make some attempts fail.
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<int> attempts{0};
  std::thread signer([&] {
    while (!stop) {
      userprofile::LockHandle h =
          userprofile::NativePlatform().OpenExclusive(lock);
      if (h == userprofile::kFailedLock) {
        ++failures;
      } else {
        userprofile::NativePlatform().CloseExclusive(h);
      }
      ++attempts;
    }
  });
  // A bound against a hang only: under the sanitizers on a busy machine
  // one run of the tool takes most of a second.
  const std::optional<std::string> finished =
      asker.ReadLine(std::chrono::seconds(180));
  stop = true;
  signer.join();
  EXPECT_EQ(finished, "done");
  EXPECT_EQ(asker.Wait(), 0);
  EXPECT_GT(attempts, 0);
  EXPECT_EQ(failures, 0);
}

// --- Output for scripts
// ----------------------------------------------------------

using ScriptOutput = SignIn;

TEST_F(ScriptOutput, EveryCommandPrintsOneWellFormedObject) {
  ASSERT_EQ(Tool(app, {"add", "Ann Lee"}).status, 0);
  const std::vector<std::vector<std::string>> commands = {
      {"verify"},        {"add", "Bob"},
      {"list"},          {"home", "Bob"},
      {"default"},       {"default", "Bob"},
      {"who"},           {"signin", "Bob", "--", "/bin/sh", "-c", "exit 3"},
      {"home", "Nobody"}};
  for (std::vector<std::string> args : commands) {
    const std::string command = args.front();
    args.insert(args.begin(), "--json");
    RunResult r = Tool(app, args);
    const std::string line = LastLine(r.out);
    EXPECT_TRUE(JsonSyntax::Valid(line)) << line;
    EXPECT_TRUE(Contains(line, "{\"command\":\"" + command + "\"")) << line;
    EXPECT_TRUE(Contains(line, "\"status\":" + std::to_string(r.status)))
        << line;
    EXPECT_TRUE(Contains(line, "\"warnings\":[")) << line;
    // A failure names its code, which tells apart what one status joins.
    EXPECT_EQ(Contains(line, "\"code\":"), r.status != 0) << line;
  }
  EXPECT_TRUE(Contains(Tool(app, {"--json", "home", "Nobody"}).out,
                       "\"status\":6,\"code\":\"no-such-user\""));
}

TEST_F(ScriptOutput, FieldsScriptsRelyOn) {
  ASSERT_EQ(Tool(app, {"add", "Ann Lee"}).status, 0);
  const std::string list = Tool(app, {"list", "--json"}).out;
  EXPECT_TRUE(
      Contains(list, "{\"number\":2,\"name\":\"Ann Lee\",\"home\":\"" +
                         app.Home("AnnLee00") +
                         "/\",\"home_exists\":true,\"lock_exists\":true,"
                         "\"signed_in\":false}"))
      << list;
  EXPECT_TRUE(Contains(list, "\"default\":\"Default\"")) << list;
  const std::string verify = Tool(app, {"verify", "--json"}).out;
  EXPECT_TRUE(Contains(verify, "\"changes\":[],\"changed\":false")) << verify;
  const std::string signin =
      LastLine(Tool(app, {"--json", "signin", "Ann Lee", "--", "/bin/sh", "-c",
                          "exit 3"})
                   .out);
  EXPECT_TRUE(Contains(signin, "\"exit_status\":3")) << signin;
  const std::string usage = Tool(app, {"--json", "frobnicate"}).out;
  EXPECT_TRUE(Contains(usage, "\"status\":2")) << usage;
  EXPECT_TRUE(JsonSyntax::Valid(LastLine(usage))) << usage;
}

TEST_F(ScriptOutput, LibraryWarningsAreCollectedNotPrinted) {
  ASSERT_EQ(chmod(app.registry().c_str(), 0444), 0);
  RunResult r = Tool(app, {"--json", "add", "Ann Lee"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.out,
                       "{\"check\":731,\"meaning\":\"registry not "
                       "writable or busy\"}") ||
              Contains(r.out,
                       "{\"check\":730,\"meaning\":\"registry write "
                       "refused or failed\"}"))
      << r.out;
  EXPECT_FALSE(Contains(r.err, "warning:")) << r.err;
}

TEST_F(ScriptOutput, NamesThatAreNotUtf8AreReadAsWindows1252WithTheirBytes) {
  ASSERT_EQ(Tool(app, {"add", "Ren\xE9"}).status, 0);
  ASSERT_EQ(Tool(app, {"add", "Zo\xC3\xAB"}).status, 0);  // UTF-8 as typed here
  ASSERT_EQ(Tool(app, {"add", "\x80uro"}).status, 0);
  const std::string list = Tool(app, {"list", "--json"}).out;
  EXPECT_TRUE(JsonSyntax::Valid(LastLine(list))) << list;
  EXPECT_TRUE(
      Contains(list, "\"name\":\"Ren\xC3\xA9\",\"name_bytes\":\"52656EE9\""))
      << list;
  EXPECT_TRUE(Contains(list, "\"name\":\"Zo\xC3\xAB\",\"home\"")) << list;
  EXPECT_TRUE(Contains(
      list, "\"name\":\"\xE2\x82\xACuro\",\"name_bytes\":\"8075726F\""))
      << list;
  // Its home field keeps the bytes a Windows host would write; the
  // directory it names has its characters in UTF-8, as Wine and Samba
  // store a Windows host's names.
  EXPECT_TRUE(Contains(ReadFile(app.registry()), "=Ren\xE9,Ren\xE9"
                                                 "0000\r\n"));
  const std::string home = app.Home("Ren\xC3\xA9"
                                    "0000") +
                           "/";
  EXPECT_TRUE(Contains(list, "\"home\":\"" + home + "\"")) << list;
  EXPECT_TRUE(IsDir(home));
}

// --- The main job
// -------------------------------------------------------------------

using Demo = CliTest;

TEST_F(Demo, RunsTheTypicalHostRunAndRemovesItsScratchTree) {
  RunResult r = ToolAlone({"demo"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.err, "");
  for (const char* step :
       {"1. VerifyUserProfiles(module)\n", "notice: Creating Default User\n",
        "4. openUserSemaphoreFile(\"Default\", module) = 1: signed in",
        "8. CreateUserProfile(module, \"Ann Lee\", 1): entry 2",
        "9. another process signs in as \"Default\": refused",
        "10. CloseUserSemaphoreFile(): signed out", "   2=Ann Lee,AnnLee00\n",
        "removed the scratch tree\n"}) {
    EXPECT_TRUE(Contains(r.out, step)) << step << "\nin:\n" << r.out;
  }
  const std::string prefix = "scratch application tree ";
  ASSERT_EQ(r.out.rfind(prefix, 0), 0u);
  const std::string tree =
      r.out.substr(prefix.size(), r.out.find(',') - prefix.size());
  EXPECT_FALSE(IsDir(tree)) << tree;
}

TEST_F(Demo, KeepsATreeItWasGivenAndWillNotReuseIt) {
  const std::string dir = app.root() + "/demo";
  RunResult r = ToolAlone({"demo", dir});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(ReadFile(dir + "/APP/PROG/USER.INI"),
            "[NUSER]\r\nNO=2\r\n[LUSER]\r\n1=Default,Default0\r\n"
            "2=Ann Lee,AnnLee00\r\n[DEFUSER]\r\nDefaultUser=Default\r\n");
  RunResult again = ToolAlone({"demo", dir});
  EXPECT_EQ(again.status, 1);
  EXPECT_TRUE(Contains(again.err, "exists already")) << again.err;
}

// --- Signing in as flock(1) does ----------------------------------------

namespace {

// A program for signin that says "ready", then runs until `stop` exists
// (20 s at most), noting a SIGTERM it gets in `stop`.term. signin notes
// the program's process in the lock file only once the program runs, so
// "ready" waits for that note (20 s at most): on a busy machine the
// program can otherwise speak before signin has written it.
std::vector<std::string> RunsUntil(const std::string& stop) {
  return {"/bin/sh", "-c",
          "trap 'touch \"$0.term\"' TERM; i=0; "
          "until grep -qx \"pid=$$\" \"${USERPROF_HOME}IKIVO.SMP\" || "
          "[ $i -ge 1000 ]; do sleep 0.02; i=$((i + 1)); done; "
          "echo ready; i=0; "
          "while [ ! -e \"$0\" ] && [ $i -lt 200 ]; do sleep 0.1; "
          "i=$((i + 1)); done",
          stop};
}

std::vector<std::string> ToolArgv(const AppTree& app,
                                  std::vector<std::string> args) {
  args.insert(args.begin(), {kTool, "--module", app.host()});
  return args;
}

// Whether a host can sign Default in now (it signs out again at once).
bool DefaultIsFree(const AppTree& app) {
  return app.Host({"lock", "Default"}).out == "lock: 1\n";
}

}  // namespace

using SignInLikeFlock = SignIn;

TEST_F(SignInLikeFlock, WaitsForARealHolderThenRuns) {
  Child holder(app.HostArgv({"lock", "Default", "wait", "unlock"}));
  ASSERT_EQ(holder.ReadLine(), "lock: 1");
  ASSERT_EQ(holder.ReadLine(), "wait: ready");
  Child waiter(ToolArgv(app, {"signin", "-w", "20", "Default", "--", "/bin/sh",
                              "-c", "echo ran"}));
  // Still waiting while the holder holds.
  EXPECT_EQ(waiter.ReadLine(std::chrono::milliseconds(700)), std::nullopt);
  holder.WriteLine("");
  EXPECT_EQ(holder.ReadLine(), "unlock: done");
  EXPECT_EQ(waiter.ReadLine(), "ran");
  EXPECT_EQ(waiter.Wait(), 0);
  EXPECT_EQ(holder.Wait(), 0);
}

TEST_F(SignInLikeFlock, RefusalHasItsOwnStatusAndTheProgramsStatusPasses) {
  Child holder(app.HostArgv({"lock", "Default", "wait"}));
  ASSERT_EQ(holder.ReadLine(), "lock: 1");
  ASSERT_EQ(holder.ReadLine(), "wait: ready");
  EXPECT_EQ(Tool(app, {"signin", "-n", "Default", "--", "true"}).status, 4);
  EXPECT_EQ(Tool(app, {"signin", "-E", "75", "Default", "--", "true"}).status,
            75);
  RunResult timed_out =
      Tool(app, {"signin", "-w", "0.3", "Default", "--", "true"});
  EXPECT_EQ(timed_out.status, 4);
  EXPECT_TRUE(Contains(timed_out.err, "waited in vain")) << timed_out.err;
  holder.WriteLine("");
  EXPECT_EQ(holder.Wait(), 0);
  EXPECT_EQ(Tool(app, {"signin", "-w", "5", "Default", "--", "/bin/sh", "-c",
                       "exit 75"})
                .status,
            75);
  // --json: the program's output never reaches the JSON line's stream.
  RunResult json = Tool(app, {"--json", "signin", "Default", "--", "/bin/sh",
                              "-c", "echo program-output"});
  EXPECT_EQ(json.status, 0);
  EXPECT_FALSE(Contains(json.out, "program-output")) << json.out;
  EXPECT_TRUE(Contains(json.err, "program-output")) << json.err;
  EXPECT_TRUE(JsonSyntax::Valid(LastLine(json.out))) << json.out;
}

TEST_F(SignInLikeFlock, TheProgramKeepsTheLockWhenUserprofIsKilled) {
  for (const int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal);
    const std::string stop = app.root() + "/stop" + std::to_string(signal);
    std::vector<std::string> argv = ToolArgv(app, {"signin", "Default", "--"});
    for (const std::string& arg : RunsUntil(stop)) argv.push_back(arg);
    Child signed_in(argv);
    ASSERT_EQ(signed_in.ReadLine(), "ready");
    signed_in.Kill(signal);
    if (signal == SIGTERM) {
      // Passed on to the program, which goes on: so do userprof and the lock.
      for (int i = 0; i < 50 && !IsFile(stop + ".term"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EXPECT_TRUE(IsFile(stop + ".term"));
    }
    EXPECT_FALSE(DefaultIsFree(app));
    EXPECT_EQ(Tool(app, {"signin", "Default", "--", "true"}).status, 4);
    WriteFile(stop, "");
    bool freed = false;
    for (int i = 0; i < 50 && !(freed = DefaultIsFree(app)); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(freed);
    EXPECT_EQ(signed_in.Wait(), signal == SIGTERM ? 0 : 128 + SIGKILL);
  }
}

TEST_F(SignInLikeFlock, WhoShowsTheProgramsProcessHostAndTime) {
  const std::string stop = app.root() + "/stop";
  std::vector<std::string> argv = ToolArgv(app, {"signin", "Default", "--"});
  for (const std::string& arg : RunsUntil(stop)) argv.push_back(arg);
  Child signed_in(argv);
  ASSERT_EQ(signed_in.ReadLine(), "ready");
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string who = Tool(app, {"--json", "who"}).out;
  EXPECT_TRUE(Contains(who, "\"host\":\"" + std::string(host) + "\"")) << who;
  EXPECT_TRUE(Contains(who, "\"since\":\"20")) << who;
  EXPECT_FALSE(Contains(who, "\"pid\":null")) << who;
  WriteFile(stop, "");
  EXPECT_EQ(signed_in.Wait(), 0);
  EXPECT_EQ(Tool(app, {"who"}).out, "nobody is signed in\n");
}

// --- Updates under the registry's update lock ------------------------------

using Updates = SignIn;

TEST_F(Updates, SixteenConcurrentAddsOfOneNameRegisterItOnce) {
  std::vector<std::unique_ptr<Child>> adders;
  for (int i = 0; i < 16; ++i) {
    adders.push_back(std::make_unique<Child>(ToolArgv(app, {"add", "SameN"})));
  }
  int succeeded = 0;
  for (auto& adder : adders) {
    const int status = adder->Wait();
    if (status == 0) {
      ++succeeded;
    } else {
      EXPECT_EQ(status, 9);
      EXPECT_TRUE(Contains(adder->err(), "registered already")) << adder->err();
    }
  }
  EXPECT_EQ(succeeded, 1);
  const std::string registry = ReadFile(app.registry());
  EXPECT_EQ(registry.find("SameN,"), registry.rfind("SameN,")) << registry;
  EXPECT_EQ(Tool(app, {"verify", "--dry-run"}).status, 0);
}

TEST_F(Updates, RemoveAndRenameKeepHomesAndLoseNoConcurrentUser) {
  for (const char* name : {"Ann", "Bob", "Cid", "Dee"})
    ASSERT_EQ(Tool(app, {"add", name}).status, 0);
  std::vector<std::unique_ptr<Child>> creators;
  for (const char* prefix : {"P", "Q"}) {
    creators.push_back(std::make_unique<Child>(std::vector<std::string>{
        "/bin/sh", "-c",
        "for i in 1 2 3 4 5 6 7 8; do \"$0\" --module \"$1\" add \"$2$i\" "
        ">/dev/null || exit 1; done",
        kTool, app.host(), prefix}));
  }
  RunResult removed = Tool(app, {"remove", "bob"});
  RunResult renamed = Tool(app, {"rename", "Cid", "Cyd"});
  RunResult deleted = Tool(app, {"remove", "--delete-home", "Dee"});
  for (auto& creator : creators)
    EXPECT_EQ(creator->Wait(), 0) << creator->err();
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(renamed.status, 0) << renamed.err;
  EXPECT_EQ(deleted.status, 0) << deleted.err;

  EXPECT_EQ(Tool(app, {"home", "Bob"}).status, 6);
  EXPECT_TRUE(IsDir(app.Home("Bob00000")));  // kept
  EXPECT_FALSE(IsDir(app.Home("Dee00000")));
  EXPECT_EQ(Tool(app, {"home", "Cyd"}).out, app.Home("Cid00000") + "/\n");
  EXPECT_EQ(Tool(app, {"home", "Cid"}).status, 6);
  for (const char* prefix : {"P", "Q"}) {
    for (int i = 1; i <= 8; ++i) {
      EXPECT_EQ(Tool(app, {"home", prefix + std::to_string(i)}).status, 0)
          << prefix << i;
    }
  }
  // Default, Ann, Cyd and the 16 new ones, numbered without gaps.
  EXPECT_TRUE(Contains(ReadFile(app.registry()), "NO=19\r\n"));
  EXPECT_EQ(Tool(app, {"verify", "--dry-run"}).status, 0);
}

TEST_F(Updates, SignedInOrExistingNamesAreRefusedAndNothingChanges) {
  ASSERT_EQ(Tool(app, {"add", "Ann"}).status, 0);
  ASSERT_EQ(Tool(app, {"add", "Bob"}).status, 0);
  const std::string before = ReadFile(app.registry());
  Child holder(app.HostArgv({"lock", "Ann", "wait"}));
  ASSERT_EQ(holder.ReadLine(), "lock: 1");
  ASSERT_EQ(holder.ReadLine(), "wait: ready");
  RunResult remove = Tool(app, {"remove", "Ann"});
  EXPECT_EQ(remove.status, 4);
  EXPECT_TRUE(Contains(remove.err, "signed in")) << remove.err;
  EXPECT_EQ(Tool(app, {"rename", "Ann", "Anna"}).status, 4);
  holder.WriteLine("");
  EXPECT_EQ(holder.Wait(), 0);
  RunResult taken = Tool(app, {"rename", "Ann", "BOB"});
  EXPECT_EQ(taken.status, 9);
  EXPECT_TRUE(Contains(taken.err, "registered already (entry 3)")) << taken.err;
  EXPECT_EQ(Tool(app, {"rename", "Ann", "B.b"}).status, 7);
  EXPECT_EQ(ReadFile(app.registry()), before);
}

// Removal shares the repair's compaction, but squeezes out only its own
// entry: an entry the repair would drop stays for the repair (which keeps
// a copy first).
TEST_F(Updates, RemoveSqueezesOutItsOwnEntryOnly) {
  ASSERT_EQ(Tool(app, {"add", "Ann"}).status, 0);
  ASSERT_EQ(Tool(app, {"add", "Bob"}).status, 0);
  WriteFile(app.registry(),
            "[NUSER]\r\nNO=4\r\n[LUSER]\r\n1=Default,Default0\r\n"
            "2=Ann,Ann00000\r\n3=b#d,XXXXXXXX\r\n4=Bob,Bob00000\r\n"
            "[DEFUSER]\r\nDefaultUser=Ann\r\n");
  RunResult r = Tool(app, {"remove", "ann"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "removed \"Ann\" (entry 2); its home " +
                       app.Home("Ann00000") +
                       "/ is kept\nthe default user is now \"Default\"\n");
  const std::string registry = ReadFile(app.registry());
  for (const char* line :
       {"NO=3\r\n", "1=Default,Default0\r\n", "2=b#d,XXXXXXXX\r\n",
        "3=Bob,Bob00000\r\n", "DefaultUser=Default\r\n"}) {
    EXPECT_TRUE(Contains(registry, line)) << line << "\nin:\n" << registry;
  }
}

TEST_F(Updates, AddRefusesANameThatDiffersOnlyInEncodingOrCase) {
  ASSERT_EQ(Tool(app, {"add", "Ren\xE9"}).status, 0);  // Windows-1252
  RunResult r = Tool(app, {"add", "REN\xC3\x89"});     // UTF-8, upper case
  EXPECT_EQ(r.status, 9) << r.err;
  ASSERT_EQ(Tool(app, {"add", "Zo\xC3\xAB"}).status, 0);
  // Listed for a terminal or a pipe without bytes that are not UTF-8, and
  // aligned by characters.
  const std::string list = Tool(app, {"list"}).out;
  EXPECT_TRUE(Contains(list, "Ren\\xE9  ")) << list;
  EXPECT_TRUE(Contains(list, "Zo\xC3\xAB      ")) << list;
  EXPECT_FALSE(Contains(list, "\xE9\x30")) << list;
}

// --- Removal -------------------------------------------------------------------

namespace {

// A tool run that stops at its first rename or removal of a name holding
// one of `parts` (':'-separated), until the test lets it go on: the test
// acts at exactly that moment (tests/helpers/pause_at.c).
class PausedTool {
 public:
  PausedTool(const AppTree& app, const std::vector<std::string>& args,
             const std::string& parts)
      : dir_(app.root() + "/pause") {
    MakeDirs(dir_);
    mkfifo((dir_ + "/paused").c_str(), 0600);
    mkfifo((dir_ + "/resume").c_str(), 0600);
    paused_ = open((dir_ + "/paused").c_str(), O_RDONLY | O_NONBLOCK);
    std::vector<std::string> argv{"/usr/bin/env",
                                  std::string("LD_PRELOAD=") + PAUSE_AT_PATH,
                                  "UP_PAUSE_DIR=" + dir_,
                                  "UP_PAUSE_MATCH=" + parts,
                                  kTool,
                                  "--module",
                                  app.host()};
    argv.insert(argv.end(), args.begin(), args.end());
    child_ = std::make_unique<Child>(argv);
  }
  ~PausedTool() {
    if (paused_ >= 0) close(paused_);
  }
  // Whether the tool stopped where it was told to (within 20 s).
  bool Paused() {
    pollfd fd{paused_, POLLIN, 0};
    char byte = 0;
    return poll(&fd, 1, 20000) == 1 && read(paused_, &byte, 1) == 1;
  }
  // Lets it go on and waits for its end.
  int Resume() {
    for (int i = 0; i < 2000; ++i) {
      const int fd = open((dir_ + "/resume").c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) {
        static_cast<void>(write(fd, "r", 1));
        close(fd);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return child_->Wait();
  }
  const Child& child() const { return *child_; }

 private:
  std::string dir_;
  int paused_ = -1;
  std::unique_ptr<Child> child_;
};

// Whether another process can take the lock file at `path` now, as a host
// that looked its user up earlier would.
bool LockFree(const std::string& path) {
  return Run({BuiltProgram(PLATFORM_CHILD_PATH), "try", path}).out ==
         "open 1\n";
}

}  // namespace

using Remove = SignIn;

// A host that looked the user up before the entry went and opens the lock
// file afterwards must find it held, or gone, while the home is deleted.
TEST_F(Remove, DeletesAHomeOnlyUnderTheUsersLockOnceTheEntryIsGone) {
  if (kSanitized) GTEST_SKIP() << "the pause helper cannot be preloaded";
  ASSERT_EQ(Tool(app, {"add", "Ann"}).status, 0);
  const std::string home = app.Home("Ann00000");
  const std::string lock = home + "/IKIVO.SMP";
  WriteFile(home + "/data", "Ann's");
  {
    // Signed in: refused, nothing deleted.
    Child holder(app.HostArgv({"lock", "Ann", "wait"}));
    ASSERT_EQ(holder.ReadLine(), "lock: 1");
    ASSERT_EQ(holder.ReadLine(), "wait: ready");
    const std::string registry = ReadFile(app.registry());
    RunResult refused = Tool(app, {"remove", "--delete-home", "Ann"});
    EXPECT_EQ(refused.status, 4) << refused.err;
    EXPECT_EQ(ReadFile(app.registry()), registry);
    EXPECT_EQ(ReadFile(home + "/data"), "Ann's");
    holder.WriteLine("");
    EXPECT_EQ(holder.Wait(), 0);
  }
  // Stopped at the first step that takes the home away.
  PausedTool removal(app, {"remove", "--delete-home", "Ann"},
                     "Ann00000:IKIVO.SMP");
  ASSERT_TRUE(removal.Paused());
  EXPECT_EQ(Tool(app, {"home", "Ann"}).status, 6);  // the entry is gone
  EXPECT_FALSE(LockFree(lock));
  EXPECT_EQ(removal.Resume(), 0) << removal.child().err();
  EXPECT_FALSE(Exists(home));
  EXPECT_FALSE(Exists(home + ".removing"));
}

// A hand edit can register a name twice: every entry of it goes.
TEST_F(Remove, EveryEntryOfADuplicatedNameGoes) {
  ASSERT_EQ(Tool(app, {"add", "Bob"}).status, 0);
  MakeDirs(app.Home("Cid00000"));
  MakeDirs(app.Home("Cid00001"));
  WriteFile(app.registry(),
            "[NUSER]\r\nNO=4\r\n[LUSER]\r\n1=Default,Default0\r\n"
            "2=Cid,Cid00000\r\n3=cid,Cid00001\r\n4=Bob,Bob00000\r\n"
            "[DEFUSER]\r\nDefaultUser=Default\r\n");
  RunResult r = Tool(app, {"remove", "--delete-home", "Cid"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "removed \"Cid\" (entries 2 and 3)")) << r.out;
  EXPECT_EQ(Tool(app, {"home", "Cid"}).status, 6);
  EXPECT_EQ(Tool(app, {"home", "Bob"}).out, app.Home("Bob00000") + "/\n");
  EXPECT_FALSE(Exists(app.Home("Cid00000")));
  EXPECT_FALSE(Exists(app.Home("Cid00001")));
}

// No sign-in can take a lock through a link, so removing the entry needs
// none; deleting never follows the link, and refuses rather than delete the
// link alone and call the home deleted.
TEST_F(Remove, AUserWhoseHomeIsALinkIsRemovedAndWhatItLeadsToKept) {
  ASSERT_EQ(Tool(app, {"add", "Ann"}).status, 0);
  const std::string elsewhere = app.root() + "/elsewhere";
  MakeDirs(elsewhere);
  WriteFile(elsewhere + "/data", "not Ann's");
  RemoveTree(app.Home("Ann00000"));
  std::filesystem::create_directory_symlink(elsewhere, app.Home("Ann00000"));
  const std::string registry = ReadFile(app.registry());
  RunResult refused = Tool(app, {"remove", "--delete-home", "Ann"});
  EXPECT_EQ(refused.status, 8);
  EXPECT_TRUE(Contains(refused.err, "a link or a file; nothing was removed"))
      << refused.err;
  EXPECT_EQ(ReadFile(app.registry()), registry);
  RunResult removed = Tool(app, {"remove", "Ann"});
  EXPECT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(Tool(app, {"home", "Ann"}).status, 6);
  EXPECT_TRUE(std::filesystem::is_symlink(app.Home("Ann00000")));
  EXPECT_EQ(ReadFile(elsewhere + "/data"), "not Ann's");
}

TEST_F(Remove, SaysWhoTheDefaultUserBecomesAndKeepsDefaultUnlessForced) {
  ASSERT_EQ(Tool(app, {"add", "Ann"}).status, 0);
  ASSERT_EQ(Tool(app, {"default", "Ann"}).status, 0);
  RunResult ann = Tool(app, {"remove", "Ann"});
  EXPECT_EQ(ann.status, 0) << ann.err;
  EXPECT_TRUE(Contains(ann.out, "the default user is now \"Default\"\n"))
      << ann.out;
  const std::string registry = ReadFile(app.registry());
  RunResult refused = Tool(app, {"--json", "remove", "default"});
  EXPECT_EQ(refused.status, 8);
  EXPECT_TRUE(Contains(refused.out, "\"code\":\"refused\"")) << refused.out;
  EXPECT_TRUE(Contains(refused.out, "registers a new \\\"Default\\\" with a "
                                    "new, empty home"))
      << refused.out;
  EXPECT_EQ(ReadFile(app.registry()), registry);
  RunResult forced = Tool(app, {"remove", "--force", "Default"});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_TRUE(Contains(forced.out, "\"Default\" is no longer registered"))
      << forced.out;
}

using Rename = SignIn;

// Only the entry lookups find is renamed; the name then names the next.
TEST_F(Rename, ADuplicatedNameSaysWhomItNowNames) {
  MakeDirs(app.Home("Cid00000"));
  MakeDirs(app.Home("Cid00001"));
  WriteFile(app.registry(),
            "[NUSER]\r\nNO=3\r\n[LUSER]\r\n1=Default,Default0\r\n"
            "2=Cid,Cid00000\r\n3=Cid,Cid00001\r\n"
            "[DEFUSER]\r\nDefaultUser=Default\r\n");
  RunResult r = Tool(app, {"rename", "Cid", "Cy"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "\"Cid\" is registered again as entry 3, whom "
                              "it now names (home " +
                                  app.Home("Cid00001") + "/)"))
      << r.out;
}

// The update lock beside the registry that is no regular file: every
// update is refused, says which file and what it is, and none claims to
// have happened.
TEST_F(Updates, AnUpdateLockFileThatIsALinkOrAFifoIsNamedAndNothingChanges) {
  ASSERT_EQ(Tool(app, {"add", "Ann"}).status, 0);
  const std::string lock = app.registry() + ".lock";
  const std::string registry = ReadFile(app.registry());
  std::filesystem::remove(lock);
  ASSERT_EQ(mkfifo(lock.c_str(), 0660), 0);
  RunResult fifo = Tool(app, {"remove", "Ann"});
  EXPECT_EQ(fifo.status, 8);
  EXPECT_TRUE(Contains(fifo.err, lock + " is a FIFO (named pipe), not a "
                                        "regular file"))
      << fifo.err;
  std::filesystem::remove(lock);
  std::filesystem::create_symlink(app.root() + "/nowhere", lock);
  RunResult link = Tool(app, {"add", "Bob"});
  EXPECT_EQ(link.status, 8);
  EXPECT_TRUE(Contains(link.err, lock + " is a symbolic link")) << link.err;
  EXPECT_EQ(ReadFile(app.registry()), registry);
}

#ifdef __linux__
// Ann is renamed and a new Ann added (here by hand, while the old home
// stays held) after signin -w started waiting: the program gets the home
// of the lock it holds, the new Ann's.
TEST_F(SignInLikeFlock, AfterWaitingTheProgramGetsTheHomeOfTheLockItHolds) {
  ASSERT_EQ(Tool(app, {"add", "Ann"}).status, 0);
  Child holder(app.HostArgv({"lock", "Ann", "wait"}));
  ASSERT_EQ(holder.ReadLine(), "lock: 1");
  ASSERT_EQ(holder.ReadLine(), "wait: ready");
  const int watch = inotify_init1(IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, (app.Home("Ann00000") + "/IKIVO.SMP").c_str(),
                              IN_OPEN),
            0);
  Child waiter(ToolArgv(app, {"signin", "-w", "20", "Ann", "--", "/bin/sh",
                              "-c", "echo \"$USERPROF_HOME\""}));
  // Its first attempt opened the old home's lock file.
  pollfd fd{watch, POLLIN, 0};
  ASSERT_EQ(poll(&fd, 1, 20000), 1);
  close(watch);
  MakeDirs(app.Home("Ann00001"));
  WriteFile(app.registry(),
            "[NUSER]\r\nNO=3\r\n[LUSER]\r\n1=Default,Default0\r\n"
            "2=Bob,Ann00000\r\n3=Ann,Ann00001\r\n"
            "[DEFUSER]\r\nDefaultUser=Default\r\n");
  EXPECT_EQ(waiter.ReadLine(), app.Home("Ann00001") + "/");
  EXPECT_EQ(waiter.Wait(), 0) << waiter.err();
  holder.WriteLine("");
  EXPECT_EQ(holder.Wait(), 0);
}
#endif

// --- Verification without changes --------------------------------------------

namespace {

// Every name under `dir` with its content (files) or "/" (directories).
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> tree;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    tree[entry.path().string()] =
        entry.is_directory() ? "/" : ReadFile(entry.path().string());
  }
  return tree;
}

}  // namespace

// A repair that leaves the registry as it was still reports what it made
// on disk, and what it could not make.
TEST_F(Verify, HomesAndLockFilesMadeForAnUnchangedRegistryAreReported) {
  ASSERT_EQ(Tool(app, {"verify"}).status, 0);
  for (const char* name : {"Ann", "Bob", "Cy"}) {
    ASSERT_EQ(Tool(app, {"add", name}).status, 0) << name;
  }
  const std::string registry = ReadFile(app.registry());
  std::filesystem::remove(app.Home("Ann00000") + "/IKIVO.SMP");
  RemoveTree(app.Home("Bob00000"));
  RunResult r = Tool(app, {"verify"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "\"Ann\": lock file IKIVO.SMP created\n"
            "\"Bob\": home directory Bob00000 re-created\n");
  EXPECT_EQ(ReadFile(app.registry()), registry);

  // A lock file that cannot be made: a link in its place.
  std::filesystem::remove(app.Home("Cy000000") + "/IKIVO.SMP");
  std::filesystem::create_symlink("elsewhere",
                                  app.Home("Cy000000") + "/IKIVO.SMP");
  RunResult linked = Tool(app, {"verify"});
  EXPECT_EQ(linked.status, 1);
  EXPECT_EQ(linked.out, "nothing changed\n");
  EXPECT_TRUE(
      Contains(linked.err, "the repair is incomplete: \"Cy\" has no lock file"))
      << linked.err;
}

// Two repairs at once: the second waits for the first's update and then
// finds nothing to do, so no copy of the repaired registry ever stands in
// for the one that holds the dropped entry; older copies beyond five go.
TEST_F(Verify, ConcurrentRepairsKeepTheDroppedEntryInANewCopy) {
  MakeDirs(app.prog());
  MakeDirs(app.Home("Ann00000"));
  WriteFile(app.registry(),
            "[NUSER]\r\nNO=2\r\n[LUSER]\r\n1=Ann,Ann00000\r\n"
            "2=O.Brien,OBrien00\r\n");
  for (int i = 1; i <= 5; ++i) {
    WriteFile(
        app.registry() + ".20000101T000000.00000" + std::to_string(i) + "Z.bak",
        "old");
  }
  // Both start while this process holds the update lock.
  const int lock = ::open((app.registry() + ".lock").c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0);
  struct flock byte {};
  byte.l_type = F_WRLCK;
  byte.l_whence = SEEK_SET;
  byte.l_len = 1;
  ASSERT_EQ(::fcntl(lock, F_OFD_SETLK, &byte), 0);
  Child first(ToolArgv(app, {"verify"}));
  Child second(ToolArgv(app, {"verify"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ::close(lock);
  std::string out;
  for (Child* child : {&first, &second}) {
    EXPECT_EQ(child->Wait(), 0) << child->err();
    while (std::optional<std::string> line = child->ReadLine())
      out += *line + "\n";
  }
  EXPECT_TRUE(Contains(out, "nothing changed\n")) << out;
  const std::string dropped = "dropped entry 2 \"O.Brien,OBrien00\"";
  ASSERT_NE(out.find(dropped), std::string::npos) << out;
  EXPECT_EQ(out.find(dropped), out.rfind(dropped)) << out;
  std::vector<std::string> copies;
  for (const auto& entry : std::filesystem::directory_iterator(app.prog())) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with("USER.INI.") && name.ends_with(".bak")) {
      copies.push_back(ReadFile(entry.path().string()));
    }
  }
  EXPECT_EQ(copies.size(), 5u);
  EXPECT_EQ(std::count_if(copies.begin(), copies.end(),
                          [](const std::string& c) {
                            return Contains(c, "2=O.Brien,OBrien00");
                          }),
            1);
}

TEST_F(Verify, DryRunChangesNothingAndSaysWhatARepairWouldDo) {
  MakeDirs(app.prog());
  MakeDirs(app.Home("ann00000"));
  const std::string damaged =
      "[NUSER]\r\nNO=3\r\n[LUSER]\r\n1=ann,ann00000\r\n2=\r\n"
      "3=b#d,XXXXXXXX\r\n";
  WriteFile(app.registry(), damaged);
  const auto before = Snapshot(app.root());
  RunResult dry = Tool(app, {"verify", "--dry-run"});
  EXPECT_EQ(dry.status, 1) << dry.err;
  for (const char* change :
       {"would: dropped entry 2 (empty; kept in a new copy ",
        "would: \"ann\": lock file IKIVO.SMP created\n",
        "would: added \"Default\" as entry 2, home a new directory\n",
        "would: keep the registry as it is now in "}) {
    EXPECT_TRUE(Contains(dry.out, change)) << change << "\nin:\n" << dry.out;
  }
  EXPECT_EQ(Snapshot(app.root()), before);

  // The repair itself keeps the registry as it was, in a copy it names.
  RunResult repaired = Tool(app, {"verify"});
  ASSERT_EQ(repaired.status, 0) << repaired.err;
  const std::string kept_in = "kept in " + app.registry() + ".";
  ASSERT_TRUE(Contains(repaired.out, kept_in)) << repaired.out;
  const std::size_t at = repaired.out.find(kept_in) + kept_in.size() - 1;
  EXPECT_EQ(ReadFile(app.registry() +
                     repaired.out.substr(
                         at, repaired.out.find_first_of(") ", at) - at)),
            damaged);
  RunResult healthy = Tool(app, {"verify", "--dry-run"});
  EXPECT_EQ(healthy.status, 0);
  EXPECT_EQ(healthy.out, "healthy: a repair would change nothing\n");
}

// --- What a repair and a listing tell, and what they cost ---------------------

// A dry run of a healthy tree makes no file or directory anywhere: not in
// the tree, not in the temporary directory.
TEST_F(Verify, DryRunOfAHealthyTreeMakesNothingAnywhere) {
  ASSERT_EQ(Tool(app, {"verify"}).status, 0);
  ASSERT_EQ(Tool(app, {"add", "Ann"}).status, 0);
  const std::string tmp = app.root() + "/tmp";
  MakeDirs(tmp);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, tmp.c_str(), IN_CREATE), 0);
  const auto before = Snapshot(app.prog());
  setenv("TMPDIR", tmp.c_str(), 1);
  RunResult dry = Tool(app, {"verify", "--dry-run"});
  unsetenv("TMPDIR");
  EXPECT_EQ(dry.status, 0) << dry.err;
  char events[4096];
  EXPECT_LT(::read(watch, events, sizeof events), 1) << "made in " << tmp;
  ::close(watch);
  EXPECT_EQ(Snapshot(app.prog()), before);
}

// A removed user's name does not stay above the count, and a line left
// there by a hand edit is dropped by the repair, named, and kept in the
// backup.
TEST_F(Verify, NoEntryTextStaysAboveTheCount) {
  ASSERT_EQ(Tool(app, {"verify"}).status, 0);
  ASSERT_EQ(Tool(app, {"add", "Secret Person"}).status, 0);
  ASSERT_EQ(Tool(app, {"remove", "Secret Person"}).status, 0);
  EXPECT_FALSE(Contains(ReadFile(app.registry()), "Secret")) << ReadFile(app.registry());

  WriteFile(app.registry(), "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Default,Default0\r\n"
                            "2=Old Name,OldName0\r\n[DEFUSER]\r\nDefaultUser=Default\r\n");
  RunResult r = Tool(app, {"verify"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "dropped entry 2 \"Old Name,OldName0\" (above the count; kept in "))
      << r.out;
  EXPECT_FALSE(Contains(ReadFile(app.registry()), "Old Name"));
  bool kept = false;
  for (const auto& entry : std::filesystem::directory_iterator(app.prog())) {
    kept = kept || Contains(ReadFile(entry.path().string()), "2=Old Name,OldName0");
  }
  EXPECT_TRUE(kept);

  WriteFile(app.registry(), "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Default,Default0\r\n"
                            "2=Old Name,OldName0\r\n[DEFUSER]\r\nDefaultUser=Default\r\n");
  const std::string json = LastLine(Tool(app, {"--json", "verify"}).out);
  EXPECT_TRUE(JsonSyntax::Valid(json)) << json;
  EXPECT_TRUE(Contains(json, "\"why\":\"above the count\",\"kept_in\":\"")) << json;
}

// A note that a killed sign-in left in a lock file nobody holds is
// emptied; a held lock file keeps what its holder wrote.
TEST_F(Verify, NotesInLockFilesNobodyHoldsAreEmptied) {
  ASSERT_EQ(Tool(app, {"verify"}).status, 0);
  ASSERT_EQ(Tool(app, {"add", "Ann"}).status, 0);
  const std::string ann = app.Home("Ann00000") + "/IKIVO.SMP";
  const std::string held = app.Home("Default0") + "/IKIVO.SMP";
  Child holder(app.HostArgv({"lock", "Default", "wait"}));
  ASSERT_EQ(holder.ReadLine(), "lock: 1");
  ASSERT_EQ(holder.ReadLine(), "wait: ready");
  WriteFile(ann, "pid 999999 on gone since 2026-12-09T03:04:05Z\n");
  WriteFile(held, "the holder's own note\n");
  RunResult r = Tool(app, {"verify"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "\"Ann\": lock file " + ann + " held by nobody")) << r.out;
  EXPECT_EQ(ReadFile(ann), "");
  EXPECT_EQ(ReadFile(held), "the holder's own note\n");
  holder.WriteLine("");
  EXPECT_EQ(holder.Wait(), 0);
}

// A home that no entry names is reported, and can be given to a user
// again; a home that another entry names, a link or a directory outside
// the users root is refused.
TEST_F(Verify, UnregisteredHomeIsReportedAndRegisteredAgainWithAdd) {
  ASSERT_EQ(Tool(app, {"verify"}).status, 0);
  ASSERT_EQ(Tool(app, {"add", "Ann"}).status, 0);
  ASSERT_EQ(Tool(app, {"remove", "Ann"}).status, 0);
  const std::string home = app.Home("Ann00000");
  EXPECT_TRUE(Contains(Tool(app, {"list"}).out, "unregistered home: " + home));
  EXPECT_TRUE(Contains(Tool(app, {"list", "--json"}).out,
                       "\"unregistered_homes\":[\"" + home + "\"]"));
  EXPECT_TRUE(Contains(Tool(app, {"verify"}).out, "home directory " + home));

  RunResult added = Tool(app, {"add", "Ann", "--home", home});
  EXPECT_EQ(added.status, 0) << added.err;
  EXPECT_EQ(added.out, home + "/\n");
  EXPECT_TRUE(Contains(ReadFile(app.registry()), "=Ann,Ann00000\r\n"));
  EXPECT_FALSE(Contains(Tool(app, {"list"}).out, "unregistered home"));

  std::filesystem::create_directory_symlink(home, app.Home("Lnk00000"));
  MakeDirs(app.root() + "/Out00000");
  for (const std::string& other : {std::string("Ann00000"), app.Home("Lnk00000"),
                                   app.root() + "/Out00000"}) {
    RunResult refused = Tool(app, {"--json", "add", "Bob", "--home", other});
    EXPECT_EQ(refused.status, 8) << other << refused.err;
    EXPECT_TRUE(Contains(refused.out, "\"code\":\"refused\"")) << refused.out;
  }
  EXPECT_EQ(Tool(app, {"home", "Bob"}).status, 6);
}

// On a registry of 100,000 entries the tool stays within five times the
// registry's size plus 20 MB: nothing holds every entry at once.
TEST_F(Verify, ListAndRepairOfALargeRegistryStayWithinTheirMemory) {
  if (kSanitized) GTEST_SKIP() << "a sanitizer's memory is not the tool's";
  MakeDirs(app.prog());
  std::string registry = "[NUSER]\r\nNO=100000\r\n[LUSER]\r\n1=Default,Default0\r\n";
  for (int i = 2; i <= 100000; ++i) {
    registry += std::to_string(i) + "=User" + std::to_string(i) + ",Home000" +
                std::to_string(i % 10) + "\r\n";
  }
  registry += "[DEFUSER]\r\nDefaultUser=Default\r\n";
  WriteFile(app.registry(), registry);
  MakeDirs(app.Home("Default0"));
  WriteFile(app.Home("Default0") + "/IKIVO.SMP", "");
  for (int i = 0; i < 10; ++i) {
    MakeDirs(app.Home("Home000" + std::to_string(i)));
    WriteFile(app.Home("Home000" + std::to_string(i)) + "/IKIVO.SMP", "");
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"list"}, {"--json", "list"},
        {"verify", "--dry-run"}, {"verify"}}) {
    RunResult r = Tool(app, args);
    EXPECT_EQ(r.status, 0) << args.back() << r.err;
  }
  struct rusage usage {};
  ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &usage), 0);
  const long budget_kb = static_cast<long>(registry.size() * 5 / 1024) + 20 * 1024;
  EXPECT_LE(usage.ru_maxrss, budget_kb);
}
