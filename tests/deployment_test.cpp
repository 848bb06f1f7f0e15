// Where the application really runs: the machine may lose power, several
// OS users share the tree, hosts pass UTF-8 names, and whoever can reach
// the tree may plant links, FIFOs and hard links in it. Real host
// processes (each under its own timeout) on real trees; the causes a
// failure records are read in this process or in a forked one that runs
// as another OS user.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "frame/failure.h"
#include "platform/names.h"
#include "support/apptree.h"
#include "userprofile.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// A host run under its own time limit.
RunResult HostRun(const AppTree& app, const std::vector<std::string>& args,
                  const std::vector<std::string>& prefix = {}) {
  std::vector<std::string> argv{"/usr/bin/timeout", "-k", "5", "60"};
  argv.insert(argv.end(), prefix.begin(), prefix.end());
  for (const std::string& a : app.HostArgv(args)) argv.push_back(a);
  return Run(argv);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

gid_t GroupOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_gid : 0;
}

std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

// Runs `body` against the tree's registry in a forked process with the
// given identity (no change for uid -1), under a time limit; returns what
// it wrote, and the cause the library recorded, as "result|cause".
std::string InProcessAs(const AppTree& app, uid_t uid, gid_t gid,
                        std::vector<gid_t> groups,
                        const std::function<std::string(ModuleHandle)>& body) {
  int pipefd[2];
  if (::pipe(pipefd) != 0) return "pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipefd[0]);
    ::alarm(30);
    if (uid != static_cast<uid_t>(-1) &&
        (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(gid) != 0 ||
         ::setuid(uid) != 0)) {
      ::_exit(99);
    }
    std::string text;
    {
      InProcessApp in(app.host());
      text = body(in.handle());
    }
    text += "|" + userprofile::LastFailure().text;
    if (::write(pipefd[1], text.data(), text.size()) < 0) ::_exit(98);
    ::_exit(0);
  }
  ::close(pipefd[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(pipefd[0], buf, sizeof buf)) > 0;) {
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(pipefd[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
  return text;
}

// --- Power loss ------------------------------------------------------

// The system calls of one host run, as strace writes them.
std::vector<std::string> Traced(const AppTree& app,
                                const std::vector<std::string>& args) {
  const std::string log = app.root() + "/strace.log";
  RunResult r = HostRun(app, args,
                        {"/usr/bin/strace", "-qq", "-o", log, "-e",
                         "trace=openat,mkdir,rename,fsync"});
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(log));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The index of the first line at or after `from` holding every part.
std::size_t Find(const std::vector<std::string>& lines, std::size_t from,
                 const std::vector<std::string>& parts) {
  for (std::size_t i = from; i < lines.size(); ++i) {
    bool all = true;
    for (const std::string& p : parts)
      all = all && lines[i].find(p) != std::string::npos;
    if (all) return i;
  }
  return lines.size();
}

// True if, from line `from` on, directory `dir` is opened and that
// descriptor flushed before line `before`.
bool DirectoryFlushed(const std::vector<std::string>& lines, std::size_t from,
                      std::size_t before, const std::string& dir) {
  const std::size_t open =
      Find(lines, from, {"openat(AT_FDCWD, \"" + dir + "\"", "O_DIRECTORY"});
  if (open >= before) return false;
  const std::string fd = lines[open].substr(lines[open].rfind('=') + 2);
  return Find(lines, open, {"fsync(" + fd + ")", "= 0"}) < before;
}

TEST(PowerLoss, HomeIsDurableBeforeTheEntryAndTheRegistryAfterItsRename) {
  if (::access("/usr/bin/strace", X_OK) != 0) GTEST_SKIP() << "no strace";
  AppTree app;
  ASSERT_EQ(HostRun(app, {"verify"}).status, 0);
  const std::vector<std::string> lines = Traced(app, {"create", "Ann Lee"});
  if (lines.empty()) GTEST_SKIP() << "strace cannot trace here";
  const std::size_t mkdir = Find(lines, 0, {"mkdir(\"" + app.Home("AnnLee00")});
  const std::size_t rename =
      Find(lines, 0, {"rename(", app.registry() + "\")"});
  ASSERT_LT(mkdir, lines.size());
  ASSERT_LT(rename, lines.size()) << "no rename of the registry";
  EXPECT_LT(mkdir, rename);
  EXPECT_TRUE(DirectoryFlushed(lines, mkdir, rename, app.users()))
      << "the new home's name is not flushed before the entry";
  EXPECT_TRUE(DirectoryFlushed(lines, rename, lines.size(), app.prog()))
      << "the registry's directory is not flushed after the rename";
  const std::size_t lock = Find(lines, 0, {"\"IKIVO.SMP\"", "O_CREAT"});
  ASSERT_LT(lock, lines.size());
  const std::string fd = lines[lock].substr(lines[lock].rfind('=') + 2);
  EXPECT_LT(Find(lines, lock, {"fsync(" + fd + ")"}), lines.size())
      << "the new lock file is not flushed";
}

// --- Several OS users ------------------------------------------------

constexpr gid_t kAppGroup = 4242;   // the application's group
constexpr uid_t kMember = 65534;    // a user in it
constexpr uid_t kOutsider = 65533;  // a user who is not

class SharedTree : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as other users";
    // Everyone may pass through to the tree; the program directory and
    // the users root are the application group's, set-group-ID.
    ASSERT_EQ(::chmod(app_.root().c_str(), 0711), 0);
    ASSERT_EQ(::chmod((app_.root() + "/APP").c_str(), 0711), 0);
    ASSERT_EQ(::chmod(app_.host().c_str(), 0755), 0);
    MakeDirs(app_.users());
    for (const std::string& dir : {app_.prog(), app_.users()}) {
      ASSERT_EQ(::chown(dir.c_str(), 0, kAppGroup), 0);
      ASSERT_EQ(::chmod(dir.c_str(), 02770), 0);
    }
  }
  // The host run as another user: a member of the group or not.
  RunResult As(uid_t uid, bool member, const std::vector<std::string>& args) {
    const std::string id = std::to_string(uid);
    return HostRun(
        app_, args,
        {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id,
         member ? "--groups=" + std::to_string(kAppGroup) : "--clear-groups",
         "--"});
  }
  AppTree app_;
};

TEST_F(SharedTree, EveryMemberSignsInAndAddsUsersAndOutsidersCannot) {
  // Root adds Bob under the harshest umask: the model's modes still hold.
  RunResult r = HostRun(app_, {"verify", "create", "Bob"},
                        {"/bin/sh", "-c", "umask 077; exec \"$0\" \"$@\""});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string lock = app_.Home("Bob00000") + "/IKIVO.SMP";
  EXPECT_EQ(ModeOf(app_.registry()), 0660u);
  EXPECT_EQ(ModeOf(app_.Home("Bob00000")), 02770u);
  EXPECT_EQ(ModeOf(lock), 0660u);
  for (const std::string& path :
       {app_.registry(), app_.Home("Bob00000"), lock}) {
    EXPECT_EQ(GroupOf(path), kAppGroup) << path;
  }

  r = As(kMember, true, {"lock", "Bob", "create", "Carol", "exists", "Carol"});
  EXPECT_EQ(r.out, "lock: 1\ncreate: Carol\nexists: 3\n") << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(ModeOf(app_.registry()), 0660u);
  EXPECT_EQ(GroupOf(app_.registry()), kAppGroup);

  // An outsider can neither open the files (so cannot lock them and
  // block everyone) nor sign in, and is told which file refused whom.
  r = As(kOutsider, false, {"lock", "Bob", "create", "Dave"});
  EXPECT_NE(r.out.find("lock: 0"), std::string::npos);
  EXPECT_FALSE(IsDir(app_.Home("Dave0000")));
  const std::string cause =
      InProcessAs(app_, kOutsider, kOutsider, {}, [&](ModuleHandle h) {
        const bool opened = ::open(lock.c_str(), O_RDONLY) >= 0 ||
                            ::open(app_.registry().c_str(), O_RDONLY) >= 0;
        return std::to_string(opened) +
               std::to_string(openUserSemaphoreFile("Bob", h));
      });
  EXPECT_EQ(cause.substr(0, 3), "00|") << cause;
  EXPECT_NE(cause.find(app_.prog()), std::string::npos) << cause;
  EXPECT_NE(cause.find("Permission denied"), std::string::npos) << cause;
  EXPECT_NE(cause.find("user 65533"), std::string::npos) << cause;
}

TEST_F(SharedTree, AFileOutsideTheModelSaysWhichFileAndWhichPermission) {
  ASSERT_EQ(HostRun(app_, {"verify", "create", "Bob"}).status, 0);
  // As an older release left it: only its owner may write.
  ASSERT_EQ(::chmod(app_.registry().c_str(), 0644), 0);
  const std::string cause =
      InProcessAs(app_, kMember, kMember, {kAppGroup}, [](ModuleHandle h) {
        char name[] = "Carol";
        CreateUserProfile(h, name, 1);
        const std::string why = userprofile::LastFailure().text;
        return std::to_string(DoesUserExist(h, "Carol")) + "|" + why;
      });
  EXPECT_EQ(cause.substr(0, 2), "0|") << cause;
  EXPECT_NE(cause.find(app_.registry()), std::string::npos) << cause;
  EXPECT_NE(cause.find("mode 0644"), std::string::npos) << cause;
  EXPECT_EQ(Names(app_.users()),
            (std::set<std::string>{"Bob00000", "Default0"}))
      << "the failed creation left its home";
}

TEST(SignIn, RefusedForAReadersLockSaysSo) {
  AppTree app;
  ASSERT_EQ(HostRun(app, {"verify", "create", "Bob"}).status, 0);
  int fd = ::open((app.Home("Bob00000") + "/IKIVO.SMP").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  struct flock lock {};
  lock.l_type = F_RDLCK;
  lock.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(fd, F_OFD_SETLK, &lock), 0);
  const std::string cause =
      InProcessAs(app, static_cast<uid_t>(-1), 0, {}, [](ModuleHandle h) {
        return std::to_string(openUserSemaphoreFile("Bob", h));
      });
  ::close(fd);
  EXPECT_EQ(cause.substr(0, 2), "0|") << cause;
  EXPECT_NE(cause.find("read lock"), std::string::npos) << cause;
}

// --- UTF-8 names -----------------------------------------------------

TEST(Utf8Names, HomesKeepWholeCharactersAndNamesDoNotAlias) {
  AppTree app;
  std::vector<std::string> args{"create",
                                "Renée Müller",
                                "create",
                                "Ærøskøbing",
                                "create",
                                "中A",
                                "create",
                                "ĸA",
                                "exists",
                                "ĸa",
                                "exists",
                                "中a",
                                "create",
                                "Ren\xE9"
                                "e M\xFC"
                                "ller",
                                "exists",
                                "REN\xC9"
                                "E M\xDC"
                                "LLER"};
  for (int i = 0; i < 12; ++i) {
    args.push_back("create");
    args.push_back("Joséééé");
  }
  RunResult r = HostRun(app, args);
  ASSERT_EQ(r.status, 0) << r.err;
  // The code page 1252 spelling of a name is that name: one user.
  EXPECT_NE(r.out.find("exists: 4\nexists: 3\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("exists: 1\n"), std::string::npos) << r.out;
  const std::set<std::string> homes = Names(app.users());
  for (const char* expected :
       {"RenéeM0", "Ærøsk0", "中A0000", "ĸA00000", "Joséé0", "RenéeMül"}) {
    EXPECT_EQ(homes.count(expected), 1u) << expected;
  }
  EXPECT_EQ(homes.size(), 5u + 12u);
  for (const std::string& home : homes) {
    // Every home is named in UTF-8 with whole characters; the cp1252
    // name's home field has 8 bytes, its directory those characters.
    EXPECT_TRUE(userprofile::IsMultibyteUtf8(home)) << home;
    if (home != "RenéeMül") {
      EXPECT_EQ(home.size(), 8u) << home;
    }
  }
}

// --- Files planted in the tree ---------------------------------------

TEST(PlantedFiles, ALinkedRegistryIsNeverWrittenThrough) {
  AppTree app;
  const std::string outside = app.root() + "/nologin";
  fs::create_symlink(outside, app.registry());
  RunResult r = HostRun(app, {"setdef", "Ann", "verify", "create", "Bob"});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(outside)));
  EXPECT_TRUE(fs::is_symlink(app.registry()));
  EXPECT_NE(r.err.find("Line : 730"), std::string::npos) << r.err;
  EXPECT_TRUE(Names(app.users()).empty()) << "failed creations left homes";
  const std::string cause =
      InProcessAs(app, static_cast<uid_t>(-1), 0, {}, [](ModuleHandle h) {
        SetDefaultUser(h, "Ann");
        return std::string();
      });
  EXPECT_NE(cause.find("symbolic link"), std::string::npos) << cause;
}

TEST(PlantedFiles, AFifoRegistryHangsNobodyAndGrowsNoHomes) {
  AppTree app;
  ASSERT_EQ(::mkfifo(app.registry().c_str(), 0660), 0);
  const auto start = std::chrono::steady_clock::now();
  RunResult r = HostRun(app, {"exists", "Bob", "getdef", "lock", "Bob",
                              "create", "Ann", "verify", "verify"});
  EXPECT_EQ(r.status, 0) << "hung or failed: " << r.err;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_NE(r.out.find("exists: 0\ngetdef: \nlock: 0\n"), std::string::npos)
      << r.out;
  EXPECT_TRUE(Names(app.users()).empty()) << "each repair kept a home";
}

TEST(PlantedFiles, APrivateRegistryStaysPrivateWhileRewritten) {
  AppTree app;
  std::string big = "[NUSER]\r\nNO=0\r\n[PAD]\r\n";
  for (int i = 0; i < 40000; ++i)
    big += "k" + std::to_string(i) + "=padding padding padding\r\n";
  WriteFile(app.registry(), big);
  ASSERT_EQ(::chmod(app.registry().c_str(), 0600), 0);
  std::vector<std::string> args;
  for (int i = 0; i < 30; ++i) {
    args.push_back("setdef");
    args.push_back("User" + std::to_string(i));
  }
  std::vector<std::string> argv{"/usr/bin/timeout", "-k", "5", "60"};
  for (const std::string& a : app.HostArgv(args)) argv.push_back(a);
  Child writer(argv);
  std::set<mode_t> seen;
  int polls = 0;
  // Watch the replacements while the writer makes them.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < end) {
    for (const std::string& name : Names(app.prog())) {
      if (name.rfind("USER.INI.~", 0) == 0) {
        struct stat st {};
        // From its creation on: it never holds more than the registry's
        // own mode allows.
        if (::stat((app.prog() + "/" + name).c_str(), &st) == 0) {
          seen.insert(st.st_mode & 07777);
        }
      }
    }
    if (++polls % 64 == 0 &&
        ReadFile(app.registry()).find("DefaultUser=User29") !=
            std::string::npos) {
      break;
    }
  }
  EXPECT_EQ(writer.Wait(), 0);
  EXPECT_FALSE(seen.empty()) << "no replacement was seen";
  for (mode_t mode : seen) EXPECT_EQ(mode, 0600u);
  EXPECT_EQ(ModeOf(app.registry()), 0600u);
}

TEST(PlantedFiles, AHardLinkedLockFileIsNeverTruncated) {
  AppTree app;
  ASSERT_EQ(HostRun(app, {"verify", "create", "Bob"}).status, 0);
  const std::string outside = app.root() + "/precious";
  WriteFile(outside, "43 bytes that belong to somebody else ....\n");
  const std::string lock = app.Home("Bob00000") + "/IKIVO.SMP";
  fs::remove(lock);
  fs::create_hard_link(outside, lock);
  RunResult r = HostRun(app, {"create-unregistered", "Bob"});
  EXPECT_NE(r.err.find("Line : 683"), std::string::npos) << r.err;
  EXPECT_EQ(fs::file_size(outside), 43u);
  const std::string cause =
      InProcessAs(app, static_cast<uid_t>(-1), 0, {}, [](ModuleHandle h) {
        char name[] = "Bob";
        CreateUserProfile(h, name, 0);
        return std::string();
      });
  EXPECT_NE(cause.find("2 links"), std::string::npos) << cause;
}

TEST(PlantedFiles, ACreationThatCannotRegisterLeavesNoHome) {
  AppTree app;
  ASSERT_EQ(HostRun(app, {"verify"}).status, 0);
  ASSERT_EQ(::chmod(app.registry().c_str(), 0444), 0);
  RunResult r = HostRun(app, {"create", "Carol", "create", "Carol", "createex",
                              app.users(), app.registry(), "7", "Dave"});
  EXPECT_NE(r.err.find("Line : 730"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("createex: \n"), std::string::npos) << r.out;
  EXPECT_EQ(Names(app.users()), std::set<std::string>{"Default0"});
}

}  // namespace
