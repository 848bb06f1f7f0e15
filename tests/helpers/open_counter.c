/* Preloaded into a child process by the tests that bound the cost of an
 * operation: counts every open of a file the program makes through the C
 * library (open, openat and their 64-bit and checked forms; opens of a
 * directory, O_DIRECTORY, are not opens of a file), forwards each to the
 * real call, and writes the count to the file named by UP_OPEN_COUNT when
 * the program exits. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static unsigned long opens;

typedef int (*open_fn)(const char *, int, ...);
typedef int (*openat_fn)(int, const char *, int, ...);

static mode_t mode_of(int flags, va_list ap) {
  return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(ap, int) : 0;
}

#define COUNT_OPEN(name)                                                \
  int name(const char *path, int flags, ...) {                          \
    static open_fn real;                                                \
    va_list ap;                                                         \
    mode_t mode;                                                        \
    if (!real) real = (open_fn)dlsym(RTLD_NEXT, #name);                 \
    va_start(ap, flags);                                                \
    mode = mode_of(flags, ap);                                          \
    va_end(ap);                                                         \
    if (!(flags & O_DIRECTORY)) __atomic_add_fetch(&opens, 1, __ATOMIC_RELAXED); \
    return real(path, flags, mode);                                     \
  }
#define COUNT_OPENAT(name)                                              \
  int name(int dir, const char *path, int flags, ...) {                 \
    static openat_fn real;                                              \
    va_list ap;                                                         \
    mode_t mode;                                                        \
    if (!real) real = (openat_fn)dlsym(RTLD_NEXT, #name);               \
    va_start(ap, flags);                                                \
    mode = mode_of(flags, ap);                                          \
    va_end(ap);                                                         \
    if (!(flags & O_DIRECTORY)) __atomic_add_fetch(&opens, 1, __ATOMIC_RELAXED); \
    return real(dir, path, flags, mode);                                \
  }

COUNT_OPEN(open)
COUNT_OPEN(open64)
COUNT_OPENAT(openat)
COUNT_OPENAT(openat64)

int __open_2(const char *path, int flags) { return open(path, flags); }
int __open64_2(const char *path, int flags) { return open64(path, flags); }
int __openat_2(int dir, const char *path, int flags) {
  return openat(dir, path, flags);
}
int __openat64_2(int dir, const char *path, int flags) {
  return openat64(dir, path, flags);
}

__attribute__((destructor)) static void report(void) {
  const char *out = getenv("UP_OPEN_COUNT");
  static open_fn real;
  char line[32];
  int fd, n;
  if (!out) return;
  if (!real) real = (open_fn)dlsym(RTLD_NEXT, "open");
  fd = real(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  n = snprintf(line, sizeof line, "%lu\n",
               __atomic_load_n(&opens, __ATOMIC_RELAXED));
  if (write(fd, line, (size_t)n) != n) n = 0;
  close(fd);
}
