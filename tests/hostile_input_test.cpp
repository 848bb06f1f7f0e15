// Hostile input: null pointers, oversized and odd names, damaged or
// tampered registries, and application trees arranged to mislead. Every
// case ends in a check report or a clear refusal; nothing the registry
// held is lost, no buffer overflows (the in-process cases hand over
// buffers of exactly the documented size, so AddressSanitizer sees any
// overrun), and nothing is created or opened outside the application tree.
#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>

#include "registry/profile_document.h"
#include "registry/profile.h"
#include "registry/registry.h"
#include "support/apptree.h"
#include "userprofile.h"

using namespace testing_support;
namespace fs = std::filesystem;
using Checks = std::vector<unsigned>;

namespace {

// A scratch application tree served in this process: the module is
// <root>/APP/PROG/MAIN, so the registry is <root>/APP/PROG/USER.INI and the
// users root <root>/APP/USER. <root> itself stands for "outside".
class Scratch {
 public:
  Scratch() : root_(MakeTempDir()) {
    MakeDirs(prog());
    app_ = std::make_unique<InProcessApp>(prog() + "/MAIN");
  }
  ~Scratch() {
    app_.reset();
    RemoveTree(root_);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  ModuleHandle h() const { return app_->handle(); }
  const std::string& root() const { return root_; }
  std::string prog() const { return root_ + "/APP/PROG"; }
  std::string users() const { return root_ + "/APP/USER"; }
  std::string registry() const { return prog() + "/USER.INI"; }
  std::string Home(const std::string& dir) const { return users() + "/" + dir; }
  Checks TakeChecks() { return app_->TakeChecks(); }

 private:
  std::string root_;
  std::unique_ptr<InProcessApp> app_;
};

// A caller's buffer of exactly the text and its terminator.
std::vector<char> Text(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('\0');
  return buffer;
}

// An output buffer of exactly `size` bytes, filled with a marker.
std::vector<char> Out(std::size_t size) {
  std::vector<char> buffer(size, '#');
  buffer.back() = '\0';
  return buffer;
}

std::string Str(const std::vector<char>& buffer) {
  return std::string(buffer.data());
}

// Every path below `dir` (links not followed) with its kind.
std::map<std::string, std::string> Listing(const std::string& dir) {
  std::map<std::string, std::string> paths;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::file_status st = it->symlink_status();
    std::string kind = fs::is_symlink(st)     ? "link"
                       : fs::is_directory(st) ? "dir"
                                              : "file";
    if (kind == "file") kind += ":" + ReadFile(it->path().string());
    paths[fs::relative(it->path(), dir).string()] = kind;
  }
  return paths;
}

// Paths that appeared or changed between two listings.
std::vector<std::string> Changed(const std::map<std::string, std::string>& before,
                                 const std::map<std::string, std::string>& after) {
  std::vector<std::string> changed;
  for (const auto& [path, kind] : after) {
    auto was = before.find(path);
    if (was == before.end() || was->second != kind) changed.push_back(path);
  }
  return changed;
}

// Fails for every new or changed path that is not inside one of `inside`
// (relative to the scratch root).
void ExpectOnlyInside(const std::map<std::string, std::string>& before,
                      const std::map<std::string, std::string>& after,
                      const std::vector<std::string>& inside) {
  for (const std::string& path : Changed(before, after)) {
    bool ok = false;
    for (const std::string& dir : inside) {
      ok = ok || path == dir || path.rfind(dir + "/", 0) == 0;
    }
    EXPECT_TRUE(ok) << "touched outside the tree: " << path;
  }
}

bool Contains(const Checks& checks, unsigned check) {
  return std::find(checks.begin(), checks.end(), check) != checks.end();
}

// Root passes every permission check: to see what a read-only file or
// directory does to the library, a test running as root lays down the
// override for its own length.
class WithoutPermissionOverride {
 public:
  WithoutPermissionOverride() {
    if (::geteuid() != 0) {
      active_ = true;
      return;
    }
    if (::syscall(SYS_capget, &header_, data_) != 0) return;
    saved_ = data_[0].effective;
    data_[0].effective &= ~((1u << CAP_DAC_OVERRIDE) |
                            (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
    active_ = ::syscall(SYS_capset, &header_, data_) == 0;
    dropped_ = active_;
  }
  ~WithoutPermissionOverride() {
    if (!dropped_) return;
    data_[0].effective = saved_;
    ::syscall(SYS_capset, &header_, data_);
  }
  WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
  WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;
  // False if permissions cannot be made to bite here.
  bool active() const { return active_; }

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data_[2]{};
  std::uint32_t saved_ = 0;
  bool active_ = false;
  bool dropped_ = false;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

// --- Null pointers ------------------------------------------------------

TEST(NullArguments, EveryPointerArgumentIsReportedNeverFollowed) {
  Scratch s;
  VerifyUserProfiles(s.h());
  std::vector<char> def = Out(USERPROFILE_DEFAULT_SIZE);
  GetDefaultUser(s.h(), def.data());  // a registered current user
  s.TakeChecks();
  const std::string registry = ReadFile(s.registry());
  const auto tree = Listing(s.root());
  const std::string ex_base = s.root() + "/EX";
  const std::string ex_registry = s.root() + "/EX.INI";

  std::vector<char> out = Out(USERPROFILE_PATH_SIZE);
  std::vector<char> home9 = Out(USERPROFILE_HOMEDIRNAME_SIZE);
  std::vector<char> name = Text("Ann");
  std::vector<char> spaced = Text("  Ann ");
  struct Case {
    const char* call;
    std::function<void()> run;
    Checks checks;
  };
  const std::vector<Case> cases = {
      {"IsEntryValid(NULL)", [] { EXPECT_EQ(IsEntryValid(nullptr), 1); }, {}},
      {"ValidUserName(NULL)", [] { EXPECT_EQ(ValidUserName(nullptr), 0); }, {}},
      {"DoesUserExist(h, NULL)",
       [&] { EXPECT_EQ(DoesUserExist(s.h(), nullptr), 0); }, {326}},
      {"GetProperHomeDirName(NULL, out)",
       [&] { GetProperHomeDirName(nullptr, home9.data()); }, {365}},
      {"GetProperHomeDirName(name, NULL)",
       [&] {
         GetProperHomeDirName(spaced.data(), nullptr);
         EXPECT_EQ(Str(spaced), "Ann");  // still trimmed in place
       },
       {369}},
      {"CreateUserProfile(h, NULL, 1)",
       [&] { CreateUserProfile(s.h(), nullptr, 1); }, {503}},
      {"CreateUserProfileEx(NULL, ...)",
       [&] {
         CreateUserProfileEx(nullptr, ex_registry.c_str(), 1, name.data(),
                             out.data());
       },
       {505}},
      {"CreateUserProfileEx(base, NULL, ...)",
       [&] {
         CreateUserProfileEx(ex_base.c_str(), nullptr, 1, name.data(), out.data());
       },
       {506}},
      {"CreateUserProfileEx(base, registry, n, NULL, out)",
       [&] {
         CreateUserProfileEx(ex_base.c_str(), ex_registry.c_str(), 1, nullptr,
                             out.data());
       },
       {507}},
      {"CreateUserProfileEx(base, registry, n, name, NULL)",
       [&] {
         CreateUserProfileEx(ex_base.c_str(), ex_registry.c_str(), 1,
                             name.data(), nullptr);
       },
       {508}},
      {"GetDefaultUser(h, NULL)", [&] { GetDefaultUser(s.h(), nullptr); }, {540}},
      {"SetDefaultUser(h, NULL)", [&] { SetDefaultUser(s.h(), nullptr); }, {541}},
      {"GetUserHomeDir(h, NULL)", [&] { GetUserHomeDir(s.h(), nullptr); }, {245}},
      {"GetDirForUser(h, NULL, out)",
       [&] { GetDirForUser(s.h(), nullptr, out.data()); }, {608}},
      {"GetDirForUser(h, name, NULL)",
       [&] { GetDirForUser(s.h(), "Default", nullptr); }, {245}},
      {"openUserSemaphoreFile(NULL, h)",
       [&] { EXPECT_EQ(openUserSemaphoreFile(nullptr, s.h()), 0); }, {643}},
  };
  for (const Case& c : cases) {
    c.run();
    EXPECT_EQ(s.TakeChecks(), c.checks) << c.call;
  }
  // Outputs of refused calls are left as they were.
  EXPECT_EQ(Str(out), std::string(USERPROFILE_PATH_SIZE - 1, '#'));
  EXPECT_EQ(Str(home9), std::string(USERPROFILE_HOMEDIRNAME_SIZE - 1, '#'));
  EXPECT_EQ(ReadFile(s.registry()), registry);
  EXPECT_TRUE(Changed(tree, Listing(s.root())).empty());
}

TEST(NullArguments, NullModuleMeansTheMainProgram) {
  AppTree app;
  RunResult r = app.Host({"null-module", "verify", "exists", "Default", "dir",
                          "Default", "lock", "Default", "unlock"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "verify: done\nexists: 1\ndir: " + app.Home("Default0") +
                       "/\nlock: 1\nunlock: done\n");
  EXPECT_TRUE(Contains(ChecksIn(r.err), 124));
  EXPECT_TRUE(IsFile(app.Home("Default0") + "/IKIVO.SMP"));
}

// --- Oversized names ----------------------------------------------------

class LongNames : public ::testing::TestWithParam<std::size_t> {};

TEST_P(LongNames, NothingOverflowsAndNoSuchNameBecomesAUser) {
  const std::size_t length = GetParam();
  const std::string name = "A" + std::string(length - 1, 'b');
  Scratch s;
  VerifyUserProfiles(s.h());

  EXPECT_EQ(ValidUserName(Text(name).data()), 0);
  EXPECT_EQ(IsEntryValid(Text(name + ",AAAAAAAA").data()), 0);
  EXPECT_EQ(DoesUserExist(s.h(), Text(name).data()), 0);

  std::vector<char> padded = Text("  " + name + "  ");
  std::vector<char> home9 = Out(USERPROFILE_HOMEDIRNAME_SIZE);
  GetProperHomeDirName(padded.data(), home9.data());
  EXPECT_EQ(Str(home9), "Abbbbbbb");
  EXPECT_EQ(Str(padded), name);

  std::vector<char> created = Text(name);
  CreateUserProfile(s.h(), created.data(), 1);
  EXPECT_EQ(DoesUserExist(s.h(), name.c_str()), 0);
  EXPECT_TRUE(IsDir(s.Home("Abbbbbbb")));

  const std::string base = s.root() + "/EX";
  std::vector<char> ex_out = Out(base.size() + 10);
  std::vector<char> ex_name = Text(name);
  CreateUserProfileEx(base.c_str(), (s.root() + "/EX.INI").c_str(), 3,
                      ex_name.data(), ex_out.data());
  EXPECT_EQ(Str(ex_out), base + "/Abbbbbbb");

  SetDefaultUser(s.h(), Text(name).data());
  std::vector<char> def = Out(USERPROFILE_DEFAULT_SIZE);
  GetDefaultUser(s.h(), def.data());
  EXPECT_EQ(Str(def), name.substr(0, USERPROFILE_DEFAULT_SIZE - 1));
  std::vector<char> home = Out(USERPROFILE_PATH_SIZE);
  GetUserHomeDir(s.h(), home.data());
  EXPECT_EQ(Str(home), "");
  GetDirForUser(s.h(), Text(name).data(), home.data());
  EXPECT_EQ(Str(home), "");
  EXPECT_EQ(openUserSemaphoreFile(Text(name).data(), s.h()), 0);
  CloseUserSemaphoreFile();

  // The repair drops what no lookup can reach and keeps "Default".
  VerifyUserProfiles(s.h());
  EXPECT_EQ(DoesUserExist(s.h(), "Default"), 1);
  GetDefaultUser(s.h(), def.data());
  EXPECT_EQ(Str(def), "Default");
}

INSTANTIATE_TEST_SUITE_P(HostileInput, LongNames,
                         ::testing::Values(32, 200, 10000));

TEST(LongNamesThroughTheHost, NothingOverflowsInARealProcess) {
  AppTree app;
  const std::string name = "A" + std::string(3999, 'b');
  RunResult r = app.Host({"verify", "valid", name, "homename", " " + name,
                          "create", name, "exists", name, "dir", name, "lock",
                          name, "setdef", name, "getdef", "home", "verify",
                          "exists", "Default"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("valid: 0\n"), std::string::npos);
  EXPECT_NE(r.out.find("homename: [" + name + "] Abbbbbbb\n"), std::string::npos);
  EXPECT_NE(r.out.find("lock: 0\n"), std::string::npos);
  EXPECT_NE(r.out.find("getdef: A" + std::string(31, 'b') + "\nhome: \n"),
            std::string::npos);
  EXPECT_EQ(r.out.substr(r.out.size() - 10), "exists: 1\n");
}

// --- Line breaks, control bytes and high bytes ----------------------------

TEST(LineBreaksInNames, NeverInjectRegistryLines) {
  Scratch s;
  VerifyUserProfiles(s.h());
  s.TakeChecks();
  const std::string registry = ReadFile(s.registry());

  std::vector<char> name = Text("Eve\r\n[LUSER]\r\n1=Eve,Eve00000");
  CreateUserProfile(s.h(), name.data(), 1);
  EXPECT_TRUE(Contains(s.TakeChecks(), 730));
  SetDefaultUser(s.h(), "Eve\nDefaultUser=Eve");
  EXPECT_TRUE(Contains(s.TakeChecks(), 730));
  std::vector<char> ex_name = Text("Eve\rX");
  std::vector<char> out = Out(USERPROFILE_PATH_SIZE);
  CreateUserProfileEx(s.users().c_str(), s.registry().c_str(), 1, ex_name.data(),
                      out.data());
  EXPECT_TRUE(Contains(s.TakeChecks(), 730));

  EXPECT_EQ(ReadFile(s.registry()), registry);
  EXPECT_EQ(DoesUserExist(s.h(), "Eve"), 0);
  EXPECT_EQ(DoesUserExist(s.h(), "Default"), 1);
}

TEST(ControlBytesInNames, ValidNamesComeBackAsWritten) {
  // Tabs and other blanks at either end of an entry would be trimmed away
  // on reading: the user would be lost, or not found by its own name.
  const std::vector<std::string> names = {"\tAnn", "Abcdefg\t", "Bo\x01\x7F",
                                          "Cy\x1A", "\x0B\x0C" "Di"};
  Scratch s;
  VerifyUserProfiles(s.h());
  for (const std::string& name : names) {
    ASSERT_EQ(ValidUserName(name.c_str()), 1);
    std::vector<char> buffer = Text(name);
    CreateUserProfile(s.h(), buffer.data(), 1);
  }
  VerifyUserProfiles(s.h());
  const std::string settled = ReadFile(s.registry());
  VerifyUserProfiles(s.h());
  EXPECT_EQ(ReadFile(s.registry()), settled);
  for (const std::string& name : names) {
    EXPECT_GT(DoesUserExist(s.h(), name.c_str()), 0) << "lost: " << name;
    std::vector<char> dir = Out(USERPROFILE_PATH_SIZE);
    GetDirForUser(s.h(), name.c_str(), dir.data());
    EXPECT_TRUE(IsFile(Str(dir) + "IKIVO.SMP")) << name;
    EXPECT_EQ(openUserSemaphoreFile(name.c_str(), s.h()), 1) << name;
    CloseUserSemaphoreFile();
  }
}

TEST(HighBytesInNames, AreKeptAndCompareAsTheAnsiPageSays) {
  Scratch s;
  std::vector<char> name = Text("Ren\xE9");
  CreateUserProfile(s.h(), name.data(), 1);
  EXPECT_EQ(DoesUserExist(s.h(), "REN\xC9"), 1);
  // The home field keeps the name's bytes; its directory is their
  // characters in UTF-8, as Wine and Samba store a Windows host's names.
  EXPECT_NE(ReadFile(s.registry()).find("=Ren\xE9,Ren\xE9" "0000\r\n"),
            std::string::npos);
  EXPECT_TRUE(IsFile(s.Home("Ren\xC3\xA9" "0000") + "/IKIVO.SMP"));
  EXPECT_EQ(ValidUserName("\xE9"), 0);
  std::vector<char> high = Text("\xFF\xFE\x80\xA0Zed");
  CreateUserProfile(s.h(), high.data(), 1);
  EXPECT_EQ(DoesUserExist(s.h(), "\xFF\xFE\x80\xA0Zed"), 2);
}

// --- Escaping the tree ------------------------------------------------------

TEST(PathEscapesInNames, NothingIsCreatedOutsideTheTree) {
  Scratch s;
  VerifyUserProfiles(s.h());
  MakeDirs(s.root() + "/OUT");
  const auto before = Listing(s.root());
  for (std::string name : {"../../OUT/x", "..", "a/b", "/", "../USER2",
                           "./../..", "....////"}) {
    std::vector<char> buffer = Text(name);
    CreateUserProfile(s.h(), buffer.data(), 1);
    buffer = Text(name);
    std::vector<char> out = Out(s.root().size() + 32);
    CreateUserProfileEx((s.root() + "/EX").c_str(),
                        (s.root() + "/EX/X.INI").c_str(), 1, buffer.data(),
                        out.data());
    EXPECT_EQ(openUserSemaphoreFile(name.c_str(), s.h()), 0);
    CloseUserSemaphoreFile();
  }
  ExpectOnlyInside(before, Listing(s.root()), {"APP/USER", "APP/PROG", "EX"});
  EXPECT_TRUE(fs::is_empty(s.root() + "/OUT"));
  VerifyUserProfiles(s.h());
  EXPECT_EQ(DoesUserExist(s.h(), "Default"), 1);
}

TEST(PathEscapesInRegistry, EntriesNeverLeadOutOfTheUsersRoot) {
  Scratch s;
  MakeDirs(s.users());
  MakeDirs(s.root() + "/xx");
  WriteFile(s.registry(),
            "[NUSER]\r\nNO=4\r\n[LUSER]\r\n1=Ann,../../xx\r\n2=Bob,../PROG/\r\n"
            "3=Cy,..\\..\\xx\r\n4=Di,........\r\n");
  const auto before = Listing(s.root());
  for (const char* name : {"Ann", "Bob"}) {
    std::vector<char> dir = Out(USERPROFILE_PATH_SIZE);
    GetDirForUser(s.h(), name, dir.data());
    EXPECT_EQ(Str(dir), "") << name;
    EXPECT_TRUE(Contains(s.TakeChecks(), 616)) << name;
    EXPECT_EQ(openUserSemaphoreFile(name, s.h()), 0) << name;
    CloseUserSemaphoreFile();
  }
  // The repair gives each user a home under the users root instead.
  VerifyUserProfiles(s.h());
  for (const char* name : {"Ann", "Bob", "Cy", "Di"}) {
    std::vector<char> dir = Out(USERPROFILE_PATH_SIZE);
    GetDirForUser(s.h(), name, dir.data());
    EXPECT_EQ(Str(dir).rfind(s.users() + "/", 0), 0u) << name << ": " << Str(dir);
    EXPECT_EQ(openUserSemaphoreFile(name, s.h()), 1) << name;
    CloseUserSemaphoreFile();
  }
  ExpectOnlyInside(before, Listing(s.root()), {"APP/USER", "APP/PROG"});
  EXPECT_TRUE(fs::is_empty(s.root() + "/xx"));
}

TEST(SymlinkedHome, NoLockFileIsCreatedOrOpenedThroughIt) {
  AppTree app;
  ASSERT_EQ(app.Host({"verify", "create", "Ann Lee"}).status, 0);
  const std::string outside = app.root() + "/OUTSIDE";
  MakeDirs(outside);
  fs::remove_all(app.Home("AnnLee00"));
  fs::create_directory_symlink(outside, app.Home("AnnLee00"));

  RunResult r = app.Host({"verify", "lock", "Ann Lee", "create-unregistered",
                          "Ann Lee", "dir", "Ann Lee"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("lock: 0\n"), std::string::npos);  // refused, not held
  EXPECT_TRUE(Contains(ChecksIn(r.err), 683));           // and reported
  EXPECT_TRUE(fs::is_empty(outside)) << "a file was made through the link";
  // The link is left as it is, and the user keeps the entry.
  EXPECT_TRUE(fs::is_symlink(app.Home("AnnLee00")));
  EXPECT_NE(r.out.find("dir: " + app.Home("AnnLee00") + "/\n"), std::string::npos);

  // Once the link is replaced by a directory, the user signs in again.
  fs::remove(app.Home("AnnLee00"));
  RunResult fixed = app.Host({"verify", "lock", "Ann Lee"});
  EXPECT_EQ(fixed.out, "verify: done\nlock: 1\n");
}

// The registry's update lock file replaced by a link to a file elsewhere:
// a lock taken through it would serialize nothing, so it is never taken,
// and the update is refused. The registry and the file stay as they were.
TEST(LinkedUpdateLock, UpdateIsRefusedAndNothingChanges) {
  Scratch s;
  char ann[] = "Ann";
  CreateUserProfile(s.h(), ann, 1);
  ASSERT_EQ(DoesUserExist(s.h(), "Ann"), 1);
  const std::string lock = s.registry() + ".lock";
  const std::string outside = s.root() + "/outside";
  WriteFile(outside, "kept\n");
  fs::remove(lock);
  fs::create_symlink(outside, lock);
  const std::string before = ReadFile(s.registry());

  char bob[] = "Bob";
  CreateUserProfile(s.h(), bob, 1);
  EXPECT_EQ(ReadFile(s.registry()), before);
  EXPECT_EQ(DoesUserExist(s.h(), "Bob"), 0);
  EXPECT_EQ(ReadFile(outside), "kept\n");
  EXPECT_TRUE(fs::is_symlink(lock));
}

TEST(SymlinkedHome, DanglingLinkIsNotFollowedWhenItsTargetAppears) {
  AppTree app;
  ASSERT_EQ(app.Host({"verify", "create", "Ann Lee"}).status, 0);
  const std::string outside = app.root() + "/LATER";
  fs::remove_all(app.Home("AnnLee00"));
  fs::create_directory_symlink(outside, app.Home("AnnLee00"));
  // The repair passes over the name the link holds and gives the user a
  // real home beside it.
  ASSERT_EQ(app.Host({"verify"}).status, 0);
  MakeDirs(outside);
  RunResult r = app.Host({"verify", "lock", "Ann Lee", "dir", "Ann Lee"});
  EXPECT_NE(r.out.find("lock: 1\n"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("dir: " + app.Home("AnnLee01") + "/\n"),
            std::string::npos);
  EXPECT_TRUE(fs::is_symlink(app.Home("AnnLee00")));
  EXPECT_TRUE(fs::is_empty(outside));
}

TEST(Allocation, NameHeldByAFileIsPassedOver) {
  AppTree app;
  MakeDirs(app.users());
  WriteFile(app.Home("AnnLee00"), "not a directory");
  RunResult r = app.Host({"create", "Ann Lee", "dir", "Ann Lee", "lock",
                          "Ann Lee"});
  EXPECT_EQ(r.out, "create: Ann Lee\ndir: " + app.Home("AnnLee01") +
                       "/\nlock: 1\n");
  EXPECT_EQ(ReadFile(app.Home("AnnLee00")), "not a directory");
}

TEST(SymlinkedLockFile, LinkTargetIsNeverTruncatedOrHeld) {
  AppTree app;
  ASSERT_EQ(app.Host({"verify", "create", "Ann Lee"}).status, 0);
  const std::string victim = app.root() + "/victim";
  WriteFile(victim, "precious");
  fs::remove(app.Home("AnnLee00") + "/IKIVO.SMP");
  fs::create_symlink(victim, app.Home("AnnLee00") + "/IKIVO.SMP");

  RunResult r = app.Host({"create-unregistered", "Ann Lee", "verify", "lock",
                          "Ann Lee"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_NE(r.out.find("lock: 0\n"), std::string::npos);
  EXPECT_TRUE(Contains(ChecksIn(r.err), 683));
}

// --- Damaged and tampered registries --------------------------------------

TEST(HostileRegistry, BinaryGarbageIsKeptAndWorkedAround) {
  std::mt19937 rng(7);
  std::string garbage(64 * 1024, '\0');
  for (char& c : garbage) c = static_cast<char>(rng() & 0xFF);
  Scratch s;
  WriteFile(s.registry(), garbage);
  EXPECT_EQ(DoesUserExist(s.h(), "Default"), 0);
  VerifyUserProfiles(s.h());
  std::vector<char> name = Text("Ann Lee");
  CreateUserProfile(s.h(), name.data(), 1);
  EXPECT_GT(DoesUserExist(s.h(), "Default"), 0);
  EXPECT_GT(DoesUserExist(s.h(), "Ann Lee"), 0);
  const std::string after = ReadFile(s.registry());
  EXPECT_EQ(after.substr(0, garbage.size()), garbage) << "garbage was lost";
  VerifyUserProfiles(s.h());
  EXPECT_EQ(ReadFile(s.registry()), after);
}

TEST(HostileRegistry, NulBytesEndALineAndAreKept) {
  using namespace std::string_literals;
  Scratch s;
  const std::string other = "[X]\r\nk=v\0w\r\n"s;
  WriteFile(s.registry(),
            "[NUSER]\r\nNO=1\0 9\r\n[LUSER]\r\n1=Ann,AnnLee00\0,garbage\r\n"s + other);
  EXPECT_EQ(DoesUserExist(s.h(), "Ann"), 1);
  VerifyUserProfiles(s.h());
  std::vector<char> name = Text("Bob");
  CreateUserProfile(s.h(), name.data(), 1);
  EXPECT_EQ(DoesUserExist(s.h(), "Ann"), 1);
  EXPECT_EQ(DoesUserExist(s.h(), "Bob"), 3);
  EXPECT_NE(ReadFile(s.registry()).find(other), std::string::npos);
  std::vector<char> dir = Out(USERPROFILE_PATH_SIZE);
  GetDirForUser(s.h(), "Ann", dir.data());
  EXPECT_TRUE(IsFile(Str(dir) + "IKIVO.SMP"));
}

// Every access reads the whole file and every write replaces it: a huge
// registry is slow (seconds per write, more under sanitizers), but whole
// and never a hang.
TEST(HostileRegistry, FiftyMegabytesStayWholeAndNeverHang) {
  Scratch s;
  std::string pad = "[PAD]\r\n";
  const std::string line(64 * 1024, 'p');
  for (int i = 0; pad.size() < 50u * 1024 * 1024; ++i) {
    pad += "k" + std::to_string(i) + "=" + line + "\r\n";
  }
  WriteFile(s.registry(), pad + "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Ann,AnnLee00\r\n");
  const auto start = std::chrono::steady_clock::now();
  VerifyUserProfiles(s.h());
  EXPECT_EQ(DoesUserExist(s.h(), "Ann"), 1);
  EXPECT_EQ(DoesUserExist(s.h(), "Default"), 2);
  EXPECT_TRUE(IsFile(s.Home("Default0") + "/IKIVO.SMP"));
  EXPECT_LT(SecondsSince(start), 90.0);
  const std::string after = ReadFile(s.registry());
  EXPECT_EQ(after.substr(0, pad.size()), pad) << "padding was lost";
}

TEST(HostileRegistry, ReadOnlyRegistryRefusesEveryWriteAtOnce) {
  for (bool drop_override : {false, true}) {
    SCOPED_TRACE(drop_override ? "without permission override" : "as started");
    Scratch s;
    VerifyUserProfiles(s.h());
    SetDefaultUser(s.h(), "ghost");  // so that the repair wants to write
    s.TakeChecks();
    const std::string registry = ReadFile(s.registry());
    ::chmod(s.registry().c_str(), 0444);
    std::optional<WithoutPermissionOverride> unprivileged;
    if (drop_override) {
      unprivileged.emplace();
      if (!unprivileged->active()) continue;
    }
    const auto start = std::chrono::steady_clock::now();
    SetDefaultUser(s.h(), "Default");
    EXPECT_EQ(s.TakeChecks(), Checks{730});
    std::vector<char> name = Text("Ann Lee");
    CreateUserProfile(s.h(), name.data(), 1);
    EXPECT_TRUE(Contains(s.TakeChecks(), 730));
    VerifyUserProfiles(s.h());
    Checks verify = s.TakeChecks();
    EXPECT_TRUE(Contains(verify, 730));
    EXPECT_FALSE(Contains(verify, 731)) << "waited for a lock";
    std::vector<char> ex_name = Text("Bo");
    std::vector<char> out = Out(USERPROFILE_PATH_SIZE);
    CreateUserProfileEx((s.root() + "/EX").c_str(), s.registry().c_str(), 7,
                        ex_name.data(), out.data());
    EXPECT_EQ(s.TakeChecks(), Checks{730});
    EXPECT_LT(SecondsSince(start), 5.0);
    unprivileged.reset();
    EXPECT_EQ(ReadFile(s.registry()), registry);
  }
}

TEST(HostileRegistry, CountAtTheLargestNumberDoesNotOverflow) {
  Scratch s;
  const std::string registry = "[NUSER]\r\nNO=2147483647\r\n";
  WriteFile(s.registry(), registry);
  userprofile::RegisterUser(s.registry(), "Ann", "Ann00000");
  EXPECT_EQ(s.TakeChecks(), Checks{730});
  EXPECT_EQ(ReadFile(s.registry()), registry);
}

// A count tampered to two billion must not keep a lookup or a repair busy
// for hours walking keys that the registry does not hold.
TEST(HostileRegistry, TamperedHugeCountAnswersInSeconds) {
  AppTree app;
  ASSERT_EQ(app.Host({"verify", "create", "Ann Lee"}).status, 0);
  std::string content = ReadFile(app.registry());
  content = *userprofile::profile::WithValue(content, "NUSER", "NO", "2000000000");
  WriteFile(app.registry(), content);
  Child host(app.HostArgv({"exists", "Bob", "exists", "Ann Lee", "verify",
                           "create", "Bob", "exists", "Bob"}));
  for (const char* expected :
       {"exists: 0", "exists: 2", "verify: done", "create: Bob", "exists: 3"}) {
    EXPECT_EQ(host.ReadLine(std::chrono::seconds(10)).value_or("(no answer)"),
              expected);
  }
}

// --- Damaged trees --------------------------------------------------------

TEST(HostileTree, UsersRootThatIsAFileIsReportedAndKept) {
  Scratch s;
  WriteFile(s.users(), "precious");
  VerifyUserProfiles(s.h());
  std::vector<char> name = Text("Ann Lee");
  CreateUserProfile(s.h(), name.data(), 1);
  Checks checks = s.TakeChecks();
  EXPECT_TRUE(Contains(checks, 408));
  EXPECT_TRUE(Contains(checks, 683));
  EXPECT_EQ(ReadFile(s.users()), "precious");
  EXPECT_EQ(DoesUserExist(s.h(), "Ann Lee"), 2);

  // Once the file is moved away, the repair gives every user a home.
  fs::rename(s.users(), s.root() + "/USER.moved");
  VerifyUserProfiles(s.h());
  EXPECT_TRUE(IsFile(s.Home("Default0") + "/IKIVO.SMP"));
  EXPECT_TRUE(IsFile(s.Home("AnnLee00") + "/IKIVO.SMP"));
}

TEST(HostileTree, ReadOnlyUsersRootIsReportedAndRepairedLater) {
  Scratch s;
  VerifyUserProfiles(s.h());
  ::chmod(s.users().c_str(), 0555);
  const auto before = Listing(s.users());
  {
    WithoutPermissionOverride unprivileged;
    if (!unprivileged.active()) GTEST_SKIP() << "permissions cannot be made to bite";
    s.TakeChecks();
    std::vector<char> name = Text("Ann Lee");
    CreateUserProfile(s.h(), name.data(), 1);
    EXPECT_TRUE(Contains(s.TakeChecks(), 683));
    EXPECT_EQ(DoesUserExist(s.h(), "Ann Lee"), 2);
    EXPECT_EQ(openUserSemaphoreFile("Ann Lee", s.h()), 0);
    CloseUserSemaphoreFile();
    VerifyUserProfiles(s.h());
  }
  EXPECT_TRUE(Changed(before, Listing(s.users())).empty());
  ::chmod(s.users().c_str(), 0755);
  VerifyUserProfiles(s.h());
  EXPECT_TRUE(IsFile(s.Home("AnnLee00") + "/IKIVO.SMP"));
  EXPECT_EQ(openUserSemaphoreFile("Ann Lee", s.h()), 1);
  CloseUserSemaphoreFile();
}
