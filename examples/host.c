/*
 * A host's typical run against an installed userprofile, one printed line
 * per step:
 *
 *   host [USER [NEW_USER]]     (defaults: "Default" and "Ann Lee")
 *
 * verifies the users, signs USER in, makes USER the default user, shows
 * USER's home directory, adds NEW_USER unless already registered, and
 * signs out. The library keeps its files beside this program: the registry
 * USER.INI in the program's directory and the home directories under USER
 * beside that directory. Run a copy in a tree of its own, for example
 * APP/PROG/host, which gives APP/PROG/USER.INI and APP/USER/.
 *
 * Exit status: 0 done, 1 the user cannot sign in, 2 a name is unusable.
 */
#include <stdio.h>
#include <string.h>

#include "userprofile.h"
#include "userprofile_version.h"

int main(int argc, char **argv) {
  /* Every file the library touches is found from this program's path. */
  ModuleHandle self = USERPROFILE_SELF;
  const char *user = argc > 1 ? argv[1] : "Default";
  const char *new_user = argc > 2 ? argv[2] : "Ann Lee";
  char home[USERPROFILE_PATH_SIZE];
  char name[USERPROFILE_NAME_MAX + 1];
  int entry;

  printf("userprofile %s host\n", USERPROFILE_VERSION_STRING);

  /* Repairs the registry and guarantees the user "Default". */
  VerifyUserProfiles(self);
  printf("VerifyUserProfiles: done\n");

  /* Sign-in: check the name, then take the user's lock. */
  printf("ValidUserName(\"%s\"): %d\n", user, ValidUserName(user));
  if (!ValidUserName(user)) return 2;
  entry = DoesUserExist(self, user);
  printf("DoesUserExist(\"%s\"): %d\n", user, entry);
  if (entry == 0) return 1;
  if (!openUserSemaphoreFile(user, self)) {
    printf("openUserSemaphoreFile(\"%s\"): 0, signed in elsewhere\n", user);
    CloseUserSemaphoreFile(); /* clears the failed attempt */
    return 1;
  }
  printf("openUserSemaphoreFile(\"%s\"): 1, signed in\n", user);
  SetDefaultUser(self, user);
  printf("SetDefaultUser(\"%s\"): done\n", user);
  GetUserHomeDir(self, home);
  printf("GetUserHomeDir: %s\n", home);

  /* Adding a user: validate first, and register a name only once, since
   * the library records a second profile for a name it already has. The
   * name buffer is the library's to trim in place. */
  if (strlen(new_user) > USERPROFILE_NAME_MAX || !ValidUserName(new_user)) {
    printf("ValidUserName(\"%s\"): 0\n", new_user);
    CloseUserSemaphoreFile();
    return 2;
  }
  strcpy(name, new_user);
  entry = DoesUserExist(self, name);
  if (entry != 0) {
    printf("CreateUserProfile(\"%s\"): already registered as entry %d\n",
           name, entry);
  } else {
    CreateUserProfile(self, name, 1);
    printf("CreateUserProfile(\"%s\"): entry %d\n", name,
           DoesUserExist(self, name));
  }
  GetDirForUser(self, name, home);
  printf("GetDirForUser(\"%s\"): %s\n", name, home);

  /* Sign-out. */
  CloseUserSemaphoreFile();
  printf("CloseUserSemaphoreFile: done\n");
  return 0;
}
