// The library frame as a host meets it: files found from
// the real path of the calling module, the null handle, check reports on
// standard error, the module path limit, per-process state, the unload
// hook, and the exported names of libuserprofile.so.
#include "frame/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/apptree.h"
#include "support/process.h"

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

// The 14 exports, in ordinal order.
const std::vector<std::string> kExports = {
    "WEP",
    "IsEntryValid",
    "DoesUserExist",
    "GetProperHomeDirName",
    "CreateUserProfile",
    "CreateUserProfileEx",
    "GetDefaultUser",
    "SetDefaultUser",
    "GetUserHomeDir",
    "GetDirForUser",
    "ValidUserName",
    "openUserSemaphoreFile",
    "CloseUserSemaphoreFile",
    "VerifyUserProfiles",
};

std::string ReportLine(unsigned check) {
  return "Assertion Failure: File : userprofile, Line : " +
         std::to_string(check) + "\n";
}

// Every regular file below `root`, relative to it.
std::set<std::string> FilesBelow(const std::string& root) {
  std::set<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) {
      files.insert(fs::relative(entry.path(), root).generic_string());
    }
  }
  return files;
}

const std::string kVerified =
    "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Default,Default0\r\n"
    "[DEFUSER]\r\nDefaultUser=Default\r\n";

// --- Paths from the module --------------------------------------------------

void ExpectVerifiedBesideModule(const AppTree& app) {
  RunResult r = app.Host({"verify", "getdef"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "verify: done\ngetdef: Default\n");
  EXPECT_EQ(r.err, "DEBUG: Creating Default User\n");
  EXPECT_EQ(ReadFile(app.registry()), kVerified);
  EXPECT_TRUE(IsFile(app.Home("Default0") + "/IKIVO.SMP"));
  // The library never looks at its own file's location.
  EXPECT_FALSE(
      fs::exists(fs::path(USERPROFILE_SO_PATH).parent_path() / "USER.INI"));
}

TEST(ModulePaths, RegistryBesideModuleInUsualTree) {
  AppTree app("APP/PROG");
  ExpectVerifiedBesideModule(app);
  EXPECT_EQ(FilesBelow(app.root()),
            (std::set<std::string>{"APP/PROG/" + kHostName, "APP/PROG/USER.INI",
                                   "APP/PROG/USER.INI.lock",
                                   "APP/USER/Default0/IKIVO.SMP"}));
}

TEST(ModulePaths, RegistryBesideModuleInDeepTree) {
  AppTree app("srv/share/apps/v1/APP/PROG");
  ExpectVerifiedBesideModule(app);
  EXPECT_EQ(app.users(),
            app.root() + kSep + NativePath("srv/share/apps/v1/APP/USER"));
  EXPECT_TRUE(
      IsFile(app.root() + "/srv/share/apps/v1/APP/USER/Default0/IKIVO.SMP"));
}

TEST(ModulePaths, RegistryBesideModuleInShallowTree) {
  // /APP/MAIN: the registry is /APP/USER.INI, the users root /USER.
  AppTree app("APP");
  ExpectVerifiedBesideModule(app);
  EXPECT_EQ(
      FilesBelow(app.root()),
      (std::set<std::string>{"APP/" + kHostName, "APP/USER.INI",
                             "APP/USER.INI.lock", "USER/Default0/IKIVO.SMP"}));
}

TEST(ModulePaths, RegistryFollowsTheHostWhereverItRuns) {
  // Two copies of one program share nothing but what their paths share.
  AppTree first;
  AppTree second;
  ASSERT_EQ(first.Host({"verify", "create", "Ann Lee"}).status, 0);
  RunResult r = second.Host({"exists", "Ann Lee"});
  EXPECT_EQ(r.out, "exists: 0\n");
  EXPECT_FALSE(fs::exists(second.registry()));
}

// In-process, with the platform's module path replaced: the split of the
// path alone decides where the registry is.
TEST(ModulePaths, RegistryPathFromModulePath) {
  const std::pair<const char*, const char*> rows[] = {
      {"/opt/app/PROG/MAIN", "/opt/app/PROG/USER.INI"},
      {"/opt/app/PROG/MAIN.EXE", "/opt/app/PROG/USER.INI"},
      {"/opt/app.v2/PROG/MAIN", "/opt/app.v2/PROG/USER.INI"},
      {"/opt/app/PROG/main.tar.gz", "/opt/app/PROG/USER.INI"},
      {"/MAIN", "/USER.INI"},
  };
  for (const auto& [module, registry] : rows) {
    InProcessApp app(NativePath(module));
    EXPECT_EQ(userprofile::RegistryPath(app.handle()), NativePath(registry))
        << module;
    EXPECT_TRUE(app.TakeChecks().empty()) << module;
  }
}

// --- The null handle and the report line ------------------------------------

TEST(NullModule, ReportsCheck124InExactFormat) {
  AppTree app;
  RunResult r = app.Host({"null-module", "exists", "Ann"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "exists: 0\n");
  EXPECT_EQ(r.err, "Assertion Failure: File : userprofile, Line : 124\n");
}

TEST(NullModule, StandsForTheMainProgram) {
  AppTree app;
  WriteFile(app.registry(),
            "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Ann,Ann00000\r\n"
            "[DEFUSER]\r\nDefaultUser=Ann\r\n");
  RunResult r = app.Host({"null-module", "exists", "ann", "getdef"});
  EXPECT_EQ(r.out, "exists: 1\ngetdef: Ann\n");
  EXPECT_EQ(r.err, ReportLine(124) + ReportLine(539) + ReportLine(124));
}

TEST(NullModule, VerifyBuildsBesideTheMainProgram) {
  AppTree app;
  RunResult r = app.Host({"null-module", "verify"});
  EXPECT_EQ(r.out, "verify: done\n");
  EXPECT_EQ(ReadFile(app.registry()), kVerified);
  EXPECT_TRUE(IsFile(app.Home("Default0") + "/IKIVO.SMP"));
  std::vector<unsigned> checks = ChecksIn(r.err);
  EXPECT_FALSE(checks.empty());
  for (unsigned check : checks) {
    EXPECT_TRUE(check == 124 || check == 244 || check == 453 || check == 539)
        << check;
  }
}

TEST(Reports, EveryReportIsOneWholeLine) {
  AppTree app;
  RunResult r = app.Host({"exists", "", "dir", "", "unlock"});
  EXPECT_EQ(r.err, ReportLine(326) + ReportLine(609) + ReportLine(610) +
                       ReportLine(326) + ReportLine(615) + ReportLine(667));
}

// --- The module path limit --------------------------------------------------

// A tree whose host sits at a path of exactly `length` characters:
// <root>/<A...>/<B x 40>/<host_name>. Empty if the temporary directory's
// own path is too long for that.
class DeepTree {
 public:
  DeepTree(std::size_t length, const std::string& host_name) {
    root_ = MakeTempDir();
    const std::size_t fixed = root_.size() + 3 + 40 + host_name.size();
    if (fixed + 1 > length) return;
    top_ = root_ + kSep + std::string(length - fixed, 'A');
    const std::string prog = top_ + kSep + std::string(40, 'B');
    MakeDirs(prog);
    host_ = prog + kSep + host_name;
    fs::copy_file(BuiltProgram(UP_HOST_PATH), host_);
  }
  ~DeepTree() { RemoveTree(root_); }
  DeepTree(const DeepTree&) = delete;
  DeepTree& operator=(const DeepTree&) = delete;

  bool usable() const { return !host_.empty(); }
  const std::string& root() const { return root_; }
  const std::string& host() const { return host_; }
  std::string registry() const {
    return (fs::path(host_).parent_path() / "USER.INI").string();
  }
  std::string users() const { return top_ + kSep + "USER"; }
  RunResult Host(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{host_};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
  }

 private:
  std::string root_;
  std::string top_;
  std::string host_;
};

TEST(ModulePathLimit, HundredTwentySevenCharactersAreUsed) {
  // "MAINHOST" and "USER.INI" have the same length: the registry path is
  // 127 characters too.
  DeepTree tree(127, "MAINHOST");
  if (!tree.usable()) GTEST_SKIP() << "temporary directory path too long";
  ASSERT_EQ(tree.host().size(), 127u);
  RunResult r = tree.Host({"verify", "exists", "Default"});
  EXPECT_EQ(r.out, "verify: done\nexists: 1\n");
  EXPECT_EQ(r.err, "DEBUG: Creating Default User\n");
  EXPECT_EQ(tree.registry().size(), 127u);
  EXPECT_EQ(ReadFile(tree.registry()), kVerified);
  EXPECT_TRUE(IsFile(tree.users() + "/Default0/IKIVO.SMP"));
}

TEST(ModulePathLimit, LongerModulePathIsRefusedAndNothingTouched) {
  DeepTree tree(128, "MAINHOST9");
  if (!tree.usable()) GTEST_SKIP() << "temporary directory path too long";
  ASSERT_EQ(tree.host().size(), 128u);
  const std::set<std::string> before = FilesBelow(tree.root());
  RunResult r = tree.Host({"verify", "create", "Ann", "setdef", "Ann", "lock",
                           "Ann", "getdef", "dir", "Ann", "exists", "Ann"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "verify: done\ncreate: Ann\nsetdef: Ann\nlock: 0\ngetdef: \n"
            "dir: \nexists: 0\n");
  // Each of the seven calls refused with 125, and reported nothing else.
  const std::vector<unsigned> checks = ChecksIn(r.err);
  EXPECT_GE(checks.size(), 7u);
  EXPECT_EQ(checks, std::vector<unsigned>(checks.size(), 125));
  EXPECT_EQ(r.err.size(), checks.size() * ReportLine(125).size());
  EXPECT_EQ(FilesBelow(tree.root()), before);
  EXPECT_FALSE(fs::exists(tree.users()));
}

TEST(ModulePathLimit, RegistryPathOverLimitIsRefused) {
  // The module path fits, but "USER.INI" is longer than "MAIN".
  DeepTree tree(127, "MAIN");
  if (!tree.usable()) GTEST_SKIP() << "temporary directory path too long";
  RunResult r = tree.Host({"exists", "Ann", "getdef"});
  EXPECT_EQ(r.out, "exists: 0\ngetdef: \n");
  EXPECT_EQ(ChecksIn(r.err), (std::vector<unsigned>{126, 126}));
  EXPECT_FALSE(fs::exists(tree.registry()));
}

// --- Per-process state ------------------------------------------------------

TEST(ProcessState, EachProcessStartsWithEmptyCurrentUserAndLockSlot) {
  AppTree app;
  ASSERT_EQ(app.Host({"verify", "create", "Ann"}).status, 0);

  Child first(
      app.HostArgv({"setdef", "Ann", "lock", "Ann", "home", "wait", "unlock"}));
  EXPECT_EQ(first.ReadLine(), "setdef: Ann");
  EXPECT_EQ(first.ReadLine(), "lock: 1");
  EXPECT_EQ(first.ReadLine(), "home: " + app.Home("Ann00000") + kSep);
  ASSERT_EQ(first.ReadLine(), "wait: ready");

  // The second process sees neither the first's current user nor its lock.
  RunResult second = app.Host({"home", "unlock", "lock", "Ann"});
  EXPECT_EQ(second.out, "home: \nunlock: done\nlock: 0\n");
  EXPECT_EQ(ChecksIn(second.err),
            (std::vector<unsigned>{575, 576, 326, 580, 667}));
  // Its unlock released nothing: the first still holds Ann.
  EXPECT_EQ(app.Host({"lock", "Ann"}).out, "lock: 0\n");

  first.WriteLine("go");
  EXPECT_EQ(first.ReadLine(), "unlock: done");
  EXPECT_EQ(first.Wait(), 0);
  EXPECT_EQ(app.Host({"lock", "Ann"}).out, "lock: 1\n");
}

// --- The unload hook
// ----------------------------------------------------------

TEST(UnloadHook, WepReturnsOneAndLeavesTheLockHeld) {
  AppTree app;
  Child holder(app.HostArgv({"verify", "lock", "Default", "wep", "wait"}));
  EXPECT_EQ(holder.ReadLine(), "verify: done");
  EXPECT_EQ(holder.ReadLine(), "lock: 1");
  EXPECT_EQ(holder.ReadLine(), "wep: 1");
  ASSERT_EQ(holder.ReadLine(), "wait: ready");
  EXPECT_EQ(app.Host({"lock", "Default"}).out, "lock: 0\n");
  holder.WriteLine("go");
  EXPECT_EQ(holder.Wait(), 0);
  // The process's end released it.
  EXPECT_EQ(app.Host({"lock", "Default"}).out, "lock: 1\n");
}

TEST(UnloadHook, WepIgnoresItsArgument) {
  EXPECT_EQ(WEP(0), 1);
  EXPECT_EQ(WEP(-1), 1);
  EXPECT_EQ(WEP(12345), 1);
}

// --- The exported surface
// -----------------------------------------------------

TEST(Exports, SharedLibraryDefinesTheFourteenNamesAndItsOwnFunctions) {
#ifdef _WIN32
  GTEST_SKIP() << "the DLL's export table is checked by tools/check-exports.sh "
                  "and by resolving each export (tests/win)";
#endif
  const std::string command =
      "nm -D --defined-only '" + std::string(USERPROFILE_SO_PATH) + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buf[4096];
  while (std::size_t n = std::fread(buf, 1, sizeof buf, pipe)) {
    output.append(buf, n);
  }
  const int status = ::pclose(pipe);
  if (status != 0 && output.find("not found") != std::string::npos) {
    GTEST_SKIP() << "nm is not installed";
  }
  ASSERT_EQ(status, 0) << output;
  std::vector<std::string> names;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (!(fields >> address >> type >> name)) continue;
    EXPECT_EQ(type, "T") << line;
    names.push_back(name.substr(0, name.find('@')));
  }
  std::sort(names.begin(), names.end());
  // Beside the 14, only the library's own functions, each with its
  // prefix, as the version script names them.
  std::vector<std::string> expected = kExports;
  std::ifstream map(std::string(USERPROFILE_SOURCE_DIR) +
                    "/src/frame/exports.map");
  const std::regex own(R"(^\s+(userprofile_\w+);\s*$)");
  for (std::string row; std::getline(map, row);) {
    std::smatch m;
    if (std::regex_match(row, m, own)) expected.push_back(m[1]);
  }
  EXPECT_GT(expected.size(), kExports.size() + 2);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected) << output;
}

TEST(Exports, ModuleDefinitionFixesNamesAndOrdinals) {
  std::ifstream def(std::string(USERPROFILE_SOURCE_DIR) +
                    "/include/userprofile.def");
  ASSERT_TRUE(def.good());
  std::vector<std::string> names;
  std::string line;
  const std::regex row(R"(^\s+(\w+)\s+@(\d+)\s*$)");
  while (std::getline(def, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, row)) continue;
    EXPECT_EQ(std::stoul(m[2]), names.size() + 1) << line;
    names.push_back(m[1]);
  }
  EXPECT_EQ(names, kExports);
}

}  // namespace
