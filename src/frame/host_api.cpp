// The host's side of reports and failures: a C function that receives the
// reports instead of standard error (or a message box), and the cause of
// the thread's last failure. Not among the 14 exports of userprofile.dll.
#include <string>

#include "frame/failure.h"
#include "frame/frame.h"
#include "userprofile.h"

using namespace userprofile;

// The codes of the C interface are the numbers of Failure.
static_assert(USERPROFILE_ERROR_NONE == static_cast<int>(Failure::kNone));
static_assert(USERPROFILE_ERROR_INVALID_ARGUMENT ==
              static_cast<int>(Failure::kInvalidArgument));
static_assert(USERPROFILE_ERROR_NOT_FOUND ==
              static_cast<int>(Failure::kNotFound));
static_assert(USERPROFILE_ERROR_SIGNED_IN_ELSEWHERE ==
              static_cast<int>(Failure::kSignedInElsewhere));
static_assert(USERPROFILE_ERROR_PERMISSION ==
              static_cast<int>(Failure::kPermission));
static_assert(USERPROFILE_ERROR_IO == static_cast<int>(Failure::kIo));
static_assert(USERPROFILE_ERROR_BUSY == static_cast<int>(Failure::kBusy));
static_assert(USERPROFILE_ERROR_EXISTS == static_cast<int>(Failure::kExists));
static_assert(USERPROFILE_ERROR_DAMAGED == static_cast<int>(Failure::kDamaged));
static_assert(USERPROFILE_ERROR_REFUSED == static_cast<int>(Failure::kRefused));

namespace {

// Sends every report to `deliver(caption, text)`, or nowhere (not even a
// message box) when `silent`.
template <typename Deliver>
void InstallSink(bool silent, Deliver deliver) {
  const userprofile::ExportCall call;
  if (silent) {
    SetMessageSink([](const std::string&, const std::string&, unsigned) {});
    return;
  }
  SetMessageSink([deliver](const std::string& caption, const std::string& text,
                           unsigned) { deliver(caption.c_str(), text.c_str()); });
}

}  // namespace

extern "C" USERPROFILE_EXPORT void userprofile_set_report_handler(
    userprofile_report_handler handler, void* context) {
  InstallSink(handler == nullptr, [=](const char* caption, const char* text) {
    handler(context, caption, text);
  });
}

extern "C" USERPROFILE_EXPORT void userprofile_set_check_handler(
    userprofile_check_handler handler, void* context) {
  InstallSink(handler == nullptr, [=](const char* caption, const char* text) {
    handler(context, CheckBeingReported(), caption, text);
  });
}

extern "C" USERPROFILE_EXPORT int userprofile_last_error(void) {
  return static_cast<int>(LastFailure().kind);
}

extern "C" USERPROFILE_EXPORT const char* userprofile_last_error_message(void) {
  return LastFailure().text.c_str();
}
