// A second process for the platform tests: holds, probes or rewrites one
// file through the real platform of this build, as another instance of
// the host would. One command per run:
//
//   write-loop FILE SIZE_A SIZE_B COUNT  alternates the value of [LUSER] k
//                                        between SIZE_A 'a's and SIZE_B
//                                        'b's, COUNT times (0: forever)
//   write-steps FILE SIZE_A SIZE_B  the same writes (b first), each when
//                    a line comes on input; prints "wrote b" or "wrote a"
//                    after each; exits at end of input
//   hold FILE        opens FILE exclusively, prints "held 1" or "held 0",
//                    then per input line: "close" closes it and prints
//                    "closed"; "exit" (or end of input) exits holding it
//   try FILE         prints "open 1" or "open 0" for an exclusive open
//   create-empty FILE  prints "created 1" or "created 0"
//   write FILE SECTION KEY VALUE  prints "write 1" or "write 0"
//   update FILE TIMEOUT_MS  takes the update lock, prints "locked 1" or
//                    "locked 0", then per input line: "write SECTION KEY
//                    VALUE" writes and prints "write 1" or "write 0";
//                    "unlock" releases and prints "unlocked"; "exit" (or
//                    end of input) exits
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>

#include "platform/platform.h"
#include "registry/profile_store.h"

using userprofile::kFailedLock;
using userprofile::LockHandle;
using userprofile::NativePlatform;
using userprofile::WriteProfileValue;

namespace {

int WriteLoop(const std::string& file, std::size_t a, std::size_t b,
              long count) {
  const std::string value_a(a, 'a');
  const std::string value_b(b, 'b');
  for (long i = 0; count == 0 || i < count; ++i) {
    if (!WriteProfileValue("LUSER", "k", value_b, file) ||
        !WriteProfileValue("LUSER", "k", value_a, file)) {
      return 1;
    }
  }
  return 0;
}

int WriteSteps(const std::string& file, std::size_t a, std::size_t b) {
  const std::string values[] = {std::string(b, 'b'), std::string(a, 'a')};
  std::string line;
  for (int i = 0; std::getline(std::cin, line); i = 1 - i) {
    if (!WriteProfileValue("LUSER", "k", values[i], file)) {
      return 1;
    }
    std::cout << "wrote " << (i == 0 ? 'b' : 'a') << std::endl;
  }
  return 0;
}

int Hold(const std::string& file) {
  LockHandle handle = kFailedLock;
  static_cast<void>(NativePlatform().OpenExclusive(file, handle));
  std::cout << "held " << (handle != kFailedLock ? 1 : 0) << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "close") {
      NativePlatform().CloseExclusive(handle);
      std::cout << "closed" << std::endl;
    } else if (line == "exit") {
      break;
    }
  }
  return 0;  // a handle still open is released by the exit
}

int Update(const std::string& file, unsigned timeout_ms) {
  std::optional<userprofile::ProfileUpdate> update;
  update.emplace(file, timeout_ms);
  std::cout << "locked " << (update->held() ? 1 : 0) << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command, section, key, value;
    words >> command;
    if (command == "write" && words >> section >> key >> value) {
      const bool ok =
          WriteProfileValue(section, key, value, file);
      std::cout << "write " << (ok ? 1 : 0) << std::endl;
    } else if (command == "unlock") {
      update->Commit();
      std::cout << "unlocked" << std::endl;
    } else if (command == "exit") {
      break;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string cmd = argv[1];
  const std::string file = argv[2];
  if (cmd == "write-loop" && argc == 6) {
    return WriteLoop(file, std::strtoul(argv[3], nullptr, 10),
                     std::strtoul(argv[4], nullptr, 10),
                     std::strtol(argv[5], nullptr, 10));
  }
  if (cmd == "write-steps" && argc == 5) {
    return WriteSteps(file, std::strtoul(argv[3], nullptr, 10),
                      std::strtoul(argv[4], nullptr, 10));
  }
  if (cmd == "hold") return Hold(file);
  if (cmd == "update" && argc == 4) {
    return Update(file,
                  static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)));
  }
  if (cmd == "try") {
    LockHandle handle = kFailedLock;
    static_cast<void>(NativePlatform().OpenExclusive(file, handle));
    std::cout << "open " << (handle != kFailedLock ? 1 : 0) << std::endl;
    NativePlatform().CloseExclusive(handle);
    return 0;
  }
  if (cmd == "create-empty") {
    std::cout << "created " << (NativePlatform().CreateEmptyFile(file).ok() ? 1 : 0)
              << std::endl;
    return 0;
  }
  if (cmd == "write" && argc == 6) {
    std::cout << "write "
              << (WriteProfileValue(argv[3], argv[4], argv[5],
                                                      file)
                      ? 1
                      : 0)
              << std::endl;
    return 0;
  }
  return 2;
}
