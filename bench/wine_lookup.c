/* The Windows DLL's lookups, timed inside one host process: run from the
 * program directory of a generated tree (bench/wine.sh), it prints the
 * time of the first DoesUserExist of `name`, the mean of the next 1,000,
 * and the floor measured in the same process (one read of the registry and
 * one pass that finds every line's key and value), in microseconds, and
 * the entry found. Plain C against the public header. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "userprofile.h"

static double now_us(void) {
  LARGE_INTEGER t, f;
  QueryPerformanceCounter(&t);
  QueryPerformanceFrequency(&f);
  return (double)t.QuadPart * 1e6 / (double)f.QuadPart;
}

/* One read of the file and one pass over its lines. */
static size_t floor_pass(const char *path) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  DWORD size, got = 0;
  char *data;
  size_t keys = 0, i = 0;
  if (file == INVALID_HANDLE_VALUE) return 0;
  size = GetFileSize(file, NULL);
  data = malloc(size + 1);
  if (!data || !ReadFile(file, data, size, &got, NULL)) got = 0;
  CloseHandle(file);
  while (i < got) {
    size_t end = i, eq = (size_t)-1;
    while (end < got && data[end] != '\r' && data[end] != '\n') {
      if (data[end] == '=' && eq == (size_t)-1) eq = end;
      ++end;
    }
    keys += eq != (size_t)-1;
    i = end + 1;
  }
  free(data);
  return keys;
}

int main(int argc, char **argv) {
  ModuleHandle module = (ModuleHandle)GetModuleHandleA(NULL);
  char registry[MAX_PATH];
  double t0, first, warm, floor;
  int found, i;
  volatile size_t keys;
  if (argc < 2) return 2;
  GetModuleFileNameA(NULL, registry, MAX_PATH);
  strcpy(strrchr(registry, '\\') + 1, "USER.INI");
  t0 = now_us();
  found = DoesUserExist(module, argv[1]);
  first = now_us() - t0;
  t0 = now_us();
  for (i = 0; i < 1000; ++i) {
    if (DoesUserExist(module, argv[1]) != found) return 1;
  }
  warm = (now_us() - t0) / 1000;
  t0 = now_us();
  keys = floor_pass(registry);
  floor = now_us() - t0;
  (void)keys;
  printf("%.0f %.1f %.0f %d\n", first, warm, floor, found);
  return 0;
}
