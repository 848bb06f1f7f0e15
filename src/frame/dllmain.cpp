// The load hook of the Windows DLL. The system calls it as each process
// loads the library; it clears that process's state and reports success.
// It is written without the system header: the types are those the
// system's declaration of DllMain spells out (BOOL, DWORD, LPVOID).
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
