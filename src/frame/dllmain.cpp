// The load hook of the Windows DLL: it clears each loading process's
// state and reports success. Written without the system header, in the
// types its declaration spells out (BOOL, DWORD, LPVOID).
#include "frame/frame.h"
#include "userprofile.h"

namespace {

constexpr unsigned long kProcessAttach = 1;  // DLL_PROCESS_ATTACH

}  // namespace

extern "C" int __stdcall DllMain(ModuleHandle instance, unsigned long reason,
                                 void* reserved);

extern "C" int __stdcall DllMain(ModuleHandle, unsigned long reason, void*) {
  // The other notifications (threads, unload) need no work: a lock still
  // held at unload stays held until the process ends.
  if (reason == kProcessAttach) return userprofile::LibraryLoad();
  return 1;
}
