#include "frame/failure.h"

#include <utility>

namespace userprofile {

namespace {

FailureCause& ThreadCause() {
  thread_local FailureCause cause;
  return cause;
}

int& CallDepth() {
  thread_local int depth = 0;
  return depth;
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

const FailureCause& LastFailure() { return ThreadCause(); }

ExportCall::ExportCall() : outermost_(CallDepth()++ == 0) {
  if (outermost_) ClearFailure();
}

ExportCall::~ExportCall() { --CallDepth(); }

}  // namespace userprofile
