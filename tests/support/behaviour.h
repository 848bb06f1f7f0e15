// What the behaviour tests share: an application tree with the library
// anchored in-process at the tree's host program, registry text as the
// library writes it, snapshots of a tree, and the candidate names of the
// home directory search.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "support/platform_wrapper.h"
#include "support/apptree.h"
#include "userprofile.h"

namespace testing_support {

// Registry text with the CRLF line ends of a file the library created.
inline std::string Crlf(std::initializer_list<std::string_view> lines) {
  std::string text;
  for (std::string_view line : lines) text.append(line).append("\r\n");
  return text;
}

// The registry a library writes from an empty start: "Default" and
// "Ann Lee", "Default" the default user.
inline std::string ExampleRegistry() {
  return Crlf({"[NUSER]", "NO=2", "[LUSER]", "1=Default,Default0",
               "2=Ann Lee,AnnLee00", "[DEFUSER]", "DefaultUser=Default"});
}

// Every path below `root` with what it holds ("<dir>", the bytes of a
// small file, the size of a program): equal snapshots mean that nothing
// was created, removed or written.
inline std::map<std::string, std::string> TreeState(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> state;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string path = it->path().string();
    if (it->is_directory()) {
      state[path] = "<dir>";
    } else if (it->file_size() > 4096) {
      state[path] = "<" + std::to_string(it->file_size()) + " bytes>";
    } else {
      state[path] = ReadFile(path);
    }
  }
  return state;
}

// The names the home directory search tries for `name8`, in order and
// each once. The last position takes the digits from `first_digit` to 9,
// every position further left 1 to 9 with 9s to its right, and the first
// position 1 to 8.
inline std::vector<std::string> CandidateSeries(const std::string& name8,
                                                int first_digit) {
  std::vector<std::string> series{name8};
  std::string name = name8;
  for (int pos = 7; pos >= 0; --pos) {
    const int low = pos == 7 ? first_digit : 1;
    const int high = pos == 0 ? 8 : 9;
    for (int d = low; d <= high; ++d) {
      name[static_cast<std::size_t>(pos)] = static_cast<char>('0' + d);
      if (name != series.back()) series.push_back(name);
    }
    name[static_cast<std::size_t>(pos)] = '9';
  }
  return series;
}

// The module directory, below a fresh tree's root, whose users root has
// exactly `users_length` characters: <root>/ppp.../<prog>, users root
// <root>/ppp.../USER.
inline std::string ProgDirForUsersRoot(std::size_t users_length,
                                       const std::string& prog = "PROG") {
  const std::size_t root_length =
      (std::filesystem::temp_directory_path() / "upt.XXXXXX").string().size();
  const std::size_t pad = users_length - root_length - 1 - 5;
  return std::string(pad, 'p') + "/" + prog;
}

// Installs a platform for one scope and restores the one before it.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(userprofile::Platform& platform)
      : previous_(userprofile::Sys()) {
    userprofile::SetPlatform(&platform);
  }
  ~ScopedPlatform() { userprofile::SetPlatform(&previous_); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  userprofile::Platform& previous_;
};

// A test against a fresh application tree <tmp>/APP/PROG/MAIN, with the
// library of this process anchored at that module and its reports
// collected.
class AppTest : public ::testing::Test {
 protected:
  explicit AppTest(const std::string& prog_dir = "APP/PROG")
      : tree_(prog_dir), app_(tree_.host()) {}

  ModuleHandle module() const { return app_.handle(); }
  // The check numbers reported since the last call, in order.
  std::vector<unsigned> Checks() { return app_.TakeChecks(); }
  // Every message shown since the last call ("caption: text").
  std::vector<std::string> Messages() { return app_.TakeMessages(); }

  std::string RegistryText() const { return ReadFile(tree_.registry()); }
  void SetRegistry(const std::string& text) const {
    WriteFile(tree_.registry(), text);
  }
  std::string Home(const std::string& dir_name) const {
    return tree_.Home(dir_name);
  }
  std::string LockFile(const std::string& dir_name) const {
    return Home(dir_name) + kSep + "IKIVO.SMP";
  }
  // A home directory with its lock file, as creation leaves it.
  void MakeHome(const std::string& dir_name) const {
    MakeDirs(Home(dir_name));
    WriteFile(LockFile(dir_name), "");
  }

  AppTree tree_;
  InProcessApp app_;
};

}  // namespace testing_support
