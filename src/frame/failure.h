// Why the calling thread's last operation failed, kept per thread so that
// a host (through the C interface) and the administrator's tool can say
// more than "it did not work". Every layer that sees a failure's cause
// records it here; an export clears it when it starts.
#pragma once

#include <string>

#include "platform/status.h"

namespace userprofile {

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
// Records the cause of a failed status (as SetFailure) and tells whether
// the status is a success. An existing name (kExists) is the answer of an
// exclusive creation, not a cause, and is left unrecorded.
bool Record(const Status& status);
// Forgets the calling thread's last failure.
void ClearFailure();
// The calling thread's last recorded failure (kind kNone if none).
const FailureCause& LastFailure();

}  // namespace userprofile
