#include "frame/failure.h"

#include <utility>

namespace userprofile {

namespace {

struct ThreadFailures {
  FailureCause note;  // left by a layer below, not yet taken
  FailureCause last;  // recorded by the last export
};

ThreadFailures& Thread() {
  thread_local ThreadFailures failures;
  return failures;
}

}  // namespace

void SetFailure(Failure kind, std::string text) {
  Thread().note = FailureCause{kind, std::move(text), 0};
}

void NoteFailure(Failure kind, std::string text) {
  if (!Thread().note.failed()) SetFailure(kind, std::move(text));
}

bool NotePending() { return Thread().note.failed(); }

FailureCause TakeNote() { return std::exchange(Thread().note, FailureCause{}); }

FailureCause NotedOr(Failure kind, std::string text) {
  FailureCause noted = TakeNote();
  if (noted.failed()) return noted;
  return FailureCause{kind, std::move(text), 0};
}

void RecordFailure(FailureCause cause) { Thread().last = std::move(cause); }

void ClearFailure() { Thread() = ThreadFailures{}; }

const FailureCause& LastFailure() { return Thread().last; }

bool Record(const Status& status) {
  if (!status.ok() && status.kind() != Failure::kExists) {
    SetFailure(status.kind(), status.text());
  }
  return status.ok();
}

}  // namespace userprofile
