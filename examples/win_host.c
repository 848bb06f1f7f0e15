/*
 * A Windows host linked to userprofile_ex.dll, which has the library's
 * additions beside the 14 exports: it shows the library's reports itself
 * instead of the message box, and says why a sign-in failed.
 *
 *   win_host [USER]            (default: "Default")
 *
 * verifies the users, signs USER in, shows USER's home directory and signs
 * out. The library keeps its files beside this program: copy it and the
 * DLL to APP\PROG\ and the registry is APP\PROG\USER.INI, the home
 * directories APP\USER\*. Built with MinGW-w64 against the header and the
 * import library:
 *
 *   x86_64-w64-mingw32-gcc -std=c99 -I<include> win_host.c \
 *       -L<lib> -luserprofile_ex -o win_host.exe
 *
 * Exit status: 0 done, 1 the user cannot sign in (the cause is printed).
 */
#include <stdio.h>

#include "userprofile.h"

/* Every report, on standard error instead of a task-modal message box: a
 * service or a program without a desktop must not stop at one. */
static void print_report(void *context, const char *caption, const char *text) {
  (void)context;
  fprintf(stderr, "report: %s: %s\n", caption, text);
}

/* The name of a cause, as the header defines the codes. */
static const char *cause_name(int code) {
  switch (code) {
    case USERPROFILE_ERROR_NONE: return "none";
    case USERPROFILE_ERROR_INVALID_ARGUMENT: return "invalid argument";
    case USERPROFILE_ERROR_NOT_FOUND: return "not found";
    case USERPROFILE_ERROR_SIGNED_IN_ELSEWHERE: return "signed in elsewhere";
    case USERPROFILE_ERROR_PERMISSION: return "permission";
    case USERPROFILE_ERROR_IO: return "input/output";
    case USERPROFILE_ERROR_BUSY: return "busy";
    case USERPROFILE_ERROR_EXISTS: return "exists";
    case USERPROFILE_ERROR_DAMAGED: return "damaged";
    default: return "unknown";
  }
}

int main(int argc, char **argv) {
  ModuleHandle self = USERPROFILE_SELF;
  const char *user = argc > 1 ? argv[1] : "Default";
  char home[USERPROFILE_PATH_SIZE];

  userprofile_set_report_handler(print_report, NULL);

  VerifyUserProfiles(self);
  printf("VerifyUserProfiles: done\n");
  if (!openUserSemaphoreFile(user, self)) {
    /* The cause is the last call's: read it before the next call. */
    const int cause = userprofile_last_error();
    printf("openUserSemaphoreFile(\"%s\"): 0, %s (%d): %s\n", user,
           cause_name(cause), cause, userprofile_last_error_message());
    CloseUserSemaphoreFile(); /* clears the failed attempt */
    return 1;
  }
  printf("openUserSemaphoreFile(\"%s\"): 1, signed in\n", user);
  SetDefaultUser(self, user);
  GetUserHomeDir(self, home);
  printf("GetUserHomeDir: %s\n", home);
  CloseUserSemaphoreFile();
  printf("CloseUserSemaphoreFile: done\n");
  return 0;
}
