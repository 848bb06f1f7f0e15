#!/usr/bin/env python3
"""A host written in Python: userprofile through ctypes.

    host.py LIBRARY PROGRAM [USER [NEW_USER]]

LIBRARY is the shared library (libuserprofile.so.1, or on Windows the DLL
that exports the userprofile_ functions besides the 14). PROGRAM is the
application's own file, for example /app/PROG/main.py: its registry is
/app/PROG/USER.INI and its users' homes are under /app/USER/.

A C host names itself with USERPROFILE_SELF. A script cannot, since the
module that calls the library is the interpreter: a NULL module would
anchor the users beside python3. userprofile_module_at(PROGRAM) gives a
handle that every one of the 14 functions accepts in place of a module.

Runs the steps of a typical host, one printed line each, and exits 0,
1 when the user cannot sign in, or 2 when a name is unusable.
"""
import ctypes
import os
import sys

PATH_SIZE = 128  # USERPROFILE_PATH_SIZE
NAME_MAX = 31  # USERPROFILE_NAME_MAX


def load(library):
    """The 14 functions use the platform's calling convention (__stdcall
    on 32-bit Windows), the userprofile_ functions the C one: on Windows
    the same DLL is loaded once for each."""
    if os.name == "nt":
        fixed, extra = ctypes.WinDLL(library), ctypes.CDLL(library)
    else:
        fixed = extra = ctypes.CDLL(library)
    module, text, out = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p
    signatures = [
        (extra, "userprofile_module_at", module, [text]),
        (extra, "userprofile_last_error", ctypes.c_int, []),
        (extra, "userprofile_last_error_message", text, []),
        (fixed, "VerifyUserProfiles", None, [module]),
        (fixed, "ValidUserName", ctypes.c_int, [text]),
        (fixed, "DoesUserExist", ctypes.c_int, [module, text]),
        (fixed, "openUserSemaphoreFile", ctypes.c_int, [text, module]),
        (fixed, "CloseUserSemaphoreFile", None, []),
        (fixed, "GetDirForUser", None, [module, text, out]),
        (fixed, "CreateUserProfile", None, [module, out]),
    ]
    functions = {}
    for lib, name, restype, argtypes in signatures:
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes
        functions[name] = function
    return functions


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    lib = load(argv[1])
    program = os.path.abspath(argv[2]).encode()
    user = (argv[3] if len(argv) > 3 else "Default").encode("utf-8")
    new_user = (argv[4] if len(argv) > 4 else "Ann Lee").encode("utf-8")

    app = lib["userprofile_module_at"](program)
    if not app:
        print("userprofile_module_at: no handle", file=sys.stderr)
        return 2

    lib["VerifyUserProfiles"](app)
    print("VerifyUserProfiles: done")
    if not lib["ValidUserName"](user):
        print(f"ValidUserName({user.decode()!r}): 0")
        return 2
    entry = lib["DoesUserExist"](app, user)
    print(f"DoesUserExist({user.decode()!r}): {entry}")
    if entry == 0:
        return 1
    if not lib["openUserSemaphoreFile"](user, app):
        why = lib["userprofile_last_error_message"]().decode(errors="replace")
        print(f"openUserSemaphoreFile({user.decode()!r}): 0, {why}")
        lib["CloseUserSemaphoreFile"]()
        return 1
    home = ctypes.create_string_buffer(PATH_SIZE)
    lib["GetDirForUser"](app, user, home)
    print(f"GetDirForUser: {home.value.decode(errors='replace')}")

    # The library trims the name in place, so it gets a buffer of its own.
    if len(new_user) > NAME_MAX or not lib["ValidUserName"](new_user):
        print(f"ValidUserName({new_user.decode()!r}): 0")
        lib["CloseUserSemaphoreFile"]()
        return 2
    if lib["DoesUserExist"](app, new_user) == 0:
        name = ctypes.create_string_buffer(new_user, NAME_MAX + 1)
        lib["CreateUserProfile"](app, name)
        print(f"CreateUserProfile({new_user.decode()!r}): "
              f"cause {lib['userprofile_last_error']()}")
    print(f"DoesUserExist({new_user.decode()!r}): "
          f"{lib['DoesUserExist'](app, new_user)}")
    lib["CloseUserSemaphoreFile"]()
    print("CloseUserSemaphoreFile: signed out")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
