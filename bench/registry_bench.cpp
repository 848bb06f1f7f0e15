// Registry operations on generated application trees of 1,000 to 100,000
// users, each against two baselines measured in the same run:
//
// - the floor: one read and parse of the registry file plus one stat per
//   home directory, the least any implementation must do to verify a
//   tree (and more than a lookup needs);
// - the same operation with no kept parse trusted: every read of the
//   registry reads the whole file again and compares it with the parse.
//   It runs only at the sizes given with --uncached-sizes.
//
// Flags, before Google Benchmark's own:
//   --sizes=1000,10000,100000   tree sizes (also USERPROFILE_BENCH_SIZES)
//   --uncached-sizes=1000       sizes for the rereading baseline
//   --memory                    peak memory of VerifyUserProfiles, in a
//                               child process, at the largest size
//   --dir=PATH                  where the trees go (default $TMPDIR, /tmp)
//   --process-runs=3            fresh processes per figure of the first
//                               calls and of userprof's commands (0: none)
//
// The library runs in this process as a host would run it; only the path
// of the module is redirected into the tree, after the platform has done
// the real work of finding the module.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "support/reread.h"
#include "userprofile.h"

namespace fs = std::filesystem;

namespace {

// --- Application trees ---------------------------------------------------

std::string Number7(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%07d", i);
  return buf;
}

// Entry 1 is "Default"; entry i > 1 is the user "u" + 7 digits, whose home
// directory has the same name, as the library would have allocated it.
std::string UserName(int i) { return i == 1 ? "Default" : "u" + Number7(i); }
std::string HomeName(int i) { return i == 1 ? "Default0" : UserName(i); }
// An entry the repair drops: a hyphen makes the name invalid.
std::string InvalidEntry(int i) {
  return "x-" + Number7(i) + "," + HomeName(i);
}

void WriteWhole(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

void Touch(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) ::close(fd);
}

class Tree {
 public:
  Tree(const std::string& base, int users) : users_(users) {
    std::string tmpl = base + "/upbench." + std::to_string(users) + ".XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    root_ = tmpl;
    fs::create_directories(root_ + "/TRASH");
    fs::create_directories(prog());
    fs::create_directories(users_dir());
    for (int i = 1; i <= users_; ++i) {
      ::mkdir(Home(i).c_str(), 0777);
      Touch(Lock(i));
    }
    WriteWhole(registry(), Registry(false));
    Touch(module());  // the program file, which userprof checks is there
  }
  ~Tree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  int users() const { return users_; }
  std::string prog() const { return root_ + "/APP/PROG"; }
  std::string module() const { return prog() + "/MAIN"; }
  std::string registry() const { return prog() + "/USER.INI"; }
  std::string users_dir() const { return root_ + "/APP/USER"; }
  std::string Home(int i) const { return users_dir() + "/" + HomeName(i); }
  std::string Lock(int i) const { return Home(i) + "/IKIVO.SMP"; }

  // The registry as written for this tree; with every tenth entry
  // (from the fifth on) invalid when `invalid` is set. `tag` changes one
  // byte of the default user, for a same-size content change.
  std::string Registry(bool invalid, char tag = 't') const {
    std::string out =
        "[NUSER]\r\nNO=" + std::to_string(users_) + "\r\n[LUSER]\r\n";
    out.reserve(static_cast<std::size_t>(users_) * 28 + 64);
    for (int i = 1; i <= users_; ++i) {
      out += std::to_string(i);
      out += '=';
      out += invalid && i % 10 == 5 ? InvalidEntry(i)
                                    : UserName(i) + "," + HomeName(i);
      out += "\r\n";
    }
    out += "[DEFUSER]\r\nDefaultUser=Defaul";
    out += tag;
    out += "\r\n";
    return out;
  }
  void Restore() { WriteWhole(registry(), Registry(false)); }

  // Every lock file gone, and every tenth home directory.
  void BreakHomes() {
    for (int i = 1; i <= users_; ++i) Discard(Lock(i));
    for (int i = 5; i <= users_; i += 10) Discard(Home(i));
  }

  // Moves `path` out of the tree without freeing its inode: ext4 without
  // a journal skips inodes freed within the last minute when it allocates
  // one, a scan that would charge the benchmark's own deletions to the
  // repair that creates files right after. Everything goes at exit.
  void Discard(const std::string& path) {
    const std::string to = root_ + "/TRASH/" + std::to_string(discarded_++);
    if (::rename(path.c_str(), to.c_str()) != 0 && errno != ENOENT) {
      std::perror("rename");
    }
  }

 private:
  std::string root_;
  int users_;
  long discarded_ = 0;
};

// --- The library in this process -------------------------------------------

void Anchor() {}

// The native platform, with the module's path redirected into the current
// tree once the platform has looked the real module up.
class TreeModule : public userprofile::PlatformWrapper {
 public:
  TreeModule() : PlatformWrapper(userprofile::NativePlatform()) {}
  void Use(const Tree* tree) { path_ = tree ? tree->module() : ""; }
  std::optional<std::string> ModuleFileName(const void* module) override {
    std::optional<std::string> real =
        userprofile::NativePlatform().ModuleFileName(module);
    benchmark::DoNotOptimize(real);
    return path_;
  }

 private:
  std::string path_;
};

TreeModule& Module() {
  static TreeModule module;
  return module;
}

ModuleHandle Handle() { return reinterpret_cast<ModuleHandle>(&Anchor); }

void InstallLibrary() {
  userprofile::SetPlatform(&Module());
  userprofile::SetMessageSink(
      [](const std::string&, const std::string&, unsigned) {});
}

using testing_support::CacheSetting;

// --- The floor -------------------------------------------------------------

// One read of the file and one pass over its lines that finds every key
// and value: less than any parser that answers lookups can do.
std::size_t ReadAndParse(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st {};
  ::fstat(fd, &st);
  std::string data(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t got = 0;
  while (got < data.size()) {
    ssize_t n = ::read(fd, data.data() + got, data.size() - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  std::string_view text(data.data(), got);
  std::size_t keys = 0;
  while (!text.empty()) {
    std::size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    std::size_t eq = line.find('=');
    if (eq != std::string_view::npos) keys += line[eq + 1] != ' ';
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return keys;
}

std::size_t StatHomes(const Tree& tree) {
  std::size_t found = 0;
  struct stat st {};
  for (int i = 1; i <= tree.users(); ++i) {
    found += ::stat(tree.Home(i).c_str(), &st) == 0;
  }
  return found;
}

// --- Benchmarks ------------------------------------------------------------

std::map<int, std::unique_ptr<Tree>>& Trees() {
  static std::map<int, std::unique_ptr<Tree>> trees;
  return trees;
}

std::string& TreeBase() {
  static std::string base;
  return base;
}

Tree& TreeOf(int users) {
  std::unique_ptr<Tree>& tree = Trees()[users];
  if (!tree) {
    std::cerr << "generating a tree of " << users << " users..." << std::endl;
    tree = std::make_unique<Tree>(TreeBase(), users);
  }
  Module().Use(tree.get());
  return *tree;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

using Body = std::function<void(benchmark::State&, Tree&)>;

struct Operation {
  std::string name;
  Body body;
  bool manual_time;    // the body times its own iterations
  int uncached_limit;  // largest size the cache-off baseline runs at
};

void FloorBody(benchmark::State& state, Tree& tree) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReadAndParse(tree.registry()));
    benchmark::DoNotOptimize(StatHomes(tree));
  }
}

void DoesUserExistLast(benchmark::State& state, Tree& tree) {
  const std::string name = UserName(tree.users());
  for (auto _ : state) {
    if (DoesUserExist(Handle(), name.c_str()) != tree.users()) {
      state.SkipWithError("wrong entry");
    }
  }
}

void DoesUserExistMissing(benchmark::State& state, Tree&) {
  for (auto _ : state) {
    if (DoesUserExist(Handle(), "nobody") != 0) state.SkipWithError("found");
  }
}

// Each lookup follows a same-size change of the file by someone else: the
// cost of parsing and indexing the registry anew.
void DoesUserExistAfterChange(benchmark::State& state, Tree& tree) {
  const std::string name = UserName(tree.users());
  const std::string variant[2] = {tree.Registry(false, 'x'),
                                  tree.Registry(false, 't')};
  int turn = 0;
  for (auto _ : state) {
    state.PauseTiming();
    WriteWhole(tree.registry(), variant[turn ^= 1]);
    state.ResumeTiming();
    if (DoesUserExist(Handle(), name.c_str()) != tree.users()) {
      state.SkipWithError("wrong entry");
    }
  }
  tree.Restore();
}

void GetDirForUserLast(benchmark::State& state, Tree& tree) {
  const std::string name = UserName(tree.users());
  char out[USERPROFILE_PATH_SIZE];
  for (auto _ : state) {
    GetDirForUser(Handle(), name.c_str(), out);
    if (out[0] == '\0') state.SkipWithError("no directory");
  }
}

void SignInOut(benchmark::State& state, Tree& tree) {
  const std::string name = UserName(tree.users());
  for (auto _ : state) {
    if (openUserSemaphoreFile(name.c_str(), Handle()) != 1) {
      state.SkipWithError("not signed in");
    }
    CloseUserSemaphoreFile();
  }
}

// Adds users one after another to the tree of N: the registry grows by
// one entry per iteration, which is small beside N.
void CreateProfile(benchmark::State& state, Tree& tree) {
  int next = tree.users() + 1;
  const int first = next;
  for (auto _ : state) {
    std::string name = "n" + Number7(next++);
    CreateUserProfile(Handle(), name.data(), 1);
  }
  for (int i = first; i < next; ++i) {
    tree.Discard(tree.users_dir() + "/n" + Number7(i));
  }
  tree.Restore();
}

void VerifyHealthy(benchmark::State& state, Tree&) {
  for (auto _ : state) VerifyUserProfiles(Handle());
}

void VerifyMissingHomes(benchmark::State& state, Tree& tree) {
  for (auto _ : state) {
    tree.BreakHomes();
    const auto start = std::chrono::steady_clock::now();
    VerifyUserProfiles(Handle());
    state.SetIterationTime(Seconds(std::chrono::steady_clock::now() - start));
  }
  if (!fs::exists(tree.Lock(tree.users()))) state.SkipWithError("not repaired");
}

void VerifyInvalidEntries(benchmark::State& state, Tree& tree) {
  const std::string broken = tree.Registry(true);
  for (auto _ : state) {
    WriteWhole(tree.registry(), broken);
    const auto start = std::chrono::steady_clock::now();
    VerifyUserProfiles(Handle());
    state.SetIterationTime(Seconds(std::chrono::steady_clock::now() - start));
  }
  tree.Restore();
}

// Invalid entries to squeeze out and every lock file to make: the lock
// file of each user goes to the home a lookup of its name finds, between
// the moves of the entries.
void VerifyInvalidEntriesNoLocks(benchmark::State& state, Tree& tree) {
  const std::string broken = tree.Registry(true);
  for (auto _ : state) {
    WriteWhole(tree.registry(), broken);
    for (int i = 1; i <= tree.users(); ++i) tree.Discard(tree.Lock(i));
    const auto start = std::chrono::steady_clock::now();
    VerifyUserProfiles(Handle());
    state.SetIterationTime(Seconds(std::chrono::steady_clock::now() - start));
  }
  if (!fs::exists(tree.Lock(tree.users()))) state.SkipWithError("not repaired");
  tree.Restore();
  // The entries dropped had homes: give them their lock files back.
  for (int i = 5; i <= tree.users(); i += 10) Touch(tree.Lock(i));
}

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> operations = {
      {"floor", FloorBody, false, 0},
      {"DoesUserExist(last)", DoesUserExistLast, false, 10000},
      {"DoesUserExist(missing)", DoesUserExistMissing, false, 10000},
      {"DoesUserExist(after change)", DoesUserExistAfterChange, false, 0},
      {"GetDirForUser(last)", GetDirForUserLast, false, 10000},
      {"openUserSemaphoreFile+Close", SignInOut, false, 10000},
      {"CreateUserProfile", CreateProfile, false, 10000},
      {"Verify(healthy)", VerifyHealthy, false, 1000},
      {"Verify(10% homes, all locks missing)", VerifyMissingHomes, true, 1000},
      {"Verify(10% invalid entries)", VerifyInvalidEntries, true, 1000},
      {"Verify(10% invalid, all locks missing)", VerifyInvalidEntriesNoLocks,
       true, 0},
  };
  return operations;
}

struct Key {
  std::string operation;
  int users;
  bool cached;
  bool operator<(const Key& o) const {
    return std::tie(operation, users, cached) <
           std::tie(o.operation, o.users, o.cached);
  }
};

std::map<std::string, Key>& Names() {
  static std::map<std::string, Key> names;
  return names;
}

std::map<Key, double>& Results() {  // nanoseconds per iteration
  static std::map<Key, double> results;
  return results;
}

double Nanoseconds(const benchmark::BenchmarkReporter::Run& run) {
  double t = run.GetAdjustedRealTime();
  switch (run.time_unit) {
    case benchmark::kSecond:
      return t * 1e9;
    case benchmark::kMillisecond:
      return t * 1e6;
    case benchmark::kMicrosecond:
      return t * 1e3;
    default:
      return t;
  }
}

// Google Benchmark's console output, kept for the summary as well (the
// best of --benchmark_repetitions).
class Collector : public benchmark::ConsoleReporter {
 public:
  // Colors only on a terminal, so that logs stay plain text.
  Collector()
      : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      errors_ += run.error_occurred ? 1 : 0;
      auto key = Names().find(run.run_name.function_name);
      if (key == Names().end() || run.error_occurred ||
          run.run_type != Run::RT_Iteration) {
        continue;
      }
      // The least of the repetitions: other processes only ever add time.
      auto [it, added] = Results().emplace(key->second, Nanoseconds(run));
      if (!added) it->second = std::min(it->second, Nanoseconds(run));
    }
    ConsoleReporter::ReportRuns(runs);
  }
  // Runs that failed their own check (a wrong answer, nothing repaired).
  int errors() const { return errors_; }

 private:
  int errors_ = 0;
};

// Iterations for slow runs: enough to settle, few enough for CI.
int FixedIterations(const Operation& op, int users, bool cached) {
  if (!cached) {
    if (op.name.rfind("Verify", 0) == 0) return 1;
    if (users >= 10000) return 2;
    return 0;
  }
  if (op.manual_time) return users >= 100000 ? 3 : users >= 10000 ? 5 : 20;
  return 0;
}

void Register(const Operation& op, int users, bool cached) {
  const std::string name = op.name + "/" + (cached ? "cached" : "uncached") +
                           "/" + std::to_string(users);
  Names()[name] = Key{op.name, users, cached};
  Body body = op.body;
  auto* b = benchmark::RegisterBenchmark(
      name.c_str(), [body, users, cached](benchmark::State& state) {
        Tree& tree = TreeOf(users);
        CacheSetting setting(cached);
        body(state, tree);
      });
  b->Unit(benchmark::kMillisecond);
  if (op.manual_time) {
    b->UseManualTime();
  } else {
    b->UseRealTime();
  }
  if (int n = FixedIterations(op, users, cached)) b->Iterations(n);
  // The cache-off engine takes seconds per call at these sizes: once.
  if (!cached && (users >= 10000 || op.name.rfind("Verify", 0) == 0)) {
    b->Repetitions(1);
  }
}

std::string Time(double ns) {
  char buf[32];
  if (ns >= 1e9) {
    std::snprintf(buf, sizeof buf, "%.2f s", ns / 1e9);
  } else if (ns >= 1e6) {
    std::snprintf(buf, sizeof buf, "%.2f ms", ns / 1e6);
  } else {
    std::snprintf(buf, sizeof buf, "%.1f us", ns / 1e3);
  }
  return buf;
}

std::string Ratio(double r) {
  char buf[32];
  std::snprintf(buf, sizeof buf,
                r < 0.01 ? "%.4f"
                : r < 10 ? "%.2f"
                         : "%.0f",
                r);
  return buf;
}

void PrintSummary(const std::vector<int>& sizes) {
  std::printf("\n%-38s %8s %11s %8s %11s %8s %9s\n", "operation", "users",
              "cached", "/floor", "uncached", "/floor", "growth");
  for (const Operation& op : Operations()) {
    for (int users : sizes) {
      auto found = Results().find(Key{op.name, users, true});
      if (found == Results().end()) continue;
      const double floor = Results()[Key{"floor", users, true}];
      std::string uncached = "-";
      std::string uncached_ratio = "-";
      auto plain = Results().find(Key{op.name, users, false});
      if (plain != Results().end()) {
        uncached = Time(plain->second);
        uncached_ratio = Ratio(plain->second / floor);
      }
      // How the time grew from the previous size (10x the users).
      std::string growth = "-";
      auto smaller = Results().find(Key{op.name, users / 10, true});
      if (smaller != Results().end()) {
        growth = Ratio(found->second / smaller->second) + "x";
      }
      std::printf("%-38s %8d %11s %8s %11s %8s %9s\n", op.name.c_str(), users,
                  Time(found->second).c_str(),
                  Ratio(found->second / floor).c_str(), uncached.c_str(),
                  uncached_ratio.c_str(), growth.c_str());
    }
  }
}

// --- Fresh processes ---------------------------------------------------------

// The native platform with every module path redirected to `path`, as the
// library runs in a host installed in the tree.
struct Redirect : userprofile::PlatformWrapper {
  std::string path;
  explicit Redirect(std::string p)
      : PlatformWrapper(userprofile::NativePlatform()),
        path(std::move(p)) {}
  std::optional<std::string> ModuleFileName(const void*) override {
    return path;
  }
};

// The operations timed as the first call of a fresh host process.
const std::vector<std::string>& ColdOperations() {
  static const std::vector<std::string> ops = {
      "DoesUserExist(last)", "GetDirForUser(last)",
      "openUserSemaphoreFile(last)", "1,000 DoesUserExist calls",
      "each of the next 999 calls"};
  return ops;
}

// The time this thread has run: on a machine shared with other work, wall
// times of a millisecond vary tenfold, the time on the processor does not.
// (Trees are on tmpfs or in the page cache: the calls never wait for a
// disk.)
double ThreadCpuNs() {
  struct timespec t {};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// In a fresh process: the first call of operation `op` on the tree of
// `module` (of `users` users), then the floor (one read of the registry and
// one pass over its lines); prints both in nanoseconds. The floor is taken
// second so that the operation meets the registry as a host's first call
// does.
int ColdChild(const std::string& op, const std::string& module, int users) {
  userprofile::SetMessageSink(
      [](const std::string&, const std::string&, unsigned) {});
  Redirect redirect(module);
  userprofile::SetPlatform(&redirect);
  const std::string name = UserName(users);
  const std::string registry = module.substr(0, module.rfind('/')) + "/USER.INI";
  bool right = true;
  double op_ns = 0;
  const double start = ThreadCpuNs();
  if (op == "DoesUserExist(last)") {
    right = DoesUserExist(Handle(), name.c_str()) == users;
  } else if (op == "GetDirForUser(last)") {
    char out[USERPROFILE_PATH_SIZE] = {};
    GetDirForUser(Handle(), name.c_str(), out);
    right = out[0] != '\0';
  } else if (op == "openUserSemaphoreFile(last)") {
    right = openUserSemaphoreFile(name.c_str(), Handle()) == 1;
  } else if (op == "1,000 DoesUserExist calls") {
    for (int i = 0; i < 1000; ++i) {
      right = right && DoesUserExist(Handle(), name.c_str()) == users;
    }
  } else if (op == "each of the next 999 calls") {
    // What a host pays per call once its first call has read the registry.
    right = DoesUserExist(Handle(), name.c_str()) == users;
    const double next = ThreadCpuNs();
    for (int i = 1; i < 1000; ++i) {
      right = right && DoesUserExist(Handle(), name.c_str()) == users;
    }
    op_ns = (ThreadCpuNs() - next) / 999;
  } else if (op == "VerifyUserProfiles") {
    VerifyUserProfiles(Handle());
  }
  if (op_ns == 0) op_ns = ThreadCpuNs() - start;
  double floor_ns = 0;
  if (op == "each of the next 999 calls") {
    // The least a call that sees another process's change can do: one
    // stat of the registry's name in its open directory.
    const int dir = ::open(registry.substr(0, registry.rfind('/')).c_str(),
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st {};
    const double floor_start = ThreadCpuNs();
    for (int i = 1; i < 1000; ++i) {
      benchmark::DoNotOptimize(::fstatat(dir, "USER.INI", &st, 0));
    }
    floor_ns = (ThreadCpuNs() - floor_start) / 999;
    ::close(dir);
  } else {
    const double floor_start = ThreadCpuNs();
    benchmark::DoNotOptimize(ReadAndParse(registry));
    floor_ns = ThreadCpuNs() - floor_start;
  }
  std::printf("%.0f %.0f %d\n", op_ns, floor_ns, right ? 1 : 0);
  return 0;
}

// Runs a command and returns its wall time in nanoseconds and its output.
double TimedCommand(const std::string& command, std::string* output) {
  const auto start = std::chrono::steady_clock::now();
  if (FILE* child = ::popen((command + " 2>/dev/null").c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, child)) > 0) {
      if (output) output->append(buf, n);
    }
    ::pclose(child);
  }
  return Seconds(std::chrono::steady_clock::now() - start) * 1e9;
}

// The first calls in fresh processes and the tool's commands, each the best
// of `runs` processes, with the floor of the same processes beside them.
// Returns the number of wrong answers.
int MeasureProcesses(const std::string& self, const std::vector<int>& sizes,
                     int runs) {
  int wrong = 0;
  std::printf("\nFirst calls in fresh processes (best of %d):\n", runs);
  std::printf("%-30s %8s %11s %11s %8s\n", "operation", "users", "time",
              "floor", "/floor");
  for (int users : sizes) {
    Tree& tree = TreeOf(users);
    for (const std::string& op : ColdOperations()) {
      double best = 0, floor = 0;
      for (int r = 0; r < runs; ++r) {
        std::string out;
        TimedCommand("'" + self + "' '--cold-child=" + op + "' '--cold-module=" +
                         tree.module() + "' --cold-users=" +
                         std::to_string(users),
                     &out);
        double t = 0, f = 0;
        int right = 0;
        if (std::sscanf(out.c_str(), "%lf %lf %d", &t, &f, &right) != 3 ||
            right != 1) {
          ++wrong;
          continue;
        }
        best = best == 0 ? t : std::min(best, t);
        floor = floor == 0 ? f : std::min(floor, f);
      }
      std::printf("%-30s %8d %11s %11s %8s\n", op.c_str(), users,
                  Time(best).c_str(), Time(floor).c_str(),
                  Ratio(best / floor).c_str());
    }
  }
#ifdef USERPROF_PATH
  std::printf(
      "\nuserprof commands against a host's VerifyUserProfiles, whole "
      "processes (best of %d):\n",
      runs);
  std::printf("%-30s %8s %11s %11s %8s\n", "command", "users", "time",
              "host", "/host");
  for (int users : sizes) {
    Tree& tree = TreeOf(users);
    double host = 0;
    for (int r = 0; r < runs; ++r) {
      const double t = TimedCommand(
          "'" + self + "' --cold-child=VerifyUserProfiles '--cold-module=" +
              tree.module() + "' --cold-users=" + std::to_string(users),
          nullptr);
      host = host == 0 ? t : std::min(host, t);
    }
    for (const char* command : {"list", "who", "verify"}) {
      double best = 0;
      for (int r = 0; r < runs; ++r) {
        std::string out;
        const double t = TimedCommand(std::string("'") + USERPROF_PATH +
                                          "' --module '" + tree.module() +
                                          "' " + command,
                                      &out);
        if (std::string(command) == "list" &&
            out.find(UserName(users)) == std::string::npos) {
          ++wrong;
        }
        best = best == 0 ? t : std::min(best, t);
      }
      std::printf("%-30s %8d %11s %11s %8s\n",
                  ("userprof " + std::string(command)).c_str(), users,
                  Time(best).c_str(), Time(host).c_str(),
                  Ratio(best / host).c_str());
    }
  }
#endif
  return wrong;
}

// --- Peak memory ------------------------------------------------------------

long MaxRssKb() {
  struct rusage usage {};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// In a fresh process: one VerifyUserProfiles on the tree of `module`.
int MemoryChild(const std::string& module) {
  userprofile::SetMessageSink(
      [](const std::string&, const std::string&, unsigned) {});
  Redirect redirect(module);
  userprofile::SetPlatform(&redirect);
  const long before = MaxRssKb();
  VerifyUserProfiles(Handle());
  std::printf("%ld %ld\n", before, MaxRssKb());
  return 0;
}

void MeasureMemory(const std::string& self, int users) {
  Tree& tree = TreeOf(users);
  struct Case {
    const char* name;
    std::function<void()> prepare;
  };
  const std::vector<Case> cases = {
      {"healthy", [&] { tree.Restore(); }},
      {"10% homes, all locks missing", [&] { tree.BreakHomes(); }},
      {"10% invalid entries",
       [&] { WriteWhole(tree.registry(), tree.Registry(true)); }},
  };
  std::printf(
      "\nPeak memory of one VerifyUserProfiles in a fresh process, %d "
      "users:\n",
      users);
  std::printf("%-30s %12s %12s %12s %12s %8s\n", "tree", "registry", "process",
              "before call", "peak", "limit");
  for (const Case& c : cases) {
    c.prepare();
    const double file_mb =
        static_cast<double>(fs::file_size(tree.registry())) / 1048576.0;
    const std::string command =
        "'" + self + "' --memory-child='" + tree.module() + "'";
    long before = 0;
    long peak = 0;
    if (FILE* child = ::popen(command.c_str(), "r")) {
      if (std::fscanf(child, "%ld %ld", &before, &peak) != 2) before = peak = 0;
      ::pclose(child);
    }
    const double limit = 4 * file_mb + 16;
    const double grown = static_cast<double>(peak - before) / 1024.0;
    std::printf("%-30s %9.1f MB %9.1f MB %9.1f MB %9.1f MB %5.1f MB %s\n",
                c.name, file_mb, peak / 1024.0, before / 1024.0, grown, limit,
                peak / 1024.0 < limit ? "ok" : "OVER");
  }
  tree.Restore();
}

std::vector<int> ParseSizes(const std::string& text) {
  std::vector<int> sizes;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) sizes.push_back(std::stoi(item));
  }
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {1000, 10000, 100000};
  if (const char* env = std::getenv("USERPROFILE_BENCH_SIZES")) {
    sizes = ParseSizes(env);
  }
  std::vector<int> uncached_sizes = {1000};
  bool memory = false;
  int process_runs = 3;
  std::string cold_op, cold_module;
  int cold_users = 0;
  const char* tmp = std::getenv("TMPDIR");
  TreeBase() = tmp && *tmp ? tmp : "/tmp";
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--memory-child=", 0) == 0) {
      return MemoryChild(arg.substr(std::strlen("--memory-child=")));
    } else if (arg.rfind("--sizes=", 0) == 0) {
      sizes = ParseSizes(arg.substr(8));
    } else if (arg.rfind("--uncached-sizes=", 0) == 0) {
      uncached_sizes = ParseSizes(arg.substr(17));
    } else if (arg.rfind("--cold-child=", 0) == 0) {
      cold_op = arg.substr(std::strlen("--cold-child="));
    } else if (arg.rfind("--cold-module=", 0) == 0) {
      cold_module = arg.substr(std::strlen("--cold-module="));
    } else if (arg.rfind("--cold-users=", 0) == 0) {
      cold_users = std::stoi(arg.substr(std::strlen("--cold-users=")));
    } else if (arg.rfind("--process-runs=", 0) == 0) {
      process_runs = std::stoi(arg.substr(std::strlen("--process-runs=")));
    } else if (arg == "--memory") {
      memory = true;
    } else if (arg.rfind("--dir=", 0) == 0) {
      TreeBase() = arg.substr(6);
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (!cold_op.empty()) return ColdChild(cold_op, cold_module, cold_users);
  int rest_argc = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_argc, rest.data());
  InstallLibrary();
  for (int users : sizes) {
    for (const Operation& op : Operations()) {
      Register(op, users, true);
      const bool uncached =
          op.name != "floor" && users <= op.uncached_limit &&
          std::find(uncached_sizes.begin(), uncached_sizes.end(), users) !=
              uncached_sizes.end();
      if (uncached) Register(op, users, false);
    }
  }
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  PrintSummary(sizes);
  int wrong = 0;
  if (process_runs > 0) {
    wrong = MeasureProcesses(fs::read_symlink("/proc/self/exe").string(),
                             sizes, process_runs);
  }
  if (memory && !sizes.empty()) {
    MeasureMemory(fs::read_symlink("/proc/self/exe").string(),
                  *std::max_element(sizes.begin(), sizes.end()));
  }
  Trees().clear();
  userprofile::SetPlatform(nullptr);
  benchmark::Shutdown();
  if (collector.errors() > 0 || wrong > 0) {
    std::fprintf(stderr, "%d benchmark runs failed their checks\n",
                 collector.errors() + wrong);
    return 1;
  }
  return 0;
}
