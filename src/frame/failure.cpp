#include "frame/failure.h"

#include <utility>

namespace userprofile {

namespace {

FailureCause& ThreadCause() {
  thread_local FailureCause cause;
  return cause;
}

}  // namespace

void SetFailure(Failure kind, std::string text) {
  FailureCause& cause = ThreadCause();
  cause.kind = kind;
  cause.text = std::move(text);
}

void ClearFailure() { ThreadCause() = FailureCause{}; }

void NoteFailure(Failure kind, std::string text) {
  if (ThreadCause().kind == Failure::kNone) SetFailure(kind, std::move(text));
}

bool Record(const Status& status) {
  if (!status.ok() && status.kind() != Failure::kExists) {
    SetFailure(status.kind(), status.text());
  }
  return status.ok();
}

const FailureCause& LastFailure() { return ThreadCause(); }

}  // namespace userprofile
