// What each failed check means, for tools that show a report to people.
#include <map>

#include "frame/checks.h"
#include "frame/frame.h"
#include "userprofile.h"

using namespace userprofile;

extern "C" USERPROFILE_EXPORT const char* userprofile_check_meaning(
    unsigned check) {
  static const std::map<unsigned, const char*> meanings{
#define USERPROFILE_CHECK_MEANING(name, number, meaning) {name, meaning},
      USERPROFILE_CHECKS(USERPROFILE_CHECK_MEANING)
#undef USERPROFILE_CHECK_MEANING
  };
  const auto it = meanings.find(check);
  return it == meanings.end() ? "" : it->second;
}
