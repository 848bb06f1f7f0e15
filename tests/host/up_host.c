/* A host program for tests: calls the library's exports in the order its
 * arguments give, one command at a time, and prints one line per result
 * on standard output. Copied into an application tree, it anchors the
 * registry and the users root at its own path, as a real host does.
 * Written in plain C against the public header alone. */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#ifndef _WIN32
#include <pthread.h>
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <time.h>
#include <unistd.h>
#ifdef _WIN32
#include <process.h>
#else
#include <sys/types.h>
#endif

#include "userprofile.h"

static ModuleHandle module;

static double now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

/* Signs the user in and out for `ms` milliseconds, appending "+pid" on
 * entry and "-pid" on exit to `log` while holding the lock: if the lock
 * ever admits two holders, the log shows two entries in a row. */
static int hammer(const char *name, int ms, const char *log) {
  char line[32];
  int held = 0;
  int fd = open(log, O_WRONLY | O_APPEND | O_CREAT, 0666);
  double end = now_ms() + ms;
  if (fd < 0) return -1;
  while (now_ms() < end) {
    if (openUserSemaphoreFile(name, module)) {
      int n = snprintf(line, sizeof line, "+%d\n", (int)getpid());
      if (write(fd, line, (size_t)n) != n) return -1;
      {
        struct timespec pause = {0, 200000};
        nanosleep(&pause, NULL);
      }
      n = snprintf(line, sizeof line, "-%d\n", (int)getpid());
      if (write(fd, line, (size_t)n) != n) return -1;
      ++held;
    }
    CloseUserSemaphoreFile();
  }
  close(fd);
  return held;
}

#ifndef _WIN32
/* Every export from several threads at once: each thread adds its own
 * users (registered and not), signs them in and out, reads and sets the
 * default, looks up and repairs, `rounds` times, and adds one user with
 * CreateUserProfileEx under `ex_base` with entries in `ex_registry`. */
struct worker {
  int index;
  int rounds;
  const char *ex_base;
  const char *ex_registry;
};

static void *work(void *arg) {
  const struct worker *w = (const struct worker *)arg;
  char name[64];
  char out[USERPROFILE_PATH_SIZE + 16];
  char def[USERPROFILE_DEFAULT_SIZE];
  int r;
  for (r = 0; r < w->rounds; ++r) {
    snprintf(name, sizeof name, "T%dR%d", w->index, r);
    if (!ValidUserName(name) || !IsEntryValid("T,T0000000")) return "valid";
    CreateUserProfile(module, name, 1);
    if (DoesUserExist(module, name) == 0) return "not registered";
    snprintf(name, sizeof name, "U%dR%d", w->index, r);
    CreateUserProfile(module, name, 0);
    snprintf(name, sizeof name, "T%dR%d", w->index, r);
    GetProperHomeDirName(name, out);
    GetDirForUser(module, name, out);
    if (out[0] == '\0') return "no directory";
    if (openUserSemaphoreFile(name, module)) CloseUserSemaphoreFile();
    SetDefaultUser(module, name);
    GetDefaultUser(module, def);
    GetUserHomeDir(module, out);
    if (r % 4 == 0) VerifyUserProfiles(module);
    WEP(0);
  }
  snprintf(name, sizeof name, "X%d", w->index);
  CreateUserProfileEx(w->ex_base, w->ex_registry, w->index + 1, name, out);
  return out[0] != '\0' ? NULL : "no directory under the base";
}

static int threads(int count, int rounds, const char *ex_base,
                   const char *ex_registry) {
  pthread_t ids[64];
  struct worker workers[64];
  int failed = 0;
  int k;
  if (count > 64) count = 64;
  for (k = 0; k < count; ++k) {
    workers[k].index = k;
    workers[k].rounds = rounds;
    workers[k].ex_base = ex_base;
    workers[k].ex_registry = ex_registry;
    if (pthread_create(&ids[k], NULL, work, &workers[k]) != 0) return -1;
  }
  for (k = 0; k < count; ++k) {
    void *result = NULL;
    pthread_join(ids[k], &result);
    if (result != NULL) {
      fprintf(stderr, "up_host: thread %d: %s\n", k, (const char *)result);
      ++failed;
    }
  }
  return failed;
}
#endif

static void sleep_ms(int ms) {
  struct timespec pause;
  pause.tv_sec = ms / 1000;
  pause.tv_nsec = (long)(ms % 1000) * 1000000L;
  nanosleep(&pause, NULL);
}

/* Starts a copy of this program that sleeps for `ms` while sharing this
 * one's standard output, and does not wait for it: an outliving process
 * that holds a test's pipe, as Wine's desktop or a signed-in program may. */
static int spawn_sleeper(const char *self, const char *ms) {
#ifdef _WIN32
  return _spawnl(_P_NOWAIT, self, self, "sleep", ms, NULL) == -1 ? -1 : 0;
#else
  pid_t pid = fork();
  if (pid == 0) {
    execl(self, self, "sleep", ms, (char *)NULL);
    _exit(127);
  }
  return pid < 0 ? -1 : 0;
#endif
}

static void print_text(const char *label, const char *text) {
  printf("%s: %s\n", label, text);
}

/* The userprofile_ functions are in the POSIX library and the static
 * library, never in userprofile.dll: the host linked to the DLL has only
 * the 14 exports. */
#ifndef UP_HOST_ONLY_EXPORTS
/* A report handler that prints each report on standard output, tagged
 * with the context it was installed with. */
static void print_report(void *context, const char *caption, const char *text) {
  printf("report %s: %s: %s\n", (const char *)context, caption, text);
}
#endif

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
    } else if (strcmp(cmd, "lock-default") == 0) {
      /* Signs in the default user by the name as read: a host whose code
       * page cannot spell a name still has its bytes from the registry. */
      char name[USERPROFILE_DEFAULT_SIZE];
      GetDefaultUser(module, name);
      printf("lock: %d\n", openUserSemaphoreFile(name, module));
    } else if (strcmp(cmd, "unlock") == 0) {
      CloseUserSemaphoreFile();
      print_text("unlock", "done");
    } else if (strcmp(cmd, "hammer") == 0 && i + 2 < argc) {
      printf("hammer: %d\n", hammer(argv[i], atoi(argv[i + 1]), argv[i + 2]));
      i += 3;
    } else if (strcmp(cmd, "create-literal") == 0) {
      /* A string literal is read-only memory: nothing may be written. */
      CreateUserProfile(module, "Literal Name", 1);
      print_text("create-literal", "done");
#ifndef UP_HOST_ONLY_EXPORTS
    } else if (strcmp(cmd, "reports-to-stdout") == 0) {
      userprofile_set_report_handler(print_report, "ctx");
    } else if (strcmp(cmd, "reports-off") == 0) {
      userprofile_set_report_handler(NULL, NULL);
    } else if (strcmp(cmd, "why") == 0) {
      printf("why: %d %s\n", userprofile_last_error(),
             userprofile_last_error_message());
#endif
#ifndef _WIN32
    } else if (strcmp(cmd, "threads") == 0 && i + 3 < argc) {
      printf("threads: %d failed\n",
             threads(atoi(argv[i]), atoi(argv[i + 1]), argv[i + 2], argv[i + 3]));
      i += 4;
#endif
    } else if (strcmp(cmd, "sleep") == 0 && i < argc) {
      sleep_ms(atoi(argv[i++]));
    } else if (strcmp(cmd, "spawn-sleeper") == 0 && i < argc) {
      printf("spawn-sleeper: %d\n", spawn_sleeper(argv[0], argv[i++]));
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
