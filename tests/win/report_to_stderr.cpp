// Linked into the statically built test host: every message the library
// shows goes to standard error as one line "caption: text", as on POSIX,
// so that a test reads the host's reports from its output instead of
// from message boxes.
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace {

const bool kInstalled = [] {
  userprofile::SetMessageSink(
      [](const std::string& caption, const std::string& text, unsigned) {
        const std::string line = caption + ": " + text + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
      });
  return true;
}();

}  // namespace
