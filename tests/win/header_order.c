/* The public header beside <windows.h>, in either order, as C and as C++
 * (header_order.cpp compiles this file again): the header's handle type,
 * calling convention and __ImageBase agree with the system header's and
 * with a host's own declaration of __ImageBase. Compiled only. */
#ifdef UP_WINDOWS_FIRST
#include <windows.h>

#include "userprofile.h"
#else
#include "userprofile.h"

#include <windows.h>
#endif

/* A host may declare the image base itself, as Windows code often does. */
EXTERN_C IMAGE_DOS_HEADER __ImageBase;

int up_header_order_check(void);
int up_header_order_check(void) {
  HINSTANCE instance = GetModuleHandleA(NULL);
  ModuleHandle module = instance;
  HINSTANCE self = USERPROFILE_SELF;
  int (WINAPI *lookup)(ModuleHandle, const char *) = DoesUserExist;
  return lookup(module, "Ann Lee") + DoesUserExist(self, "Bob") +
         ValidUserName("Ann Lee");
}
