// The POSIX platform on real files and real processes: atomic profile
// writes under SIGKILL, read-only, foreign and missing targets, the
// exclusive open that is the sign-in lock, the update lock of a profile
// file, directory probes and file creation, and module paths. The second
// process is the helper program platform_child.
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "registry/profile_store.h"
#include "support/profile_reads.h"
#include "platform/platform.h"
#include "registry/profile_document.h"
#include "registry/profile.h"
#include "support/apptree.h"
#include "support/process.h"

namespace fs = std::filesystem;
using testing_support::Child;
using testing_support::IsDir;
using testing_support::IsFile;
using testing_support::MakeTempDir;
using testing_support::ReadFile;
using testing_support::RemoveTree;
using testing_support::RunResult;
using testing_support::WriteFile;
using userprofile::Failure;
using userprofile::kFailedLock;
using userprofile::LockHandle;
using userprofile::NativePlatform;
using userprofile::Platform;

namespace {

// This process's updates, innermost last.
std::vector<std::unique_ptr<userprofile::ProfileUpdate>>& Updates() {
  static std::vector<std::unique_ptr<userprofile::ProfileUpdate>> updates;
  return updates;
}

bool LockForUpdate(const std::string& file, unsigned timeout_ms) {
  auto update = std::make_unique<userprofile::ProfileUpdate>(file, timeout_ms);
  if (!update->held()) return false;
  Updates().push_back(std::move(update));
  return true;
}

void UnlockForUpdate(const std::string&) {
  static_cast<void>(Updates().back()->Commit());
  Updates().pop_back();
}

class PosixPlatform : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeTempDir(); }
  void TearDown() override { RemoveTree(dir_); }

  Platform& sys() { return NativePlatform(); }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // Every name in the directory, sorted.
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  static mode_t Mode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }

  std::string dir_;
};

// The helper program's command line.
std::vector<std::string> ChildArgv(const std::vector<std::string>& args) {
  std::vector<std::string> argv{PLATFORM_CHILD_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// Runs the helper program to its end.
RunResult RunChild(const std::vector<std::string>& args) {
  return testing_support::Run(ChildArgv(args));
}

// "open 1\n" if another process can take the exclusive open, "open 0\n"
// if not.
std::string TryInOtherProcess(const std::string& path) {
  return RunChild({"try", path}).out;
}

// Runs `body` in a forked child as the unprivileged user "nobody"; the
// child's exit status is returned (body's result, or 99 if the switch
// failed).
int AsNobody(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 ||
        ::setuid(65534) != 0) {
      ::_exit(99);
    }
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// --- Atomic writes
// ------------------------------------------------------------

using AtomicWrite = PosixPlatform;

std::string RegistryWithValue(char fill, std::size_t size) {
  return "[NUSER]\r\nNO=1\r\n[LUSER]\r\nk=" + std::string(size, fill) +
         "\r\n[DEFUSER]\r\nDefaultUser=Ann\r\n";
}

// A writer killed at random moments leaves the old or the new file, whole,
// every time. What a kill can leave besides: the temporary file the writer
// was filling (at most one per killed writer, named after the file and the
// writer's process id). The next writer removes them; a writer that ends
// normally leaves none.
TEST_F(AtomicWrite, KilledWriterLeavesOldOrNewFileWhole) {
  constexpr std::size_t kSizeA = 200000;
  constexpr std::size_t kSizeB = 300000;
  const std::string file = Path("USER.INI");
  const std::string file_a = RegistryWithValue('a', kSizeA);
  const std::string file_b = RegistryWithValue('b', kSizeB);
  const std::string sizes[] = {std::to_string(kSizeA), std::to_string(kSizeB)};
  WriteFile(file, file_a);
  const std::vector<std::string> steps =
      ChildArgv({"write-steps", file, sizes[0], sizes[1]});
  using Clock = std::chrono::steady_clock;
  auto micros = [](Clock::duration d) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(d).count());
  };

  // Each kill aims at one write: the first (b over a), timed from the
  // writer's start, or the second (a over b), timed from its release once
  // the first has returned. The writer waits before each write, so a kill
  // that comes late finds the aimed write done however slow the machine
  // is. How long each takes here sets its first kill window; a window
  // that the load has made too short (no kill has yet come after its
  // write) widens until one does.
  long window_us[2] = {LONG_MAX, LONG_MAX};
  for (int i = 0; i < 3; ++i) {
    Child writer(steps);
    const auto t0 = Clock::now();
    writer.WriteLine("");
    ASSERT_EQ(writer.ReadLine(), "wrote b") << writer.err();
    const auto t1 = Clock::now();
    writer.WriteLine("");
    ASSERT_EQ(writer.ReadLine(), "wrote a") << writer.err();
    const auto t2 = Clock::now();
    ASSERT_EQ(writer.Wait(), 0) << writer.err();
    window_us[0] = std::min(window_us[0], micros(t1 - t0));
    window_us[1] = std::min(window_us[1], micros(t2 - t1));
  }
  ASSERT_EQ(ReadFile(file), file_a);
  for (long& window : window_us) window = std::max<long>(2000, window * 6 / 5);
  const std::string* const old_file[2] = {&file_a, &file_b};
  const std::string* const new_file[2] = {&file_b, &file_a};
  const char* const wrote[2] = {"wrote b", "wrote a"};

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  // 8 s of kills, or longer on a loaded machine (every write flushes the
  // file and its directory) until there have been 20 and a kill has come
  // after each write, within 30 s.
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(8);
  const auto last_call = start + std::chrono::seconds(30);

  std::set<std::string> known = Entries();
  int kills = 0, seen_a = 0, seen_b = 0, leftovers = 0;
  int after_write[2] = {0, 0};
  while (kills < 200 && Clock::now() < last_call &&
         (kills < 20 || Clock::now() < deadline || after_write[0] == 0 ||
          after_write[1] == 0)) {
    const int aim = kills % 2;
    Child writer(steps);
    writer.WriteLine("");
    if (aim == 1) {
      ASSERT_EQ(writer.ReadLine(), wrote[0]) << writer.err();
      writer.WriteLine("");
    }
    std::this_thread::sleep_for(std::chrono::microseconds(
        std::uniform_int_distribution<long>(0, window_us[aim])(rng)));
    writer.Kill(SIGKILL);
    ASSERT_EQ(writer.Wait(), 128 + SIGKILL)
        << "the writer failed: " << writer.err();
    ++kills;
    bool returned = false;
    while (std::optional<std::string> line =
               writer.ReadLine(std::chrono::milliseconds(0))) {
      returned = returned || *line == wrote[aim];
    }

    const std::string content = ReadFile(file);
    ASSERT_TRUE(content == *new_file[aim] ||
                (!returned && content == *old_file[aim]))
        << "after kill " << kills << ", aimed at write " << aim + 1
        << (returned ? " that had returned" : "") << ": " << content.size()
        << " bytes";
    const std::optional<std::string> value =
        userprofile::profile::ValueIn(content, "luser", "K");
    ASSERT_TRUE(value && (*value == std::string(kSizeA, 'a') ||
                          *value == std::string(kSizeB, 'b')));
    (content == file_a ? seen_a : seen_b)++;
    if (content == *new_file[aim]) {
      ++after_write[aim];
    } else if (after_write[aim] == 0) {
      window_us[aim] = window_us[aim] * 3 / 2;
    }

    const std::string own = "USER.INI.~" + std::to_string(writer.pid()) + ".";
    int added = 0;
    for (const std::string& name : Entries()) {
      if (known.insert(name).second) {
        EXPECT_EQ(name.rfind(own, 0), 0u) << name;
        ++added;
      }
    }
    EXPECT_LE(added, 1) << "one kill left several temporary files";
    leftovers += added;
  }
  EXPECT_GE(kills, 20);
  EXPECT_GT(seen_a, 0);
  EXPECT_GT(seen_b, 0) << "no write completed between kills";
  RecordProperty("kills", kills);
  RecordProperty("leftover_temporaries", leftovers);
  const int after = after_write[0] + after_write[1];
  std::printf("%d kills: %d left the old file, %d the new, %d temporary "
              "files left\n",
              kills, kills - after, after, leftovers);

  // A writer that ends normally clears what killed writers left and adds
  // nothing.
  RunResult clean = RunChild({"write-loop", file, sizes[0], sizes[1], "2"});
  ASSERT_EQ(clean.status, 0) << clean.err;
  EXPECT_EQ(Entries(), (std::set<std::string>{"USER.INI", "USER.INI.lock"}));
  EXPECT_EQ(ReadFile(file), file_a);
}

// --- Refused writes
// -------------------------------------------------------------

using RefusedWrite = PosixPlatform;

TEST_F(RefusedWrite, ReadOnlyFileRefusedEvenAsRoot) {
  const std::string file = Path("USER.INI");
  const std::string before = "[NUSER]\r\nNO=1\r\n[LUSER]\r\n1=Ann,Ann00000\r\n";
  WriteFile(file, before);
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  EXPECT_FALSE(userprofile::WriteProfileValue("NUSER", "NO", "2", file));
  EXPECT_FALSE(userprofile::WriteProfileValue("LUSER", "2", "Bob,Bob00000", file));
  EXPECT_FALSE(userprofile::WriteProfileValue("DEFUSER", "DefaultUser", "Ann", file));
  EXPECT_EQ(ReadFile(file), before);
  EXPECT_EQ(Mode(file), 0444u);
  EXPECT_EQ(Entries(), (std::set<std::string>{"USER.INI", "USER.INI.lock"}));
}

TEST_F(RefusedWrite, OtherUsersFileRefusedToUnprivilegedWriter) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  // The directory lets anyone create files; the file itself is only the
  // owner's to write. Replacing it by rename would bypass that.
  const std::string file = Path("USER.INI");
  const std::string before = "[NUSER]\r\nNO=1\r\n";
  WriteFile(file, before);
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
  int status = AsNobody([&] {
    return userprofile::WriteProfileValue("NUSER", "NO", "2", file) ? 1
                                                                         : 0;
  });
  EXPECT_EQ(status, 0) << "the write was not refused";
  EXPECT_EQ(ReadFile(file), before);
  EXPECT_EQ(Entries(), std::set<std::string>{"USER.INI"});
}

TEST_F(RefusedWrite, RewriteKeepsTheFilesOwner) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  const std::string file = Path("USER.INI");
  WriteFile(file, "[NUSER]\r\nNO=1\r\n");
  ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  ASSERT_TRUE(userprofile::WriteProfileValue("NUSER", "NO", "2", file));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  // So its owner can still write it.
  ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
  EXPECT_EQ(AsNobody([&] {
              return userprofile::WriteProfileValue("NUSER", "NO", "3",
                                                         file)
                         ? 0
                         : 1;
            }),
            0);
  EXPECT_EQ(ReadFile(file), "[NUSER]\r\nNO=3\r\n");
}

TEST_F(RefusedWrite, MissingDirectoryFailsAndCreatesNothing) {
  EXPECT_FALSE(
      userprofile::WriteProfileValue("NUSER", "NO", "1", Path("nodir/sub/USER.INI")));
  EXPECT_FALSE(
      userprofile::WriteProfileValue("NUSER", "NO", "1", Path("nodir/USER.INI")));
  EXPECT_FALSE(fs::exists(Path("nodir")));
  EXPECT_TRUE(Entries().empty());
}

TEST_F(RefusedWrite, DirectoryInPlaceOfFileFails) {
  ASSERT_TRUE(sys().MakeDirectory(Path("USER.INI")));
  EXPECT_FALSE(userprofile::WriteProfileValue("NUSER", "NO", "1", Path("USER.INI")));
  EXPECT_TRUE(IsDir(Path("USER.INI")));
  EXPECT_EQ(Entries(), std::set<std::string>{"USER.INI"});
}

TEST_F(RefusedWrite, WriteKeepsFilePermissions) {
  const std::string file = Path("USER.INI");
  WriteFile(file, "[NUSER]\r\nNO=1\r\n");
  ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
  ASSERT_TRUE(userprofile::WriteProfileValue("NUSER", "NO", "2", file));
  EXPECT_EQ(ReadFile(file), "[NUSER]\r\nNO=2\r\n");
  EXPECT_EQ(Mode(file), 0640u);
  EXPECT_EQ(Entries(), (std::set<std::string>{"USER.INI", "USER.INI.lock"}));
}

// --- The exclusive open (the sign-in lock) -----------------------------------

class ExclusiveOpen : public PosixPlatform {
 protected:
  void SetUp() override {
    PosixPlatform::SetUp();
    lock_ = Path("IKIVO.SMP");
    WriteFile(lock_, "");
  }
  std::string lock_;
};

// A second process holding the lock file, driven line by line.
class Holder {
 public:
  explicit Holder(const std::string& path) : child_(ChildArgv({"hold", path})) {
    line_ = child_.ReadLine().value_or("(no answer)");
  }
  const std::string& first_line() const { return line_; }
  std::string Close() {
    child_.WriteLine("close");
    return child_.ReadLine().value_or("(no answer)");
  }
  int Exit() {
    child_.WriteLine("exit");
    return child_.Wait();
  }
  int Kill() {
    child_.Kill(SIGKILL);
    return child_.Wait();
  }

 private:
  Child child_;
  std::string line_;
};

TEST_F(ExclusiveOpen, SecondProcessRefusedUntilFirstCloses) {
  Holder holder(lock_);
  ASSERT_EQ(holder.first_line(), "held 1");
  EXPECT_EQ(sys().OpenExclusive(lock_), kFailedLock);
  EXPECT_EQ(TryInOtherProcess(lock_), "open 0\n");
  EXPECT_EQ(holder.Close(), "closed");
  LockHandle mine = sys().OpenExclusive(lock_);
  EXPECT_NE(mine, kFailedLock);
  EXPECT_GT(mine, 0);
  EXPECT_EQ(TryInOtherProcess(lock_), "open 0\n");
  sys().CloseExclusive(mine);
  EXPECT_EQ(TryInOtherProcess(lock_), "open 1\n");
}

TEST_F(ExclusiveOpen, ReleasedWhenHolderExits) {
  Holder holder(lock_);
  ASSERT_EQ(holder.first_line(), "held 1");
  EXPECT_EQ(sys().OpenExclusive(lock_), kFailedLock);
  EXPECT_EQ(holder.Exit(), 0);
  LockHandle mine = sys().OpenExclusive(lock_);
  EXPECT_NE(mine, kFailedLock);
  sys().CloseExclusive(mine);
}

TEST_F(ExclusiveOpen, ReleasedWhenHolderIsKilled) {
  Holder holder(lock_);
  ASSERT_EQ(holder.first_line(), "held 1");
  EXPECT_EQ(TryInOtherProcess(lock_), "open 0\n");
  EXPECT_EQ(holder.Kill(), 128 + SIGKILL);
  LockHandle mine = sys().OpenExclusive(lock_);
  EXPECT_NE(mine, kFailedLock);
  sys().CloseExclusive(mine);
}

TEST_F(ExclusiveOpen, SameProcessSecondOpenRefused) {
  LockHandle first = sys().OpenExclusive(lock_);
  ASSERT_NE(first, kFailedLock);
  EXPECT_EQ(sys().OpenExclusive(lock_), kFailedLock);
  // The refused open closed its own descriptor; that must not have
  // dropped the first one's lock.
  EXPECT_EQ(sys().OpenExclusive(lock_), kFailedLock);
  EXPECT_EQ(TryInOtherProcess(lock_), "open 0\n");
  sys().CloseExclusive(first);
  LockHandle again = sys().OpenExclusive(lock_);
  EXPECT_NE(again, kFailedLock);
  sys().CloseExclusive(again);
}

TEST_F(ExclusiveOpen, HeldFileIsNotTruncatedByAnotherProcess) {
  WriteFile(lock_, "12345");
  Holder holder(lock_);
  ASSERT_EQ(holder.first_line(), "held 1");
  EXPECT_FALSE(sys().CreateEmptyFile(lock_));
  EXPECT_EQ(RunChild({"create-empty", lock_}).out, "created 0\n");
  EXPECT_EQ(ReadFile(lock_), "12345");
  // The holder still holds: neither this process nor a third gets it, and
  // no stand-in file appeared beside it.
  EXPECT_EQ(sys().OpenExclusive(lock_), kFailedLock);
  EXPECT_EQ(TryInOtherProcess(lock_), "open 0\n");
  EXPECT_EQ(Entries(), std::set<std::string>{"IKIVO.SMP"});
  EXPECT_EQ(holder.Close(), "closed");
  EXPECT_TRUE(sys().CreateEmptyFile(lock_));
  EXPECT_EQ(ReadFile(lock_), "");
}

TEST_F(ExclusiveOpen, HeldFileIsNotTruncatedBySameProcess) {
  WriteFile(lock_, "12345");
  LockHandle mine = sys().OpenExclusive(lock_);
  ASSERT_NE(mine, kFailedLock);
  EXPECT_FALSE(sys().CreateEmptyFile(lock_));
  EXPECT_EQ(ReadFile(lock_), "12345");
  // Closing the creation's descriptor left this process's lock in place.
  EXPECT_EQ(TryInOtherProcess(lock_), "open 0\n");
  sys().CloseExclusive(mine);
}

TEST_F(ExclusiveOpen, MissingFileOrDirectoryRefusedAndNotCreated) {
  EXPECT_EQ(sys().OpenExclusive(Path("missing.smp")), kFailedLock);
  EXPECT_FALSE(fs::exists(Path("missing.smp")));
  ASSERT_TRUE(sys().MakeDirectory(Path("adir")));
  EXPECT_EQ(sys().OpenExclusive(Path("adir")), kFailedLock);
  EXPECT_EQ(Entries(), (std::set<std::string>{"IKIVO.SMP", "adir"}));
}

TEST_F(ExclusiveOpen, ClosingNothingIsHarmless) {
  sys().CloseExclusive(kFailedLock);
  sys().CloseExclusive(userprofile::kNoLock);
  LockHandle mine = sys().OpenExclusive(lock_);
  EXPECT_NE(mine, kFailedLock);
  sys().CloseExclusive(mine);
}

TEST_F(ExclusiveOpen, HandleIsNeverZeroEvenWithStdinClosed) {
  const int saved = ::dup(0);
  ASSERT_GE(saved, 0);
  ::close(0);
  LockHandle mine = sys().OpenExclusive(lock_);
  const bool zero_free = ::fcntl(0, F_GETFD) < 0;
  ::dup2(saved, 0);
  ::close(saved);
  EXPECT_GT(mine, 0);
  EXPECT_TRUE(zero_free) << "descriptor 0 kept";
  EXPECT_EQ(TryInOtherProcess(lock_), "open 0\n");
  sys().CloseExclusive(mine);
}

// One look at a lock file answers what IsNormalFile and IsHeldExclusively
// answer, for whatever may stand in a lock file's place.
TEST_F(ExclusiveOpen, LockFileProbeAnswersAsTheTwoProbes) {
  const auto expect = [&](const std::string& path, bool normal,
                          std::optional<bool> held) {
    SCOPED_TRACE(path);
    const userprofile::LockFileState state = sys().ProbeLockFile(path);
    EXPECT_EQ(state.normal_file, normal);
    EXPECT_EQ(state.held, held);
    EXPECT_EQ(sys().IsNormalFile(path), normal);
    EXPECT_EQ(sys().IsHeldExclusively(path), held);
  };
  ASSERT_TRUE(sys().MakeDirectory(Path("linked")));
  ASSERT_EQ(::symlink("../IKIVO.SMP", Path("linked/IKIVO.SMP").c_str()), 0);
  ASSERT_EQ(::symlink(dir_.c_str(), Path("homelink").c_str()), 0);
  expect(lock_, true, false);
  {
    Holder holder(lock_);
    ASSERT_EQ(holder.first_line(), "held 1");
    expect(lock_, true, true);
    // The held file through a link, as the lock file or as its home.
    expect(Path("linked/IKIVO.SMP"), false, false);
    expect(Path("homelink/IKIVO.SMP"), false, false);
    // A doubled separator must not make the directory "homelink/", which
    // every call resolves through the link.
    expect(Path("homelink//IKIVO.SMP"), false, false);
    EXPECT_EQ(holder.Exit(), 0);
  }
  expect(lock_, true, false);
  expect(Path("missing"), false, false);
  expect(Path("nohome/IKIVO.SMP"), false, false);
  WriteFile(Path("file"), "x");
  expect(Path("file/IKIVO.SMP"), false, false);
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  expect(Path("fifo"), false, false);
  expect(Path("linked"), false, false);
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(lock_.c_str(), 0), 0);
    expect(lock_, true, std::nullopt);
  }
}

// --- The update lock of a profile file
// -----------------------------------------

class UpdateLock : public PosixPlatform {
 protected:
  void SetUp() override {
    PosixPlatform::SetUp();
    file_ = Path("USER.INI");
    WriteFile(file_, "[NUSER]\r\nNO=1\r\n");
  }
  std::string file_;
};

// A second process holding the update of a file, driven line by line.
class Updater {
 public:
  Updater(const std::string& path, unsigned timeout_ms)
      : child_(ChildArgv({"update", path, std::to_string(timeout_ms)})) {}
  std::string Line() { return child_.ReadLine().value_or("(no answer)"); }
  std::string Say(const std::string& line) {
    child_.WriteLine(line);
    return Line();
  }
  int Kill() {
    child_.Kill(SIGKILL);
    return child_.Wait();
  }

 private:
  Child child_;
};

TEST_F(UpdateLock, HolderExcludesOthersAcrossItsOwnWrites) {
  const std::string before = "[NUSER]\r\nNO=1\r\n";
  const std::string after = before + "[LUSER]\r\n1=Ann,Ann00000\r\n";
  WriteFile(file_, before);
  Updater other(file_, 1000);
  ASSERT_EQ(other.Line(), "locked 1");
  EXPECT_FALSE(LockForUpdate(file_, 50));
  // The file is replaced when the update ends; the lock stays held on the
  // lock file beside it throughout.
  EXPECT_EQ(other.Say("write LUSER 1 Ann,Ann00000"), "write 1");
  EXPECT_EQ(ReadFile(file_), before);
  EXPECT_FALSE(LockForUpdate(file_, 50));
  EXPECT_EQ(other.Say("unlock"), "unlocked");
  EXPECT_EQ(ReadFile(file_), after);
  ASSERT_TRUE(LockForUpdate(file_, 1000));
  UnlockForUpdate(file_);
}

TEST_F(UpdateLock, WriterWaitsForHolderAndLosesNothing) {
  ASSERT_TRUE(LockForUpdate(file_, 1000));
  Child writer(ChildArgv({"write", file_, "LUSER", "2", "Bob,Bob00000"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // The waiting write has not happened; the holder's own writes go on.
  EXPECT_EQ(ReadFile(file_), "[NUSER]\r\nNO=1\r\n");
  ASSERT_TRUE(userprofile::WriteProfileValue("LUSER", "1", "Ann,Ann00000", file_));
  ASSERT_TRUE(userprofile::WriteProfileValue("NUSER", "NO", "2", file_));
  UnlockForUpdate(file_);
  EXPECT_EQ(writer.ReadLine(), "write 1");
  EXPECT_EQ(writer.Wait(), 0);
  EXPECT_EQ(ReadFile(file_),
            "[NUSER]\r\nNO=2\r\n[LUSER]\r\n1=Ann,Ann00000\r\n"
            "2=Bob,Bob00000\r\n");
  EXPECT_EQ(Entries(), (std::set<std::string>{"USER.INI", "USER.INI.lock"}));
}

TEST_F(UpdateLock, ReadsDoNotWait) {
  Updater other(file_, 1000);
  ASSERT_EQ(other.Line(), "locked 1");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(userprofile::ReadProfileInt("NUSER", "NO", 0, file_), 1u);
  EXPECT_EQ(userprofile::ReadProfileString("NUSER", "NO", 33, file_), "1");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(UpdateLock, KilledHolderReleases) {
  Updater other(file_, 1000);
  ASSERT_EQ(other.Line(), "locked 1");
  EXPECT_FALSE(LockForUpdate(file_, 50));
  EXPECT_EQ(other.Kill(), 128 + SIGKILL);
  ASSERT_TRUE(LockForUpdate(file_, 1000));
  UnlockForUpdate(file_);
}

TEST_F(UpdateLock, NestedCallsCount) {
  ASSERT_TRUE(LockForUpdate(file_, 1000));
  ASSERT_TRUE(LockForUpdate(file_, 1000));
  UnlockForUpdate(file_);
  {
    Updater other(file_, 50);
    EXPECT_EQ(other.Line(), "locked 0");
  }
  UnlockForUpdate(file_);
  Updater other(file_, 1000);
  EXPECT_EQ(other.Line(), "locked 1");
}

TEST_F(UpdateLock, MissingFileIsCreatedEmptyMissingDirectoryIsNot) {
  const std::string fresh = Path("NEW.INI");
  ASSERT_TRUE(LockForUpdate(fresh, 1000));
  EXPECT_EQ(ReadFile(fresh), "");
  UnlockForUpdate(fresh);
  EXPECT_FALSE(LockForUpdate(Path("nodir/USER.INI"), 50));
  EXPECT_FALSE(fs::exists(Path("nodir")));
}

TEST_F(UpdateLock, SignInLockIsAnotherMatter) {
  // The update lock of the registry never blocks a user's lock file, nor
  // the other way round.
  const std::string lock = Path("IKIVO.SMP");
  WriteFile(lock, "");
  ASSERT_TRUE(LockForUpdate(file_, 1000));
  EXPECT_EQ(TryInOtherProcess(lock), "open 1\n");
  Holder holder(lock);
  ASSERT_EQ(holder.first_line(), "held 1");
  UnlockForUpdate(file_);
  EXPECT_EQ(RunChild({"write", file_, "NUSER", "NO", "2"}).out, "write 1\n");
}

TEST_F(UpdateLock, LockFileIsNeverFollowedNorWaitedOn) {
  // A link in the lock file's place is not followed, so nothing is made
  // where it leads; a FIFO there is not waited on. Either refuses the
  // write and leaves the registry as it was.
  const std::string lock = file_ + ".lock";
  const std::string outside = Path("outside");
  ASSERT_EQ(::symlink(outside.c_str(), lock.c_str()), 0);
  EXPECT_FALSE(userprofile::WriteProfileValue("NUSER", "NO", "2", file_));
  EXPECT_FALSE(fs::exists(outside));
  ASSERT_EQ(::unlink(lock.c_str()), 0);
  ASSERT_EQ(::mkfifo(lock.c_str(), 0666), 0);
  EXPECT_EQ(RunChild({"write", file_, "NUSER", "NO", "2"}).out, "write 0\n");
  EXPECT_EQ(ReadFile(file_), "[NUSER]\r\nNO=1\r\n");
}

// --- Files and directories
// ------------------------------------------------------

using FilesAndDirectories = PosixPlatform;

TEST_F(FilesAndDirectories, EnterableDirectoryProbeKeepsCurrentDirectory) {
  const fs::path start = fs::current_path();
  WriteFile(Path("file"), "x");
  ASSERT_TRUE(sys().MakeDirectory(Path("home")));
  EXPECT_TRUE(sys().IsEnterableDirectory(Path("home")));
  EXPECT_EQ(fs::current_path(), start);
  EXPECT_TRUE(sys().IsEnterableDirectory(Path("home/")));
  EXPECT_FALSE(sys().IsEnterableDirectory(Path("file")));
  EXPECT_EQ(fs::current_path(), start);
  EXPECT_FALSE(sys().IsEnterableDirectory(Path("missing")));
  EXPECT_FALSE(sys().IsEnterableDirectory(Path("missing/sub")));
  EXPECT_FALSE(sys().IsEnterableDirectory(""));
  EXPECT_EQ(fs::current_path(), start);
}

TEST_F(FilesAndDirectories, MakeDirectoryCreatesOneLevelOnly) {
  EXPECT_TRUE(sys().MakeDirectory(Path("home")));
  EXPECT_FALSE(sys().MakeDirectory(Path("home")));
  EXPECT_FALSE(sys().MakeDirectory(Path("home/")));
  EXPECT_TRUE(sys().MakeDirectory(Path("trail/")));
  EXPECT_FALSE(sys().MakeDirectory(Path("nodir/sub")));
  EXPECT_FALSE(fs::exists(Path("nodir")));
  WriteFile(Path("file"), "x");
  EXPECT_FALSE(sys().MakeDirectory(Path("file")));
  EXPECT_FALSE(sys().MakeDirectory(Path("file/sub")));
  EXPECT_EQ(Entries(), (std::set<std::string>{"file", "home", "trail"}));
}

TEST_F(FilesAndDirectories, NormalFileProbe) {
  WriteFile(Path("file"), "x");
  ASSERT_TRUE(sys().MakeDirectory(Path("home")));
  EXPECT_TRUE(sys().IsNormalFile(Path("file")));
  EXPECT_FALSE(sys().IsNormalFile(Path("home")));
  EXPECT_FALSE(sys().IsNormalFile(Path("missing")));
  EXPECT_FALSE(sys().IsNormalFile(Path("file/")));
}

// A link is followed only when asked: the version of a linked profile
// file is its target's, while a lock file's look sees the link itself.
TEST_F(FilesAndDirectories, LookFollowsLinksOnlyWhenAsked) {
  WriteFile(Path("file"), "12345");
  ASSERT_EQ(::symlink(Path("file").c_str(), Path("link").c_str()), 0);
  const userprofile::FileLook followed = sys().Look(Path("link"), true);
  EXPECT_EQ(followed.kind, userprofile::FileKind::kFile);
  EXPECT_EQ(followed.version.size, 5u);
  EXPECT_EQ(sys().Look(Path("link"), false).kind, userprofile::FileKind::kLink);
  EXPECT_FALSE(sys().IsNormalFile(Path("link")));
  EXPECT_TRUE(sys().NameTaken(Path("link")));
}

TEST_F(FilesAndDirectories, CreateFileIfAbsentNeverTruncates) {
  const std::string file = Path("USER.INI");
  WriteFile(file, "[NUSER]\r\nNO=3\r\n");
  EXPECT_EQ(sys().CreateFileIfAbsent(file).kind(), Failure::kExists);
  EXPECT_EQ(ReadFile(file), "[NUSER]\r\nNO=3\r\n");
  // Even while another process holds the file.
  Holder holder(file);
  ASSERT_EQ(holder.first_line(), "held 1");
  EXPECT_EQ(sys().CreateFileIfAbsent(file).kind(), Failure::kExists);
  EXPECT_EQ(ReadFile(file), "[NUSER]\r\nNO=3\r\n");
}

TEST_F(FilesAndDirectories, CreateFileIfAbsentCreatesEmptyOrFails) {
  EXPECT_TRUE(sys().CreateFileIfAbsent(Path("new.ini")).ok());
  EXPECT_TRUE(IsFile(Path("new.ini")));
  EXPECT_EQ(ReadFile(Path("new.ini")), "");
  EXPECT_EQ(sys().CreateFileIfAbsent(Path("nodir/new.ini")).kind(),
            Failure::kNotFound);
  EXPECT_FALSE(fs::exists(Path("nodir")));
}

TEST_F(FilesAndDirectories, CreateEmptyFileCreatesOrTruncates) {
  const std::string file = Path("IKIVO.SMP");
  EXPECT_TRUE(sys().CreateEmptyFile(file));
  EXPECT_TRUE(IsFile(file));
  WriteFile(file, "0123456789");
  EXPECT_TRUE(sys().CreateEmptyFile(file));
  EXPECT_EQ(ReadFile(file), "");
  // The lock it takes to truncate is not kept.
  EXPECT_EQ(TryInOtherProcess(file), "open 1\n");
  EXPECT_FALSE(sys().CreateEmptyFile(Path("nodir/IKIVO.SMP")));
  EXPECT_FALSE(fs::exists(Path("nodir")));
  ASSERT_TRUE(sys().MakeDirectory(Path("adir")));
  EXPECT_FALSE(sys().CreateEmptyFile(Path("adir")));
  EXPECT_TRUE(IsDir(Path("adir")));
}

// --- Module paths
// -----------------------------------------------------------------

std::string ThisProgram() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
}

TEST(ModulePath, NullAndOwnAddressNameTheMainProgram) {
  const std::string exe = ThisProgram();
  if (exe.size() > userprofile::kMaxPath) GTEST_SKIP() << "build path too long";
  static int in_this_program = 0;
  EXPECT_EQ(NativePlatform().ModuleFileName(nullptr), exe);
  EXPECT_EQ(NativePlatform().ModuleFileName(&in_this_program), exe);
  EXPECT_EQ(NativePlatform().ModuleFileName(
                reinterpret_cast<const void*>(&ThisProgram)),
            exe);
}

TEST(ModulePath, AddressInsideSharedLibraryNamesThatLibrary) {
  const std::string so = USERPROFILE_SO_PATH;
  if (so.size() > userprofile::kMaxPath) GTEST_SKIP() << "build path too long";
  void* lib = ::dlopen(so.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  void* wep = ::dlsym(lib, "WEP");
  ASSERT_NE(wep, nullptr);
  EXPECT_EQ(NativePlatform().ModuleFileName(wep), so);
  ::dlclose(lib);
}

TEST(ModulePath, AddressOutsideEveryModuleHasNoPath) {
  EXPECT_EQ(NativePlatform().ModuleFileName(reinterpret_cast<const void*>(8)),
            std::nullopt);
}

}  // namespace
