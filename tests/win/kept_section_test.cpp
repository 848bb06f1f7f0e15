// The Windows build keeps the registry it read between calls while the
// file stays unchanged. No change of the file may go unseen by
// the next call: not another host's update, not a same-size rewrite in
// place, not a replacement by rename, not this process's own writes.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "frame/frame.h"
#include "platform/platform.h"
#include "support/platform_wrapper.h"
#include "support/apptree.h"
#include "support/process.h"
#include "userprofile.h"

namespace fs = std::filesystem;
using testing_support::Join;
using testing_support::TempTree;
using testing_support::WriteFile;

namespace {

// This process as a host at `module`, through the real platform, counting
// the reads of whole files.
class CountingHost : public userprofile::PlatformWrapper {
 public:
  explicit CountingHost(std::string module)
      : PlatformWrapper(userprofile::NativePlatform()),
        module_(std::move(module)) {
    userprofile::LibraryLoad();
    userprofile::SetPlatform(this);
    userprofile::SetMessageSink(
        [](const std::string&, const std::string&, unsigned) {});
  }
  ~CountingHost() override {
    userprofile::SetMessageSink(nullptr);
    userprofile::SetPlatform(nullptr);
    userprofile::LibraryLoad();
  }
  std::optional<std::string> ModuleFileName(const void*) override {
    return module_;
  }
  userprofile::Status ReadFile(const std::string& path,
                              std::string& content) override {
    ++file_reads;
    return PlatformWrapper::ReadFile(path, content);
  }
  ModuleHandle handle() const { return userprofile::AsHandle(this); }

  int file_reads = 0;

 private:
  std::string module_;
};

// A registry of two users and the default user.
std::string Registry(std::string_view second, std::string_view default_user) {
  return "[NUSER]\r\nNO=2\r\n[LUSER]\r\n1=Ann,Ann00000\r\n2=" +
         std::string(second) +
         "\r\n[DEFUSER]\r\nDefaultUser=" + std::string(default_user) + "\r\n";
}

// Long enough for the file's times to lie clearly in the past, so that a
// read keeps what it read.
void Settle() { ::Sleep(200); }

}  // namespace

TEST(WinKeptSection, NoChangeOfTheRegistryIsHiddenFromTheNextCall) {
  TempTree tree;
  const std::string prog = tree.At({"APP", "PROG"});
  fs::create_directories(prog);
  fs::create_directories(tree.At({"APP", "USER"}));
  const std::string registry = Join({prog, "USER.INI"});
  // Another host process in the same tree.
  const std::string other = Join({prog, "OTHER.EXE"});
  fs::copy_file(Join({testing_support::ProgramDir(), "up_host_static.exe"}),
                other);
  WriteFile(registry, Registry("Bob,Bob00000", "Ann"));
  CountingHost host(Join({prog, "MAIN.EXE"}));

  // The same questions, the same name twice in a row (a host's usual
  // pattern), as this process answers them and as a new process reading
  // the file afresh answers them.
  const std::vector<std::string> names = {"Bob", "Ann", "Bea", "Bob"};
  auto answers = [&] {
    std::string out;
    for (const std::string& name : names) {
      out += "exists: " +
             std::to_string(DoesUserExist(host.handle(), name.c_str())) + "\n";
    }
    char user[USERPROFILE_DEFAULT_SIZE];
    GetDefaultUser(host.handle(), user);
    return out + "getdef: " + user + "\n";
  };
  auto fresh = [&] {
    std::vector<std::string> argv = {other};
    for (const std::string& name : names) {
      argv.insert(argv.end(), {"exists", name});
    }
    argv.push_back("getdef");
    return testing_support::Run(argv).out;
  };
  // After a change, once the file's times lie in the past: the first call
  // sees the change, a new process agrees, and the calls after it are
  // answered from the parse kept.
  auto expect_seen = [&](const std::string& expected) {
    Settle();
    EXPECT_EQ(answers(), expected);
    EXPECT_EQ(fresh(), expected);
    const int reads = host.file_reads;
    EXPECT_EQ(answers(), expected);
    EXPECT_EQ(host.file_reads, reads) << "the registry was not kept";
  };

  const std::string start =
      "exists: 2\nexists: 1\nexists: 0\nexists: 2\n"
      "getdef: Ann\n";
  expect_seen(start);

  // Another host's update: the file replaced by a copy of the same size.
  ASSERT_EQ(testing_support::Run({other, "setdef", "Bob"}).out,
            "setdef: Bob\n");
  const std::string by_other =
      "exists: 2\nexists: 1\nexists: 0\nexists: 2\n"
      "getdef: Bob\n";
  expect_seen(by_other);

  // A same-size rewrite in place, by a writer that is not the library.
  WriteFile(registry, Registry("Bea,Bob00000", "Bob"));
  const std::string in_place =
      "exists: 0\nexists: 1\nexists: 2\nexists: 0\n"
      "getdef: Bob\n";
  expect_seen(in_place);

  // A replacement by rename, of the same size.
  WriteFile(registry + ".new", Registry("Bob,Bob00000", "Bea"));
  ASSERT_TRUE(::MoveFileExA((registry + ".new").c_str(), registry.c_str(),
                            MOVEFILE_REPLACE_EXISTING));
  const std::string renamed =
      "exists: 2\nexists: 1\nexists: 0\nexists: 2\n"
      "getdef: Bea\n";
  expect_seen(renamed);

  // This process's own writes.
  SetDefaultUser(host.handle(), "Ann");
  char user[USERPROFILE_DEFAULT_SIZE];
  GetDefaultUser(host.handle(), user);
  EXPECT_STREQ(user, "Ann");
  char bea[] = "Bea";
  CreateUserProfile(host.handle(), bea, 1);
  EXPECT_EQ(DoesUserExist(host.handle(), "Bea"), 3);
  const std::string own =
      "exists: 2\nexists: 1\nexists: 3\nexists: 2\n"
      "getdef: Ann\n";
  EXPECT_EQ(answers(), own);
  expect_seen(own);
}
