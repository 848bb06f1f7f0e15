#include "help.h"

#include <algorithm>

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
    {"verify", "verify",
     "repair the registry and the home directories; say what changed",
     "Creates a missing registry, drops invalid entries and renumbers the\n"
     "rest, re-creates missing home directories and lock files, registers\n"
     "\"Default\" if it is missing and leaves a registered default user.\n"
     "Prints each change, or \"nothing changed\". Exit 1 if the repair could\n"
     "not be completed (the library's warnings say why).\n",
     "userprof --module /opt/app/PROG/MAIN verify"},
    {"add", "add NAME", "register a new user and create the home directory",
     "Refuses a name that is not valid (more than 31 characters,\n"
     "punctuation, no letter or digit), that begins or ends with a space or\n"
     "holds a control character, or that is registered already. Prints the\n"
     "new home directory.\n",
     "userprof --module /opt/app/PROG/MAIN add \"Ann Lee\""},
    {"list", "list", "the users with their homes, lock files and sign-ins",
     "One line per registry entry: number, name, home directory, whether\n"
     "the directory and the lock file exist, and whether the user is signed\n"
     "in now. Entries that verify would drop are shown as such.\n",
     "userprof --module /opt/app/PROG/MAIN list"},
    {"home", "home NAME", "the home directory of a user",
     "Prints the user's home directory, ending in a separator. Exit 1 if\n"
     "no such user is registered.\n",
     "userprof --module /opt/app/PROG/MAIN home \"Ann Lee\""},
    {"default", "default [NAME]", "show the default user, or set it",
     "Without NAME prints the default user (exit 1 if none is set). With\n"
     "NAME makes that registered user the default.\n",
     "userprof --module /opt/app/PROG/MAIN default \"Ann Lee\""},
    {"signin", "signin NAME -- PROGRAM [ARGS]",
     "run a program while signed in as a user",
     "Signs the user in (holds the user's lock file) while PROGRAM runs, and\n"
     "exits with PROGRAM's exit status (127 if it cannot be started).\n"
     "PROGRAM finds the user in USERPROF_USER and the home directory in\n"
     "USERPROF_HOME. If the user is signed in elsewhere, says so and exits\n"
     "1 without running it.\n",
     "userprof --module /opt/app/PROG/MAIN signin \"Ann Lee\" -- tar cf "
     "ann.tar ."},
    {"who", "who", "the users signed in now",
     "Asks each user's lock file whether it is held, without taking it, so\n"
     "neither a signed-in user nor someone signing in is disturbed.\n",
     "userprof --module /opt/app/PROG/MAIN who"},
    {"demo", "demo [DIR]", "a host's typical run on a scratch application tree",
     "Makes DIR/APP/PROG (DIR defaults to a new temporary directory, removed\n"
     "afterwards) and runs the library through a host's typical run, printing\n"
     "each call: verify, sign in, set the default user, find the home, add\n"
     "\"Ann Lee\", a refused second sign-in from another process, sign out,\n"
     "and the registry file at the end. Needs no --module.\n",
     "userprof demo /tmp/try"},
};

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
      "Exit status: 0 done, 1 not found, refused or failed, 2 usage error.\n";
  return text;
}

std::optional<std::string> CommandHelp(std::string_view command) {
  for (const CommandText& c : kTexts) {
    if (c.name != command) continue;
    return "usage: userprof [--module PATH] [--json] " + std::string(c.usage) +
           "\n\n" + std::string(c.summary) + ".\n" + std::string(c.details) +
           "\nExample:\n  " + std::string(c.example) + "\n";
  }
  return std::nullopt;
}

}  // namespace userprof
