#include "help.h"

#include <algorithm>

#include "os.h"

namespace userprof {
namespace {

struct CommandText {
  std::string_view name;
  std::string_view usage;
  std::string_view summary;
  std::string_view details;
  std::string_view example;
};

constexpr CommandText kTexts[] = {
    {"verify", "verify [--dry-run]",
     "repair the registry and the home directories; say what changed",
     "Creates a missing registry, drops invalid entries and renumbers the\n"
     "rest, re-creates missing home directories and lock files, registers\n"
     "\"Default\" if it is missing and leaves a registered default user.\n"
     "Drops lines left above the count, and empties lock files that nobody\n"
     "holds of the note a killed sign-in left. Prints each step, or\n"
     "\"nothing changed\", then the home directories no entry names. A\n"
     "repair that drops entries first keeps the registry as it was in a new\n"
     "copy beside it, USER.INI.<UTC time>.bak (the last five are kept), and\n"
     "names it beside each dropped entry, so that a dropped user can be\n"
     "restored by hand; remove the copies to purge what they keep.\n"
     "\n"
     "  --dry-run  change nothing anywhere: print the same plan, each step\n"
     "             prefixed with \"would:\"\n"
     "\n"
     "Exit status: 0 repaired or healthy; 1 the repair is incomplete (the\n"
     "error says why), or with --dry-run: repairs are needed; 2 usage\n"
     "error; 4 the registry was busy with another update for too long.\n",
     "userprof --module /opt/app/PROG/MAIN verify --dry-run"},
    {"add", "add [--home DIR] NAME",
     "register a new user and create the home directory",
     "Refuses a name that is not valid (more than 31 bytes, ASCII\n"
     "punctuation, no ASCII letter or digit), that begins or ends with a\n"
     "space or holds a control character, or that is registered already in\n"
     "any letter case. The check and the creation happen under one hold of\n"
     "the registry's update lock. Warns when NAME differs from a registered\n"
     "name only in encoding (UTF-8 or Windows-1252) or in the case of a\n"
     "non-ASCII letter. Prints the new home directory.\n"
     "\n"
     "  --home DIR  register the user with DIR, an existing directory of\n"
     "              the users root that no entry names (its path or its\n"
     "              name), instead of a new one; refused (status 8) for a\n"
     "              home another entry names, outside the users root, or a\n"
     "              link\n",
     "userprof --module /opt/app/PROG/MAIN add \"Ann Lee\""},
    {"list", "list", "the users with their homes, lock files and sign-ins",
     "One line per registry entry: number, name, home directory, whether\n"
     "the directory and the lock file exist, and whether the user is signed\n"
     "in now. Entries that verify would drop are shown as such, and the\n"
     "home directories that no entry names follow. Bytes that\n"
     "are not UTF-8 are shown as \\xNN; --json gives the exact bytes.\n",
     "userprof --module /opt/app/PROG/MAIN list"},
    {"home", "home NAME", "the home directory of a user",
     "Prints the user's home directory, ending in a separator. Exit 1 if\n"
     "no such user is registered.\n",
     "userprof --module /opt/app/PROG/MAIN home \"Ann Lee\""},
    {"default", "default [NAME]", "show the default user, or set it",
     "Without NAME prints the default user (exit 1 if none is set). With\n"
     "NAME makes that registered user the default.\n",
     "userprof --module /opt/app/PROG/MAIN default \"Ann Lee\""},
    {"signin", "signin [-n | -w SECONDS] [-E N] NAME -- PROGRAM [ARGS]",
     "run a program while signed in as a user",
     "Signs the user in and runs PROGRAM, which holds the user's lock\n"
     "itself (it inherits the locked lock file, as with flock(1)): the\n"
     "sign-in lasts exactly as long as PROGRAM and whatever it leaves\n"
     "running with the file open, even if userprof is killed. SIGINT,\n"
     "SIGTERM, SIGHUP and SIGQUIT are passed on to PROGRAM. PROGRAM finds\n"
     "the user in USERPROF_USER and the home directory in USERPROF_HOME.\n"
     "With --json, PROGRAM's standard output goes to standard error, so\n"
     "that standard output holds the JSON line only.\n"
     "\n"
     "  -n, --nonblock            if the user is signed in elsewhere, refuse\n"
     "                            at once (the default)\n"
     "  -w, --wait SECONDS        wait at most SECONDS for the user to sign\n"
     "                            out\n"
     "  -E, --conflict-exit-code N\n"
     "                            the exit status of that refusal (default 4)\n"
     "\n"
     "Exit status: PROGRAM's own (128 + N if signal N ended it); 4 (or N of\n"
     "-E) signed in elsewhere, PROGRAM not run; 1 no such user or the lock\n"
     "file cannot be used; 2 usage error; 127 PROGRAM cannot be started.\n",
     "userprof --module /opt/app/PROG/MAIN signin -w 30 \"Ann Lee\" -- tar "
     "cf ann.tar ."},
    {"who", "who", "the users signed in now, by which process and since when",
     "Asks each user's lock file whether it is held, without taking it, so\n"
     "neither a signed-in user nor someone signing in is disturbed, and\n"
     "shows the processes of this machine that hold it (as lslocks finds\n"
     "them). For a sign-in on another machine made by userprof signin it\n"
     "shows the process id, host and time that signin noted in the lock\n"
     "file; for any other sign-in elsewhere they are shown as \"?\".\n",
     "userprof --module /opt/app/PROG/MAIN who"},
    {"remove", "remove [--delete-home] [--force] NAME", "unregister a user",
     "Removes every entry of the name and renumbers the entries after\n"
     "them, as a repair does. A signed-in user is refused (exit 4): the\n"
     "user's lock is held while the entry goes, so nobody signs in\n"
     "meanwhile. If the user was the default user, \"Default\" becomes\n"
     "the default, and the tool says so.\n"
     "  --delete-home  delete the home directory too, under the user's lock\n"
     "                 once the entry is gone, never following a link; a\n"
     "                 home that is a link or another user's too refuses\n"
     "                 the removal (exit 8)\n"
     "  --force        remove \"Default\" too, which is refused otherwise\n"
     "                 (exit 8): the next verify would register a new\n"
     "                 \"Default\" with a new home, the old one kept\n",
     "userprof --module /opt/app/PROG/MAIN remove \"Ann Lee\""},
    {"rename", "rename OLD NEW", "give a user another name, same home",
     "Changes the name in the user's entry; the home directory stays. NEW\n"
     "must be a valid name that is not registered in any letter case or\n"
     "encoding. A signed-in user is refused (exit 4). If OLD was the\n"
     "default user, NEW becomes the default.\n",
     "userprof --module /opt/app/PROG/MAIN rename \"Ann Lee\" \"Ann Smith\""},
    {"demo", "demo [DIR]", "a host's typical run on a scratch application tree",
     "Makes DIR/APP/PROG (DIR defaults to a new temporary directory, removed\n"
     "afterwards) and runs the library through a host's typical run, printing\n"
     "each call: verify, sign in, set the default user, find the home, add\n"
     "\"Ann Lee\", a refused second sign-in from another process, sign out,\n"
     "and the registry file at the end. Needs no --module.\n",
     "userprof demo /tmp/try"},
};

// The text with its example module path in this system's form.
std::string ForThisSystem(std::string_view text) {
  constexpr std::string_view kPosixExample = "/opt/app/PROG/MAIN";
  std::string out(text);
  for (std::size_t at = out.find(kPosixExample); at != std::string::npos;
       at = out.find(kPosixExample, at + kExampleModule.size())) {
    out.replace(at, kPosixExample.size(), kExampleModule);
  }
  return out;
}

}  // namespace

std::string GlobalHelp() {
  std::string text =
      "usage: userprof [--module PATH] [--json] COMMAND [OPERANDS]\n"
      "       userprof demo [DIR]\n"
      "       userprof --help | --version | help COMMAND\n"
      "\n"
      "Administers the users of an installed application: the registry\n"
      "USER.INI beside the application's module, the home directories in the\n"
      "directory USER beside the module's directory, and the lock files\n"
      "IKIVO.SMP that keep each user signed in once.\n"
      "\n"
      "Commands:\n";
  for (const CommandText& c : kTexts) {
    std::string usage(c.usage);
    if (usage.size() > 30) usage += "\n" + std::string(32, ' ');
    usage.resize(std::max<std::size_t>(usage.size(), 30), ' ');
    text += "  " + usage + " " + std::string(c.summary) + "\n";
  }
  text +=
      "\n"
      "Options:\n"
      "  --module PATH   the application's main module, e.g. "
      "/opt/app/PROG/MAIN\n"
      "                  (default: the environment variable USERPROF_MODULE)\n"
      "  --json          print one JSON object on one line, for scripts\n"
      "  --help, -h      this help; after a command, that command's help\n"
      "  --version       the version\n"
      "\n"
      "Exit status: 0 done; 1 not found, refused or failed; 2 usage error\n"
      "(a module path that names no file included); 4 the user is signed in\n"
      "elsewhere or the registry was busy. signin passes on its program's\n"
      "status; verify --dry-run exits 1 when repairs are needed. See\n"
      "userprof(1).\n";
  return ForThisSystem(text);
}

std::optional<std::string> CommandHelp(std::string_view command) {
  for (const CommandText& c : kTexts) {
    if (c.name != command) continue;
    return "usage: userprof [--module PATH] [--json] " + std::string(c.usage) +
           "\n\n" + std::string(c.summary) + ".\n" + std::string(c.details) +
           "\nExample:\n  " + ForThisSystem(c.example) + "\n";
  }
  return std::nullopt;
}

}  // namespace userprof
