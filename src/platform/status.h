// What an operation of any layer answers when it fails: the kind of failure
// a caller can act on, and one line that says what failed, on which path,
// and the system's reason (built by PosixError or WindowsError).
#pragma once

#include <string>
#include <utility>

namespace userprofile {

// The kinds of failure a caller can act on differently. The numbers are
// part of the C interface (userprofile_last_error) and never change.
enum class Failure : int {
  kNone = 0,
  kInvalidArgument = 1,    // a missing pointer, an invalid or too long name
  kNotFound = 2,           // no such user, no such entry, no such file
  kSignedInElsewhere = 3,  // the user's lock is held by another sign-in
  kPermission = 4,         // the system refused access to a file
  kIo = 5,                 // any other failed file operation
  kBusy = 6,               // the registry's update lock was not had in time
  kExists = 7,             // the name is already registered or taken
  kDamaged = 8,            // the registry or the tree is not as it must be
  kRefused = 9,            // refused to keep data safe unless forced
};

class Status {
 public:
  Status() = default;  // success
  Status(Failure kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  bool ok() const { return kind_ == Failure::kNone; }
  explicit operator bool() const { return ok(); }
  Failure kind() const { return kind_; }
  const std::string& text() const { return text_; }

 private:
  Failure kind_ = Failure::kNone;
  std::string text_;
};

}  // namespace userprofile
