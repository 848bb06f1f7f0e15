// Why the calling thread's last operation failed, kept per thread so that
// a host (through the C interface) and the administrator's tool can say
// more than "it did not work". Every layer that sees a failure's cause
// records it here; an export clears it when it starts.
#pragma once

#include <string>

namespace userprofile {

// The kinds of failure a caller can act on differently. The numbers are
// part of the C interface (userprofile_last_error) and never change.
enum class Failure : int {
  kNone = 0,
  kInvalidArgument = 1,    // a missing pointer, an invalid or too long name
  kNotFound = 2,           // no such user, no such entry
  kSignedInElsewhere = 3,  // the user's lock is held by another sign-in
  kPermission = 4,         // the system refused access to a file
  kIo = 5,                 // any other failed file operation
  kBusy = 6,               // the registry's update lock was not had in time
  kExists = 7,             // the name is already registered or taken
  kDamaged = 8,            // the registry or the tree is not as it must be
};

struct FailureCause {
  Failure kind = Failure::kNone;
  std::string text;  // one line: what failed, on which path, and why
};

// Records the cause of a failure for the calling thread, replacing any
// earlier one.
void SetFailure(Failure kind, std::string text);
// Records the cause only if the calling thread has none yet in this call:
// the first cause found is the one a caller acts on, and what failed
// because of it later adds nothing.
void NoteFailure(Failure kind, std::string text);
// Forgets the calling thread's last failure.
void ClearFailure();
// The calling thread's last recorded failure (kind kNone if none).
const FailureCause& LastFailure();

}  // namespace userprofile
