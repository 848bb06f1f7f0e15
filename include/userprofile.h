/*
 * userprofile: the users of a multi-user desktop application.
 *
 * The library keeps a registry file of users ("USER.INI") in the directory
 * of the calling module, one home directory per user under the users root
 * (the directory "USER" beside the module's directory), and one lock file
 * ("IKIVO.SMP") per home directory that keeps each user signed in once.
 * Every location follows from the module the caller names, so all
 * processes that run one program directory share the same users.
 *
 * Conventions that hold for every export:
 * - Strings are single-byte text ended by a zero byte. Output buffers are
 *   the caller's; each export says how many bytes it may write.
 * - Paths the library builds have at most 127 characters. A path that
 *   would be longer is never cut: the call reports a failed check and
 *   touches no file.
 * - A failed internal check is reported (a message box on Windows, one line
 *   "Assertion Failure: File : userprofile, Line : N" on standard error
 *   elsewhere) and the call goes on, except where a missing (null) argument
 *   or an unusable path makes it return at once; outputs are then left
 *   as they were unless the export says otherwise.
 * - Calls are made by one thread at a time within a process.
 *
 * On Windows the exports are stdcall with the ordinals of userprofile.def;
 * elsewhere they are plain C functions of libuserprofile.
 */
#ifndef USERPROFILE_H
#define USERPROFILE_H

#ifdef _WIN32
/* The instance handle of the module whose directory anchors every path:
 * the HINSTANCE of <windows.h>, declared here without it so that a host
 * may include <windows.h> before or after this header, or not at all. */
struct HINSTANCE__;
typedef struct HINSTANCE__ *ModuleHandle;
#define USERPROFILE_CALL __stdcall
#define USERPROFILE_EXPORT
#else
/* Any address inside the module whose path anchors every file the library
 * touches (the POSIX counterpart of an instance handle). NULL stands for
 * the main program. */
typedef void *ModuleHandle;
#define USERPROFILE_CALL
#define USERPROFILE_EXPORT __attribute__((visibility("default")))
#endif

/*
 * USERPROFILE_SELF names the module that expands it, so a host writes
 * DoesUserExist(USERPROFILE_SELF, name) to anchor the users at its own
 * program file (an executable or a plug-in library alike). On Windows it
 * is the linker's __ImageBase, the module's own instance handle; the
 * structure stays incomplete here and is the IMAGE_DOS_HEADER of
 * <windows.h>, so a host's own declaration of __ImageBase agrees.
 */
#ifdef _WIN32
#ifdef __cplusplus
extern "C" struct _IMAGE_DOS_HEADER __ImageBase;
#else
extern struct _IMAGE_DOS_HEADER __ImageBase;
#endif
#define USERPROFILE_SELF ((ModuleHandle) & __ImageBase)
#else
#ifdef __cplusplus
extern "C" void *__dso_handle;
#else
extern void *__dso_handle;
#endif
#define USERPROFILE_SELF ((ModuleHandle) & __dso_handle)
#endif

/* Output sizes the caller supplies. */
#define USERPROFILE_NAME_MAX 31        /* characters of a user name */
#define USERPROFILE_HOMEDIRNAME_SIZE 9 /* GetProperHomeDirName */
#define USERPROFILE_DEFAULT_SIZE 33    /* GetDefaultUser */
#define USERPROFILE_PATH_SIZE 128      /* every path output */

#ifdef __cplusplus
extern "C" {
#endif

/* 1. Unload hook. Does nothing (a held lock stays held); returns 1. */
USERPROFILE_EXPORT int USERPROFILE_CALL WEP(int reserved);

/* 2. Checks a registry entry "name,HOMEDIRN". Returns 1 when it is empty,
 * has no comma, or has a valid name and exactly 8 characters after the
 * first comma; 0 otherwise. NULL counts as empty. No reports. */
USERPROFILE_EXPORT int USERPROFILE_CALL IsEntryValid(const char *entry);

/* 3. Returns the number (1 or more) of the first valid registry entry whose
 * name equals `name` without regard to case, or 0. The name is compared as
 * passed, untrimmed. Reports 326 for an empty or NULL name. */
USERPROFILE_EXPORT int USERPROFILE_CALL DoesUserExist(ModuleHandle module,
                                                      const char *name);

/* 4. Trims spaces from both ends of `name` in place, then writes its
 * 8-character home directory name and a terminator to `out` (9 bytes):
 * the first 8 non-space characters, padded with '0'. Reports 365 and
 * returns for a NULL name; 366 empty, 369 trimmed, 383 nothing left. */
USERPROFILE_EXPORT void USERPROFILE_CALL GetProperHomeDirName(char *name,
                                                              char *out);

/* 5. Creates a home directory for `name` under the users root (the name is
 * trimmed in place), records it as a new registry entry when `reg` is
 * nonzero, and creates the lock file in the user's recorded home
 * directory. A name is not validated: call ValidUserName first. A home
 * directory that cannot be allocated at all is not recorded. */
USERPROFILE_EXPORT void USERPROFILE_CALL CreateUserProfile(ModuleHandle module,
                                                           char *name, int reg);

/* 6. Creates a home directory for `name` under `base` (at most 108
 * characters; created if missing), writes registry entry number `entry`
 * of the file `registry` (the count is the caller's), creates its lock
 * file, and writes base + separator + home directory name to `out`
 * (strlen(base) + 10 bytes). A NULL argument is reported and nothing is
 * touched. */
USERPROFILE_EXPORT void USERPROFILE_CALL CreateUserProfileEx(
    const char *base, const char *registry, int entry, char *name, char *out);

/* 7. Reads the default user into `out` (33 bytes) and makes it the
 * process's current user. Empty when none is stored. */
USERPROFILE_EXPORT void USERPROFILE_CALL GetDefaultUser(ModuleHandle module,
                                                        char *out);

/* 8. Stores `name` as the default user and makes it the current user. The
 * name is not validated; pass a registered name of at most 31 characters. */
USERPROFILE_EXPORT void USERPROFILE_CALL SetDefaultUser(ModuleHandle module,
                                                        const char *name);

/* 9. Writes the current user's home directory path, ending in a separator,
 * to `out` (128 bytes), or the empty string if the current user is not
 * registered. */
USERPROFILE_EXPORT void USERPROFILE_CALL GetUserHomeDir(ModuleHandle module,
                                                        char *out);

/* 10. Writes the named user's home directory path, ending in a separator,
 * to `out` (128 bytes), or the empty string if the user is not registered
 * or the registry entry does not name a plain directory. */
USERPROFILE_EXPORT void USERPROFILE_CALL GetDirForUser(ModuleHandle module,
                                                       const char *name,
                                                       char *out);

/* 11. Returns 1 for a valid user name: at most 31 characters, at least one
 * ASCII letter or digit, no ASCII punctuation. NULL is invalid. */
USERPROFILE_EXPORT int USERPROFILE_CALL ValidUserName(const char *name);

/* 12. Signs the user in: opens the user's lock file exclusively (creating
 * it if missing) and keeps it open. Returns 1 on success, 0 if the user
 * is signed in elsewhere, is not registered, or the file cannot be opened.
 * Note the argument order: name first. One lock slot per process. */
USERPROFILE_EXPORT int USERPROFILE_CALL openUserSemaphoreFile(const char *name,
                                                              ModuleHandle module);

/* 13. Signs out: closes the lock held by this process, if any. */
USERPROFILE_EXPORT void USERPROFILE_CALL CloseUserSemaphoreFile(void);

/* 14. Repairs the registry and the home directories: creates a missing
 * registry, drops invalid entries and renumbers the rest, re-creates
 * missing home directories and lock files, registers "Default" if absent,
 * and leaves a registered default user (also as the current user). */
USERPROFILE_EXPORT void USERPROFILE_CALL VerifyUserProfiles(ModuleHandle module);

#ifdef __cplusplus
}
#endif

#endif /* USERPROFILE_H */
