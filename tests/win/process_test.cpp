// The Windows build between real processes: the user lock held by one host
// process and refused to another until released, the DLL's export table
// as a host resolves it, and the module path limit with real program
// files. The hosts are copied into an application tree in a temporary
// directory, so every file follows from their real module paths.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/platform.h"
#include "support/apptree.h"
#include "support/process.h"

namespace fs = std::filesystem;
using testing_support::Exists;
using testing_support::Join;
using testing_support::TempTree;
using testing_support::Child;
using testing_support::Run;
using testing_support::RunResult;
using userprofile::kSeparator;

namespace {

// The directory of this test program, where the build puts the hosts and
// the DLL.
std::string BuildDir() {
  char path[MAX_PATH];
  DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  return fs::path(std::string(path, n)).parent_path().string();
}

// An application tree: <tree>\APP\PROG\MAIN.EXE is a copy of a test host
// (with userprofile.dll beside it when the host links the DLL).
class AppTree {
 public:
  enum Host { kDllHost, kStaticHost };

  explicit AppTree(Host host, const std::string& prog = "") {
    prog_ = prog.empty() ? tree_.At({"APP", "PROG"}) : prog;
    fs::create_directories(prog_);
    host_ = Join({prog_, "MAIN.EXE"});
    const std::string build = BuildDir();
    if (host == kDllHost) {
      fs::copy_file(Join({build, "up_host_dll.exe"}), host_);
      fs::copy_file(Join({build, "userprofile.dll"}),
                    Join({prog_, "userprofile.dll"}));
    } else {
      fs::copy_file(Join({build, "up_host_static.exe"}), host_);
    }
  }

  std::vector<std::string> Argv(std::vector<std::string> args) const {
    args.insert(args.begin(), host_);
    return args;
  }
  RunResult Host(const std::vector<std::string>& args) const {
    return Run(Argv(args));
  }
  std::string Registry() const { return Join({prog_, "USER.INI"}); }
  std::string Home(std::string_view dir_name) const {
    return Join({fs::path(prog_).parent_path().string(), "USER", dir_name});
  }
  std::string Lock(std::string_view dir_name) const {
    return Join({Home(dir_name), "IKIVO.SMP"});
  }
  const TempTree& tree() const { return tree_; }

 private:
  TempTree tree_;
  std::string prog_;
  std::string host_;
};

// Reads the next line of a host, failing the test on a timeout.
std::string Next(Child& child) {
  std::optional<std::string> line = child.ReadLine();
  EXPECT_TRUE(line.has_value()) << "host said nothing; stderr: " << child.err();
  return line.value_or("");
}

}  // namespace

TEST(WinLock, SecondProcessIsRefusedUntilFirstSignsOut) {
  AppTree app(AppTree::kDllHost);
  ASSERT_EQ(app.Host({"create", "Ann Lee"}).out, "create: Ann Lee\n");
  Child holder(app.Argv({"lock", "Ann Lee", "wait", "unlock", "wait"}));
  EXPECT_EQ(Next(holder), "lock: 1");
  EXPECT_EQ(Next(holder), "wait: ready");

  EXPECT_EQ(app.Host({"lock", "ann lee"}).out, "lock: 0\n");
  EXPECT_EQ(app.Host({"lock", "Ann Lee"}).out, "lock: 0\n");

  holder.WriteLine("go");
  EXPECT_EQ(Next(holder), "unlock: done");
  EXPECT_EQ(Next(holder), "wait: ready");
  EXPECT_EQ(app.Host({"lock", "Ann Lee", "unlock"}).out,
            "lock: 1\nunlock: done\n");
  holder.WriteLine("end");
  EXPECT_EQ(holder.Wait(), 0);
}

TEST(WinLock, LockIsReleasedWhenHolderEnds) {
  AppTree app(AppTree::kDllHost);
  app.Host({"create", "Ann Lee"});
  {
    Child holder(app.Argv({"lock", "Ann Lee", "wait"}));
    EXPECT_EQ(Next(holder), "lock: 1");
    EXPECT_EQ(Next(holder), "wait: ready");
    EXPECT_EQ(app.Host({"lock", "Ann Lee"}).out, "lock: 0\n");
    holder.Kill(9);
    holder.Wait();
  }
  EXPECT_EQ(app.Host({"lock", "Ann Lee"}).out, "lock: 1\n");
}

TEST(WinLock, HeldLockFileCanBeNeitherRecreatedNorOpenedAgain) {
  AppTree app(AppTree::kStaticHost);
  app.Host({"create", "Ann Lee"});
  Child holder(app.Argv({"lock", "Ann Lee", "wait"}));
  ASSERT_EQ(Next(holder), "lock: 1");
  ASSERT_EQ(Next(holder), "wait: ready");

  userprofile::Platform& sys = userprofile::NativePlatform();
  const std::string lock = app.Lock("AnnLee00");
  EXPECT_TRUE(sys.IsNormalFile(lock));
  // Refused with the cause: another sign-in holds the file.
  EXPECT_EQ(sys.CreateEmptyFile(lock).kind(), userprofile::Failure::kSignedInElsewhere);
  userprofile::LockHandle handle = userprofile::kNoLock;
  EXPECT_EQ(sys.OpenExclusive(lock, handle).kind(),
            userprofile::Failure::kSignedInElsewhere);
  EXPECT_EQ(handle, userprofile::kFailedLock);

  // Another host is refused quietly: the held file still counts as
  // present, so nothing tries to create it and nothing is reported.
  RunResult other = app.Host({"lock", "Ann Lee", "verify"});
  EXPECT_EQ(other.out, "lock: 0\nverify: done\n");
  EXPECT_EQ(other.err, "DEBUG: Creating Default User\n");

  holder.WriteLine("end");
  EXPECT_EQ(holder.Wait(), 0);
  // No stand-in lock ever appeared beside the real one.
  for (const auto& entry : fs::directory_iterator(app.Home("AnnLee00"))) {
    EXPECT_EQ(entry.path().filename().string(), "IKIVO.SMP");
  }
}

TEST(WinLock, ProcessesEachStartWithEmptyState) {
  AppTree app(AppTree::kStaticHost);
  app.Host({"create", "Ann Lee", "setdef", "Ann Lee"});
  // A new process has no current user until it reads the default, and no
  // lock to close.
  RunResult r = app.Host({"home", "unlock", "getdef", "home"});
  EXPECT_EQ(r.out, "home: \nunlock: done\ngetdef: Ann Lee\nhome: " +
                       app.Home("AnnLee00") + kSeparator + "\n");
  EXPECT_EQ(r.err,
            "Assertion Failure: File : userprofile, Line : 575\n"
            "Assertion Failure: File : userprofile, Line : 576\n"
            "Assertion Failure: File : userprofile, Line : 326\n"
            "Assertion Failure: File : userprofile, Line : 580\n"
            "Assertion Failure: File : userprofile, Line : 667\n");
}

TEST(WinHost, DllHostAnchorsFilesAtItsOwnPath) {
  AppTree app(AppTree::kDllHost);
  RunResult r = app.Host({"verify", "exists", "Default", "dir", "default",
                          "wep"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "verify: done\nexists: 1\ndir: " + app.Home("Default0") +
                       kSeparator + "\nwep: 1\n");
  EXPECT_EQ(testing_support::ReadFile(app.Registry()),
            "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Default,Default0\r\n"
            "[DEFUSER]\r\nDefaultUser=Default\r\n");
  EXPECT_TRUE(Exists(app.Lock("Default0")));
}

TEST(WinHost, ReportWithoutDisplayDoesNotBlock) {
  // The DLL shows reports in message boxes; with no display they return
  // at once and the call goes on.
  AppTree app(AppTree::kDllHost);
  RunResult r = app.Host({"dir", "", "valid", "Ann Lee"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "dir: \nvalid: 1\n");
}

// The module path is fetched into 128 bytes: 127 characters are used,
// 128 are taken as cut and refused (check 125) before any file is touched.
TEST(WinModule, PathOf127IsUsedAnd128IsRefused) {
  TempTree tree;
  for (std::size_t length : {127u, 128u, 140u}) {
    // <tree>\DDD...\MAIN.EXE with the directory padded to the length.
    const std::size_t fixed = tree.path().size() + 1 + 1 + 8;
    ASSERT_LT(fixed + 1, length);
    const std::string dir =
        Join({tree.path(), std::to_string(length) + std::string(length - fixed - 3, 'D')});
    ASSERT_EQ(dir.size() + 1 + 8, length);
    AppTree app(AppTree::kStaticHost, dir);
    RunResult r = app.Host({"setdef", "Ann"});
    EXPECT_EQ(r.out, "setdef: Ann\n");
    if (length == 127) {
      EXPECT_EQ(r.err, "");
      EXPECT_EQ(testing_support::ReadFile(Join({dir, "USER.INI"})),
                "[DEFUSER]\r\nDefaultUser=Ann\r\n");
    } else {
      EXPECT_EQ(r.err, "Assertion Failure: File : userprofile, Line : 125\n")
          << length;
      EXPECT_FALSE(Exists(Join({dir, "USER.INI"})));
    }
  }
}

TEST(WinDll, ExportsResolveByNameAndByOrdinal) {
  const std::string dll = Join({BuildDir(), "userprofile.dll"});
  HMODULE module = ::LoadLibraryA(dll.c_str());
  ASSERT_NE(module, nullptr) << dll;
  const char* const names[] = {
      "WEP", "IsEntryValid", "DoesUserExist", "GetProperHomeDirName",
      "CreateUserProfile", "CreateUserProfileEx", "GetDefaultUser",
      "SetDefaultUser", "GetUserHomeDir", "GetDirForUser", "ValidUserName",
      "openUserSemaphoreFile", "CloseUserSemaphoreFile", "VerifyUserProfiles"};
  for (int ordinal = 1; ordinal <= 14; ++ordinal) {
    FARPROC by_name = ::GetProcAddress(module, names[ordinal - 1]);
    FARPROC by_ordinal = ::GetProcAddress(
        module, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(ordinal)));
    EXPECT_NE(by_name, nullptr) << names[ordinal - 1];
    EXPECT_EQ(by_name, by_ordinal) << names[ordinal - 1] << " @" << ordinal;
  }
  EXPECT_EQ(::GetProcAddress(module, reinterpret_cast<LPCSTR>(ULONG_PTR{15})),
            nullptr);
  EXPECT_EQ(::GetProcAddress(module, "LibraryLoad"), nullptr);
  EXPECT_EQ(::GetProcAddress(module, "_WEP@4"), nullptr);

  using ValidFn = int(__stdcall*)(const char*);
  using WepFn = int(__stdcall*)(int);
  auto valid = reinterpret_cast<ValidFn>(
      reinterpret_cast<void*>(::GetProcAddress(module, "ValidUserName")));
  auto wep = reinterpret_cast<WepFn>(
      reinterpret_cast<void*>(::GetProcAddress(module, "WEP")));
  ASSERT_NE(valid, nullptr);
  EXPECT_EQ(valid("Ann Lee"), 1);
  EXPECT_EQ(valid("O'Brien"), 0);
  EXPECT_EQ(wep(0), 1);
  ::FreeLibrary(module);
}

// The harness itself: a hung child fails its test at a deadline, and a
// process that outlives the child while holding its output pipe (as Wine's
// desktop may) does not hold the test.
TEST(WinHarness, HungChildIsKilledAtItsDeadlineAndOutlivingPipeHolderIsNotWaitedFor) {
  AppTree app(AppTree::kStaticHost);
  auto start = std::chrono::steady_clock::now();
  RunResult hung = testing_support::Run(app.Argv({"sleep", "60000"}), "",
                       std::chrono::milliseconds(500));
  EXPECT_EQ(hung.status, testing_support::kTimedOut);
  RunResult orphaned = app.Host({"spawn-sleeper", "20000", "wep"});
  EXPECT_EQ(orphaned.status, 0);
  EXPECT_EQ(orphaned.out, "spawn-sleeper: 0\nwep: 1\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}
