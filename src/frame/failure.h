// Why the calling thread's last call failed, so that a host and the
// administrator's tool can say more than "it did not work".
//
// One channel: a failing operation returns its cause (a FailureCause, or a
// Result holding one); a failed check is reported from that same value;
// the export records it once as the thread's last failure. The layers
// below (the platform, the registry store) leave a failed call's cause as
// the thread's note, as the system leaves errno, and the operation takes
// it into the cause it returns.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "platform/status.h"

namespace userprofile {

struct FailureCause {
  Failure kind = Failure::kNone;
  std::string text;    // one line: what failed, on which path, and why
  unsigned check = 0;  // the check reported for it, 0 for none
  bool failed() const { return kind != Failure::kNone; }
};

// A value, or the cause of its absence. A value may carry a cause too:
// a failure met on the way that did not stop the operation.
template <typename T>
class Result : public std::optional<T> {
 public:
  Result(T value) : std::optional<T>(std::move(value)) {}
  Result(FailureCause cause) : cause_(std::move(cause)) {}
  Result(T value, FailureCause cause)
      : std::optional<T>(std::move(value)), cause_(std::move(cause)) {}
  const FailureCause& cause() const { return cause_; }

 private:
  FailureCause cause_;
};

// The note of the layers below: SetFailure replaces it, NoteFailure sets
// it only if there is none (the first cause is the one to act on; what
// failed because of it adds nothing), TakeNote returns and forgets it.
void SetFailure(Failure kind, std::string text);
void NoteFailure(Failure kind, std::string text);
FailureCause TakeNote();
// Whether a layer below left a note that nobody has taken yet.
bool NotePending();

// The cause of a failed step: the note the layer below left, if any, else
// {kind, text}.
FailureCause NotedOr(Failure kind, std::string text);

// Records `cause` (kNone: a success) as the thread's last failure.
void RecordFailure(FailureCause cause);
// Leaves a failed status's cause as the note (as SetFailure) and tells
// whether it is a success. kExists, an exclusive creation's answer rather
// than a cause, is left unnoted.
bool Record(const Status& status);
// Forgets the calling thread's note and last failure.
void ClearFailure();
// The calling thread's last recorded failure (kind kNone if none).
const FailureCause& LastFailure();

}  // namespace userprofile
