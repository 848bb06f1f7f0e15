/* Preloaded into a child process by the tests that need a step of it to
 * happen at a moment of their choosing: the first call that renames or
 * removes a name whose path holds one of the ':'-separated parts in
 * UP_PAUSE_MATCH stops the program before it runs. It writes "p" to the
 * FIFO $UP_PAUSE_DIR/paused, waits for one byte from the FIFO
 * $UP_PAUSE_DIR/resume, and then makes the call. Every other call, and
 * every later one, goes straight to the C library. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static int paused;

static int matches(const char *path) {
  const char *parts = getenv("UP_PAUSE_MATCH");
  char copy[512];
  char *part;
  char *rest = NULL;
  if (paused || parts == NULL || path == NULL ||
      strlen(parts) >= sizeof copy) {
    return 0;
  }
  strcpy(copy, parts);
  for (part = strtok_r(copy, ":", &rest); part != NULL;
       part = strtok_r(NULL, ":", &rest)) {
    if (*part != '\0' && strstr(path, part) != NULL) return 1;
  }
  return 0;
}

static void pause_if(const char *path) {
  const char *dir = getenv("UP_PAUSE_DIR");
  char fifo[512];
  char byte = 'p';
  int fd;
  if (dir == NULL || !matches(path)) return;
  paused = 1;
  snprintf(fifo, sizeof fifo, "%s/paused", dir);
  fd = open(fifo, O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    (void)!write(fd, &byte, 1);
    close(fd);
  }
  snprintf(fifo, sizeof fifo, "%s/resume", dir);
  fd = open(fifo, O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    (void)!read(fd, &byte, 1);
    close(fd);
  }
}

typedef int (*path_fn)(const char *);
typedef int (*rename_fn)(const char *, const char *);
typedef int (*renameat_fn)(int, const char *, int, const char *);
typedef int (*renameat2_fn)(int, const char *, int, const char *, unsigned);
typedef int (*unlinkat_fn)(int, const char *, int);

#define REAL(name, type) \
  static type real;      \
  if (!real) real = (type)dlsym(RTLD_NEXT, name)

int rename(const char *from, const char *to) {
  REAL("rename", rename_fn);
  pause_if(from);
  return real(from, to);
}

int renameat(int fd, const char *from, int tofd, const char *to) {
  REAL("renameat", renameat_fn);
  pause_if(from);
  return real(fd, from, tofd, to);
}

int renameat2(int fd, const char *from, int tofd, const char *to,
              unsigned flags) {
  REAL("renameat2", renameat2_fn);
  pause_if(from);
  return real(fd, from, tofd, to, flags);
}

int unlink(const char *path) {
  REAL("unlink", path_fn);
  pause_if(path);
  return real(path);
}

int unlinkat(int fd, const char *path, int flags) {
  REAL("unlinkat", unlinkat_fn);
  pause_if(path);
  return real(fd, path, flags);
}

int rmdir(const char *path) {
  REAL("rmdir", path_fn);
  pause_if(path);
  return real(path);
}

int remove(const char *path) {
  REAL("remove", path_fn);
  pause_if(path);
  return real(path);
}
