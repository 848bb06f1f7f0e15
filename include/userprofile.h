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
 * A host's typical run: VerifyUserProfiles once; to sign a user in,
 * ValidUserName and DoesUserExist, then openUserSemaphoreFile (0: signed
 * in elsewhere), SetDefaultUser and GetUserHomeDir; CreateUserProfile to
 * add a user; CloseUserSemaphoreFile to sign out.
 *
 * Conventions that hold for every export:
 * - `module` names the module whose path anchors the files: pass
 *   USERPROFILE_SELF. For the module /app/PROG/MAIN the registry is
 *   /app/PROG/USER.INI and the users root /app/USER. A NULL module
 *   stands for the main program and is reported.
 * - Strings are single-byte text ended by a zero byte. Output buffers are
 *   the caller's and are written without a length argument; each export
 *   says how many bytes it may write, and the USERPROFILE_*_SIZE macros
 *   below give them.
 * - Input strings are only read (const char *), with one exception: the
 *   `name` of GetProperHomeDirName, CreateUserProfile and
 *   CreateUserProfileEx is trimmed in place, and only the bytes that the
 *   trim changes are written. A name without spaces at either end is
 *   never written to, so it may be a string literal; a name with spaces
 *   to trim must be writable.
 * - Paths the library builds have at most 127 characters. A path that
 *   would be longer is never cut: the call reports a failed check and
 *   touches no file.
 * - A failed internal check is reported (a message box on Windows, one line
 *   "Assertion Failure: File : userprofile, Line : N" on standard error
 *   elsewhere; userprofile_set_report_handler below redirects or silences
 *   reports) and the call goes on, except where a missing (null) argument
 *   or an unusable path makes it return at once; outputs are then left
 *   as they were unless the export says otherwise.
 * - Why a call failed is kept for the calling thread until its next call:
 *   see userprofile_last_error below.
 * - Results are 1 or 0, or an entry number or 0; the other exports return
 *   nothing, and an empty output means that nothing was found.
 * - The library never deletes a user's file or directory unless an
 *   administrator's removal asks it to (userprofile_remove_users with
 *   USERPROFILE_REMOVE_DELETE_HOME). Otherwise it removes only what it
 *   made itself and could not finish: the new, still empty home
 *   directory of a creation that could not be registered, and the
 *   temporary file ("USER.INI.~" pid "." n) of a registry write killed
 *   before it took the registry's name. A held lock is released by
 *   CloseUserSemaphoreFile or when the process ends.
 * - Every export may be called from any thread at any time. Calls are
 *   serialized by one lock of the library, so a call that waits (for
 *   another process's registry update, up to 10 s for SetDefaultUser and
 *   30 s for a creation or repair, or for a message box to be dismissed)
 *   makes the process's other calls wait too. The lock slot (the lock
 *   handle) and the current user are process-wide: one per process,
 *   shared by its threads. The last failure is kept per thread.
 * - On POSIX, what the library creates belongs to the application's
 *   group: files are made 0660 and directories 0770 (keeping the
 *   set-group-ID bit they inherit), whatever the umask. Give the program
 *   directory and the users root the application's group and mode 2770,
 *   and make every OS user of the application a member; nobody else can
 *   then read, lock or change its files.
 *
 * The version of this interface is in userprofile_version.h.
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

/* The files the library keeps: the registry beside the module, and the
 * lock file in each home directory. */
#define USERPROFILE_REGISTRY_FILE "USER.INI"
#define USERPROFILE_LOCK_FILE "IKIVO.SMP"

/* The longest user name, and the sizes of the callers' output buffers. */
#define USERPROFILE_NAME_MAX 31        /* characters of a user name */
#define USERPROFILE_HOMEDIRNAME_SIZE 9 /* GetProperHomeDirName */
#define USERPROFILE_DEFAULT_SIZE 33    /* GetDefaultUser */
#define USERPROFILE_PATH_SIZE 128      /* every path output */

#ifdef __cplusplus
extern "C" {
#endif

/* 1. WEP: the unload hook of the Windows DLL, exported on every platform
 * so that the export table is the same. `reserved` is ignored. Returns 1
 * and does nothing else: a lock still held stays held until
 * CloseUserSemaphoreFile or the end of the process. No reports. */
USERPROFILE_EXPORT int USERPROFILE_CALL WEP(int reserved);

/* 2. IsEntryValid: checks the text of a registry entry, "name,HOMEDIRN".
 * Returns 1 when `entry` is empty or NULL, holds no comma, or has a valid
 * user name (see ValidUserName) before its first comma and exactly 8
 * characters after it (those are not examined further); 0 otherwise,
 * including for a comma in first place. No reports, no files. */
USERPROFILE_EXPORT int USERPROFILE_CALL IsEntryValid(const char *entry);

/* 3. DoesUserExist: looks `name` up in the registry. Returns the entry
 * number (1 or more) of the first registered user whose name equals
 * `name` without regard to case, or 0 when there is none or no registry.
 * Case is that of code page 1252, except on POSIX for a name that is
 * multi-byte UTF-8: only its ASCII letters fold there.
 * The name is compared as passed, untrimmed; entries that IsEntryValid
 * rejects, and entries without a comma, never match. An empty or NULL
 * name reports check 326 and gives 0. Only reads. */
USERPROFILE_EXPORT int USERPROFILE_CALL DoesUserExist(ModuleHandle module,
                                                      const char *name);

/* 4. GetProperHomeDirName: derives a user's home directory name. Trims
 * spaces from both ends of `name` in place (writing only the bytes that
 * change: a name with spaces at either end must be writable), then writes
 * to `out` (USERPROFILE_HOMEDIRNAME_SIZE = 9 bytes) the first 8 characters
 * of it that are not spaces, padded with '0', and a terminator: "Ann Lee"
 * gives "AnnLee00". On POSIX a name that is multi-byte UTF-8 gives whole
 * characters only, and '0' fills the bytes a character would have been
 * cut at. A NULL name reports check 365 and returns, `out` untouched. An
 * empty name (366), a trimmed one (369) or one with nothing left (383,
 * giving "00000000") is reported and the name is still written. No files. */
USERPROFILE_EXPORT void USERPROFILE_CALL GetProperHomeDirName(char *name,
                                                              char *out);

/* 5. CreateUserProfile: adds a user. Trims `name` in place (writing only
 * the bytes that change: a name with spaces at either end must be
 * writable, any other may be a string literal), creates a new home directory
 * for it under the users root (its GetProperHomeDirName, made unique: AnnLee00,
 * AnnLee01, ...), records "name,HOMEDIRN" as the next registry entry when `reg`
 * is nonzero, and creates the empty lock file in the home directory the
 * registry records for that name. No result: check with DoesUserExist.
 * Nothing is validated and nothing prevents a second profile for a
 * registered name (lookups keep finding the first), so call ValidUserName
 * and DoesUserExist first. With `reg` 0 the new directory is not recorded
 * and the lock file goes to the name's recorded home, if any (else check
 * 615). A NULL name reports check 503 and returns; an empty one reports
 * 504 and goes on. A home directory that cannot be allocated at all is
 * reported (409-411) and not recorded; one that cannot be recorded (730,
 * 731) is removed again while it is still empty. */
USERPROFILE_EXPORT void USERPROFILE_CALL CreateUserProfile(ModuleHandle module,
                                                           char *name, int reg);

/* 6. CreateUserProfileEx: adds a user under a base directory and registry
 * of the caller's choosing. Trims `name` in place (as CreateUserProfile:
 * writable if it has spaces at either end), creates a
 * new home directory for it under `base` (creating `base` itself, one
 * level, if missing), writes entry number `entry` of the file `registry`
 * as "name,HOMEDIRN" (the count of entries is left to the caller), creates
 * the empty lock file in the new directory, and writes base + separator +
 * home directory name, without a trailing separator, to `out` (strlen(base)
 * + 10 bytes; USERPROFILE_PATH_SIZE always suffices). If no directory
 * name can be allocated (checks 409-411), `out` is set to the empty string
 * and no entry is written. If the entry cannot be written (730), the new,
 * empty directory is removed and `out` is set to the empty string.
 * A NULL argument (checks 505-508) or a base longer than 108 characters
 * (509) is reported and nothing is touched, `out` included. */
USERPROFILE_EXPORT void USERPROFILE_CALL CreateUserProfileEx(
    const char *base, const char *registry, int entry, char *name, char *out);

/* 7. GetDefaultUser: reads the stored default user into `out`
 * (USERPROFILE_DEFAULT_SIZE = 33 bytes: up to 32 characters and a
 * terminator) and makes it the process's current user. Writes the empty
 * string when none is stored or there is no registry. The value is not
 * validated. A NULL `out` reports check 540 and returns. */
USERPROFILE_EXPORT void USERPROFILE_CALL GetDefaultUser(ModuleHandle module,
                                                        char *out);

/* 8. SetDefaultUser: stores `name` as the default user (creating the
 * registry if missing) and makes it the process's current user. The name
 * is neither validated nor looked up: pass a registered name of at most
 * USERPROFILE_NAME_MAX characters. A NULL name reports check 541 and
 * changes nothing. */
USERPROFILE_EXPORT void USERPROFILE_CALL SetDefaultUser(ModuleHandle module,
                                                        const char *name);

/* 9. GetUserHomeDir: writes the current user's home directory path,
 * ending in a separator so that a file name can be appended, to `out`
 * (USERPROFILE_PATH_SIZE = 128 bytes). The current user is the one last
 * read or stored by GetDefaultUser, SetDefaultUser or VerifyUserProfiles.
 * An empty or invalid current user is reported (575, 576); a current user
 * who is not registered (580) or whose entry is unusable (585-587) gives
 * the empty string. The directory itself is not checked or created. A
 * NULL `out` reports check 245 and returns. */
USERPROFILE_EXPORT void USERPROFILE_CALL GetUserHomeDir(ModuleHandle module,
                                                        char *out);

/* 10. GetDirForUser: writes the named user's home directory path, ending
 * in a separator, to `out` (USERPROFILE_PATH_SIZE = 128 bytes): the
 * directory recorded for the first entry of that name, whatever the case
 * of `name`. An empty or invalid name is reported (609, 610) and looked
 * up all the same; a user who is not registered (615) or whose entry is
 * unusable (616, 617, 620) gives the empty string. A NULL name reports
 * check 608 and a NULL `out` check 245; either returns with `out`
 * untouched. */
USERPROFILE_EXPORT void USERPROFILE_CALL GetDirForUser(ModuleHandle module,
                                                       const char *name,
                                                       char *out);

/* 11. ValidUserName: returns 1 for a valid user name, 0 otherwise. Valid:
 * at most USERPROFILE_NAME_MAX (31) characters, at least one ASCII letter
 * or digit, and no ASCII punctuation (so no comma, hyphen, period or
 * apostrophe); spaces, control bytes and bytes above 0x7F are allowed.
 * NULL and the empty name are invalid. No reports, no files. */
USERPROFILE_EXPORT int USERPROFILE_CALL ValidUserName(const char *name);

/* 12. openUserSemaphoreFile: signs the user in. Note the argument order:
 * name first. Opens the user's lock file exclusively (creating it if
 * missing) and keeps it open until CloseUserSemaphoreFile or the end of
 * the process. Returns 1 when this call took the lock; 0 when the user is
 * signed in elsewhere (in another process, on another machine sharing
 * the directory, or already through this process), is not registered
 * (check 615), or the file cannot be opened. A 0 from a user signed in
 * elsewhere is not reported. A process has one lock slot: call
 * CloseUserSemaphoreFile before signing in another user, or the earlier
 * lock stays held, unreachable, until the process ends. A NULL name
 * reports check 643 and returns 0; an empty or invalid one is reported
 * (644, 645) and looked up all the same. */
USERPROFILE_EXPORT int USERPROFILE_CALL openUserSemaphoreFile(const char *name,
                                                              ModuleHandle module);

/* 13. CloseUserSemaphoreFile: signs out. Closes the lock file that the
 * last openUserSemaphoreFile of this process took, if it took one, and
 * empties the lock slot. Called with nothing held it reports check 667;
 * after an open that returned 0 it just empties the slot, unreported. The
 * current user is left as it is. */
USERPROFILE_EXPORT void USERPROFILE_CALL CloseUserSemaphoreFile(void);

/* 14. VerifyUserProfiles: repairs the registry and the home directories,
 * the first call of a host's run. Creates a missing registry, drops
 * invalid and empty entries and renumbers the rest (leaving no text of
 * them above the new count; lines that stood above the count before are
 * left, ignored), re-creates missing home directories and lock
 * files (a held lock file is left alone), empties a lock file that
 * nobody holds of the note a killed sign-in left in it,
 * registers "Default" if absent (telling so in a notice: a message box on
 * Windows, "DEBUG: Creating Default User" on standard error elsewhere),
 * and then keeps the stored default user if it is registered, and makes
 * "Default" the default otherwise or when it had to create "Default";
 * the default is left as the current user. No user's file or directory
 * is deleted. No result; failures are reported by the operations it
 * calls. */
USERPROFILE_EXPORT void USERPROFILE_CALL VerifyUserProfiles(ModuleHandle module);

/*
 * The library's own additions, for hosts that want reports and the cause
 * of a failure. They carry the prefix userprofile_ and the platform's
 * plain C calling convention. libuserprofile.so exports them beside the
 * 14; on Windows, userprofile.dll keeps exactly its 14 exports, and
 * userprofile_ex.dll, built from the same code, exports the 14 at the same
 * ordinals and these beside them: a Windows host that wants them links
 * that DLL's import library (libuserprofile_ex.dll.a) instead.
 */

/* A receiver of the library's reports: `caption` is "Assertion Failure"
 * for a failed check (with `text` "File : userprofile, Line : N") and
 * "DEBUG" for VerifyUserProfiles' notice "Creating Default User".
 * `context` is the pointer given with it. Both strings are valid only
 * during the call. It may be called from any thread that calls an export,
 * and from several at once; it must not call the library itself. */
typedef void (*userprofile_report_handler)(void *context, const char *caption,
                                           const char *text);

/* Sends every later report to `handler` with `context`, instead of
 * standard error (or a message box on Windows); NULL silences reports
 * altogether. The change is process-wide and takes effect at once for
 * every thread; a report already being delivered finishes with the
 * handler it started with. */
USERPROFILE_EXPORT void userprofile_set_report_handler(
    userprofile_report_handler handler, void *context);

/* A receiver of reports that is given the failed check's number (0 for a
 * notice) beside the report's caption and text. */
typedef void (*userprofile_check_handler)(void *context, unsigned check,
                                          const char *caption,
                                          const char *text);

/* userprofile_set_report_handler for a userprofile_check_handler. */
USERPROFILE_EXPORT void userprofile_set_check_handler(
    userprofile_check_handler handler, void *context);

/* What a failed check means, in a few words ("user not registered"), or
 * "" for a number that is no check of the library. */
USERPROFILE_EXPORT const char *userprofile_check_meaning(unsigned check);

/* The causes of failure that userprofile_last_error gives. The numbers
 * never change. */
#define USERPROFILE_ERROR_NONE 0 /* the call did all it was asked */
/* a NULL pointer, an invalid name, a path over 127 characters */
#define USERPROFILE_ERROR_INVALID_ARGUMENT 1
/* no such user is registered; nothing to sign out */
#define USERPROFILE_ERROR_NOT_FOUND 2
/* the user's lock file is held by another sign-in */
#define USERPROFILE_ERROR_SIGNED_IN_ELSEWHERE 3
/* the system refused access to a file */
#define USERPROFILE_ERROR_PERMISSION 4
/* any other failed file operation */
#define USERPROFILE_ERROR_IO 5
/* the registry's update lock was not had within 30 s (check 731) */
#define USERPROFILE_ERROR_BUSY 6
/* every home directory name for the user is taken */
#define USERPROFILE_ERROR_EXISTS 7
/* a registry entry or a lock file is not as it must be */
#define USERPROFILE_ERROR_DAMAGED 8
/* refused to keep data safe: asked for without the flag that allows it */
#define USERPROFILE_ERROR_REFUSED 9

/* The cause of the calling thread's last failure: one of the
 * USERPROFILE_ERROR_ codes. Each export clears it when it starts, so
 * after a call it is USERPROFILE_ERROR_NONE if that call did all it was
 * asked, and otherwise the first cause the call found. For example,
 * openUserSemaphoreFile's 0 comes with SIGNED_IN_ELSEWHERE, NOT_FOUND
 * (not registered), INVALID_ARGUMENT (NULL or invalid name) or PERMISSION
 * (the lock file may not be opened for writing); DoesUserExist's 0 with
 * NOT_FOUND; a registration refused by a failed registry write (check
 * 730) with IO or PERMISSION, or one refused for the update lock (731)
 * with BUSY. Other threads' calls do not change it. */
USERPROFILE_EXPORT int userprofile_last_error(void);

/* The calling thread's last failure as one line of text: what failed, on
 * which path, and the system's reason where it gave one (for example
 * "cannot open the lock file /app/USER/AnnLee00/IKIVO.SMP for reading
 * and writing: Permission denied"). "" when there is none. The string
 * stays valid until this thread's next call of an export. */
USERPROFILE_EXPORT const char *userprofile_last_error_message(void);

/*
 * The administrator's operations, for tools that manage an application's
 * users (userprof). Each runs under the library's own locks, clears and
 * sets userprofile_last_error as the exports do, and reports failed
 * checks as they do.
 */

/* A module handle for the module file at `module_path` (an absolute
 * path), for a tool that works on another application's users, or for a
 * host in a scripting language, whose calling module is its interpreter
 * (examples/python/host.py names its program file): every
 * call given it anchors the registry and the users root at that path as
 * if the module were loaded from there. The same path gives the same
 * handle; it stays valid until the process ends. NULL for a NULL or
 * empty path. A path longer than 127 characters gives a handle whose
 * calls report that its path cannot be used (check 125). */
USERPROFILE_EXPORT ModuleHandle userprofile_module_at(const char *module_path);

/* The registry's path (userprofile_registry_path) or the users root's
 * path without a trailing separator (userprofile_users_root) for
 * `module`, written to `out` (USERPROFILE_PATH_SIZE bytes). Returns 1, or
 * 0 with the failure reported when the path cannot be built within 127
 * characters (`out` then holds ""). */
USERPROFILE_EXPORT int userprofile_registry_path(ModuleHandle module,
                                                 char *out);
USERPROFILE_EXPORT int userprofile_users_root(ModuleHandle module, char *out);

/* The registry of `module` as it stands, for a listing. */
typedef struct userprofile_registry_state {
  const char *path;         /* the registry's path */
  int exists;               /* 1 if it is a regular file */
  int count;                /* the count of entries it claims */
  const char *default_user; /* the stored default user, or "" */
} userprofile_registry_state;

/* One numbered entry of the registry and, for a registered user, the
 * user's home directory and lock file as they stand on disk. The strings
 * are valid only during the call that gives them. */
typedef struct userprofile_user_state {
  int number;           /* the entry's number */
  const char *entry;    /* the entry's text as stored */
  int usable;           /* 1: a valid entry with a comma, a registered user */
  const char *name;     /* the text before the first comma ("" if unusable) */
  const char *dir_name; /* the text after it */
  int duplicate_of;     /* an earlier entry of the same name, which every
                           lookup finds instead; 0 for none */
  const char *home;     /* the home directory's path ending in a separator,
                           or "" when it cannot be had */
  int home_exists;      /* 1 if the home is a directory that can be entered */
  int lock_exists;      /* 1 if its lock file is a regular file reached
                           without a link */
  int signed_in;        /* 1 or 0; -1 when not asked or it cannot be told */
} userprofile_user_state;

/* Receives a listing: once for every entry from 1 to the count, in order
 * (for a count far above the entries the registry holds, only those it
 * holds), then once with `user` NULL. It must not call the library. */
typedef void (*userprofile_user_visitor)(
    void *context, const userprofile_registry_state *registry,
    const userprofile_user_state *user);

/* Ask each lock file whether it is held, without disturbing a sign-in. */
#define USERPROFILE_LIST_SIGN_INS 1u

/* Lists the registry of `module`: one consistent read of it, with each
 * user's home and lock file probed. Returns 1, or 0 when the registry's
 * path cannot be built (nothing is visited). */
USERPROFILE_EXPORT int userprofile_list_users(ModuleHandle module,
                                              unsigned flags,
                                              userprofile_user_visitor visit,
                                              void *context);

/* What a repair does, one step at a time, in the order it does them:
 * the repair's plan, worked out from one read of the registry and a look
 * at each kept user's home and lock file. A dry run tells the same steps
 * it would take, in the same order, and changes nothing. */
#define USERPROFILE_REPAIR_REGISTRY_CREATED 1 /* `path`: the new registry */
/* Entry `number` (text `entry`) is squeezed out; `detail` says why:
 * "empty", "no comma", "invalid user name", "directory name is not 8
 * characters", "a copy of entry N", or "above the count" for a line left
 * above the count (by an earlier version or a hand edit): such lines are
 * dropped only by a repair given `keep`, which can copy them first. */
#define USERPROFILE_REPAIR_ENTRY_DROPPED 2
/* User `name` of entry `number` gets a new home directory `path` (on a
 * dry run: the users root), as the one recorded (`detail`) is missing. */
#define USERPROFILE_REPAIR_HOME_CREATED 3
#define USERPROFILE_REPAIR_LOCK_CREATED 4 /* `path`: the new lock file */
/* The lock file `path` of user `name`, which nobody holds, is emptied of
 * the note a killed sign-in left in it. */
#define USERPROFILE_REPAIR_NOTE_EMPTIED 5
/* Entry `number` of user `name` becomes entry `to`. */
#define USERPROFILE_REPAIR_ENTRY_RENUMBERED 6
#define USERPROFILE_REPAIR_COUNT_SET 7 /* from `number` to `to` */
/* "Default" is registered as entry `to` with the home `path` (on a dry
 * run, a new home in the users root). */
#define USERPROFILE_REPAIR_DEFAULT_ADDED 8
/* The default user becomes `name` (it was `detail`, "" for none). */
#define USERPROFILE_REPAIR_DEFAULT_SET 9

typedef struct userprofile_repair_action {
  int kind;           /* one of USERPROFILE_REPAIR_ */
  int number;         /* the entry's number before the repair, or 0 */
  int to;             /* see the kinds, or 0 */
  const char *entry;  /* the entry's text as stored, or "" */
  const char *name;   /* the user's name, or "" */
  const char *path;   /* the file or directory concerned, or "" */
  const char *detail; /* see the kinds, or "" */
  /* 1: done; 0: failed (userprofile_last_error_message says why, and the
   * repair went on); -1: a dry run, nothing done. */
  int done;
} userprofile_repair_action;

/* Receives the steps of a repair. The strings are valid only during the
 * call. It must not call the library. */
typedef void (*userprofile_repair_visitor)(
    void *context, const userprofile_repair_action *action);

/* What a repair tells its caller, all under the registry's update lock,
 * so that it describes the very version the repair changes. */
typedef struct userprofile_repair_observer {
  void *context;
  /* Each step of the repair as it is taken. May be NULL. */
  userprofile_repair_visitor act;
  /* Called before a repair that drops entries or lines, with the
   * registry's path: a chance to copy it. Returns 1 to go on; 0 leaves
   * everything as it is. It must not call the library. May be NULL. */
  int (*keep)(void *context, const char *registry);
} userprofile_repair_observer;

/* VerifyUserProfiles under one hold of the registry's update lock, told
 * to `observer` (which may be NULL). Returns 1 when the repair was made
 * and written; 0 when the update lock was not had (BUSY), `keep` said no
 * (nothing changed, no cause set), or its writes did not reach the file
 * (IO or PERMISSION). */
USERPROFILE_EXPORT int userprofile_repair(
    ModuleHandle module, const userprofile_repair_observer *observer);

/* The repair's dry run: tells `visit` every step userprofile_repair (with
 * a `keep`) would take now (each with `done` -1), from the same plan, and
 * changes
 * nothing: no file or directory is made, written or locked. Returns 1, or
 * 0 when the registry's path cannot be built or the registry cannot be
 * read (the cause is set). */
USERPROFILE_EXPORT int userprofile_plan_repair(ModuleHandle module,
                                               userprofile_repair_visitor visit,
                                               void *context);

/* Tells `visit` the path of every directory in the users root that no
 * registered user's entry names as its home (links left out), in no
 * order. Returns how many there are, or -1 when the registry's path
 * cannot be built or the registry cannot be read. */
USERPROFILE_EXPORT int userprofile_unregistered_homes(
    ModuleHandle module, void (*visit)(void *context, const char *home),
    void *context);

/* Registers a new user as CreateUserProfile does, but only if no user of
 * that name (in any case) is registered: the check and the creation are
 * one update. `name` must be valid and is not trimmed. Returns the new
 * entry's number, or 0: INVALID_ARGUMENT, EXISTS (registered already),
 * BUSY, or the cause of a failed creation. */
USERPROFILE_EXPORT int userprofile_add_user(ModuleHandle module,
                                            const char *name);

/* Registers `name` with an existing home directory, as useradd -d DIR -M
 * does: `home` names a directory of the users root (by its path, or by
 * its name alone) that no entry names yet. Its lock file is created if
 * missing. Returns the new entry's number, or 0: INVALID_ARGUMENT (an
 * invalid name, a home outside the users root or whose name is not
 * exactly 8 characters), NOT_FOUND (no such directory), DAMAGED (the home
 * is a link, or not a directory), EXISTS (the name is registered, or
 * another entry names the home: userprofile_last_error_message says
 * whose), BUSY, IO. */
USERPROFILE_EXPORT int userprofile_add_user_with_home(ModuleHandle module,
                                                      const char *name,
                                                      const char *home);

/* What userprofile_remove_user removed. */
typedef struct userprofile_removed_user {
  int number;                                 /* its entry number */
  char name[USERPROFILE_DEFAULT_SIZE];        /* the name as it was stored */
  char home[USERPROFILE_PATH_SIZE];           /* its home, "" if none */
  char shared_with[USERPROFILE_DEFAULT_SIZE]; /* another user recorded
                                            with the same home, or "" */
} userprofile_removed_user;

/* userprofile_remove_users with USERPROFILE_REMOVE_DEFAULT and no
 * deletion: removes every entry of `name` and keeps the homes. Returns the
 * first removed entry's number and fills `removed` (may be NULL) with that
 * entry, or 0 with the cause. */
USERPROFILE_EXPORT int userprofile_remove_user(
    ModuleHandle module, const char *name, userprofile_removed_user *removed);

/* Flags of userprofile_remove_users. */
#define USERPROFILE_REMOVE_DELETE_HOME 1u /* delete the homes too */
#define USERPROFILE_REMOVE_DEFAULT 2u     /* may remove the user "Default" */

/* One entry that userprofile_remove_users removed. The strings are valid
 * only during the call that gives them. */
typedef struct userprofile_removal {
  int number;               /* its entry number before the removal */
  const char *name;         /* its name as it was stored */
  const char *home;         /* its home's path ending in a separator, or "" */
  const char *shared_with;  /* a user who keeps the same home, or "" */
  int home_deleted;         /* 1: the home and all in it were deleted */
  const char *home_failure; /* why a home to delete is not (wholly) gone,
                               or "" */
  const char *default_user; /* the default user as the removal left it */
  int was_default;          /* 1 if the removed user was the default user */
  int default_changed;      /* 1 if the removal made "Default" the default */
} userprofile_removal;

typedef void (*userprofile_removal_visitor)(void *context,
                                            const userprofile_removal *removed);

/* Removes every registry entry of the registered user `name` (a hand edit
 * can leave several), in one update: the entries after them move down, as
 * a repair squeezes out gaps, and a default user that is gone falls back
 * to "Default" where it is registered. The lock of each removed entry's
 * home is held from before the registry changes until its home is
 * deleted, so that nobody signs in meanwhile; refused (SIGNED_IN_ELSEWHERE)
 * while one is held. Homes are kept unless `flags` has
 * USERPROFILE_REMOVE_DELETE_HOME: each is then deleted, once the registry
 * no longer names it and still under its lock, without following any
 * link. A home that is a link or no directory, or the home of a user who
 * stays, refuses the whole removal (REFUSED, nothing changed). The user
 * "Default", which VerifyUserProfiles would register anew with a new home,
 * is refused (REFUSED) without USERPROFILE_REMOVE_DEFAULT. `visit` (may
 * be NULL) is told each removed entry, in order, after the registry is
 * written. Returns the number of entries removed, or 0: INVALID_ARGUMENT,
 * NOT_FOUND, SIGNED_IN_ELSEWHERE, REFUSED, BUSY, DAMAGED, PERMISSION, IO.
 * A home that could not be deleted after the entries were removed leaves
 * the result as it is and its cause (IO, PERMISSION) as the last error. */
USERPROFILE_EXPORT int userprofile_remove_users(
    ModuleHandle module, const char *name, unsigned flags,
    userprofile_removal_visitor visit, void *context);

/* Renames the registered user `old_name` to `new_name`, keeping the
 * entry's number and home directory (and the default user, if it was
 * this user). `new_name` must be valid and not another user's name in
 * any case (EXISTS). Refused while the user is signed in. Returns the
 * entry's number, or 0 with the cause. */
USERPROFILE_EXPORT int userprofile_rename_user(ModuleHandle module,
                                               const char *old_name,
                                               const char *new_name);

/* Signs `name` in as openUserSemaphoreFile does, for a sign-in that
 * leaves a note in its lock file: it also refuses a lock file that is not
 * a regular file with exactly one link (USERPROFILE_ERROR_DAMAGED), since
 * the note would change another name's file too, and empties the lock
 * file it took. The lock taken is the one of the home the registry gives
 * `name` once it is held (a user renamed and a new one added under the
 * name meanwhile: the new one's), so that GetDirForUser for `name` gives
 * the held lock's home for as long as it is held. Returns 1 or 0, as
 * openUserSemaphoreFile; sign out with CloseUserSemaphoreFile. */
USERPROFILE_EXPORT int userprofile_sign_in(ModuleHandle module,
                                           const char *name);

/* Lets the programs this process starts from now on inherit the lock that
 * the last sign-in took, so that the sign-in lasts until the last of them
 * and this process has ended or closed it. Returns 1, or 0 (nothing held,
 * or the platform cannot). */
USERPROFILE_EXPORT int userprofile_inherit_sign_in(void);

/* Replaces the content of the lock file that the last sign-in of this
 * process holds with `note` ("" empties it), through the open file that
 * holds the lock and never by its path. Refused (0, DAMAGED) unless the
 * file is a regular file with exactly one link; 0 with NOT_FOUND when no
 * lock is held. Returns 1 when written. */
USERPROFILE_EXPORT int userprofile_write_sign_in_note(const char *note);

#ifdef __cplusplus
}
#endif

#endif /* USERPROFILE_H */
