/* A host program for tests: calls the library's exports in the order its
 * arguments give, one command at a time, and prints one line per result
 * on standard output. Copied into an application tree, it anchors the
 * registry and the users root at its own path, as a real host does.
 * Written in plain C against the public header alone. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "userprofile.h"

static ModuleHandle module;

static void print_text(const char *label, const char *text) {
  printf("%s: %s\n", label, text);
}

int main(int argc, char **argv) {
  char buffer[4096];
  int i = 1;
  module = USERPROFILE_SELF;
  setvbuf(stdout, NULL, _IONBF, 0);
  while (i < argc) {
    const char *cmd = argv[i++];
    const char *arg = i < argc ? argv[i] : "";
    if (strcmp(cmd, "null-module") == 0) {
      module = NULL;
    } else if (strcmp(cmd, "verify") == 0) {
      VerifyUserProfiles(module);
      print_text("verify", "done");
    } else if (strcmp(cmd, "exists") == 0) {
      printf("exists: %d\n", DoesUserExist(module, arg));
      ++i;
    } else if (strcmp(cmd, "valid") == 0) {
      printf("valid: %d\n", ValidUserName(arg));
      ++i;
    } else if (strcmp(cmd, "entry") == 0) {
      printf("entry: %d\n", IsEntryValid(arg));
      ++i;
    } else if (strcmp(cmd, "homename") == 0) {
      char name[4096];
      char out[9];
      snprintf(name, sizeof name, "%s", arg);
      GetProperHomeDirName(name, out);
      printf("homename: [%s] %s\n", name, out);
      ++i;
    } else if (strcmp(cmd, "create") == 0 || strcmp(cmd, "create-unregistered") == 0) {
      snprintf(buffer, sizeof buffer, "%s", arg);
      CreateUserProfile(module, buffer, strcmp(cmd, "create") == 0);
      print_text("create", buffer);
      ++i;
    } else if (strcmp(cmd, "createex") == 0 && i + 3 < argc) {
      char name[4096];
      char out[4096] = "(untouched)";
      snprintf(name, sizeof name, "%s", argv[i + 3]);
      CreateUserProfileEx(argv[i], argv[i + 1], atoi(argv[i + 2]), name, out);
      print_text("createex", out);
      i += 4;
    } else if (strcmp(cmd, "getdef") == 0) {
      char out[USERPROFILE_DEFAULT_SIZE];
      GetDefaultUser(module, out);
      print_text("getdef", out);
    } else if (strcmp(cmd, "setdef") == 0) {
      SetDefaultUser(module, arg);
      print_text("setdef", arg);
      ++i;
    } else if (strcmp(cmd, "home") == 0) {
      char out[USERPROFILE_PATH_SIZE + 16] = "(untouched)";
      GetUserHomeDir(module, out);
      print_text("home", out);
    } else if (strcmp(cmd, "dir") == 0) {
      char out[USERPROFILE_PATH_SIZE + 16] = "(untouched)";
      GetDirForUser(module, arg, out);
      print_text("dir", out);
      ++i;
    } else if (strcmp(cmd, "lock") == 0) {
      printf("lock: %d\n", openUserSemaphoreFile(arg, module));
      ++i;
    } else if (strcmp(cmd, "unlock") == 0) {
      CloseUserSemaphoreFile();
      print_text("unlock", "done");
    } else if (strcmp(cmd, "wep") == 0) {
      printf("wep: %d\n", WEP(0));
    } else if (strcmp(cmd, "wait") == 0) {
      /* Holds whatever it has until a line (or end of input) arrives. */
      print_text("wait", "ready");
      if (!fgets(buffer, sizeof buffer, stdin)) buffer[0] = '\0';
    } else {
      fprintf(stderr, "up_host: unknown command %s\n", cmd);
      return 2;
    }
  }
  return 0;
}
