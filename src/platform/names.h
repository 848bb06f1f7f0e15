// Equality of user names as the Windows ANSI comparison (lstrcmpiA, code
// page 1252) decides it, for platforms that lack that service.
#pragma once

#include <string>
#include <string_view>

namespace userprofile {

// The comparison key of a name: letters folded to upper case (ASCII and the
// 1252 accented pairs), the ligatures and sharp s spelled out as the
// linguistic comparison treats them, and the ignorable soft hyphen dropped.
// Two names are equal exactly when their keys are.
std::string NameKey(std::string_view name);

bool NamesEqual1252(std::string_view a, std::string_view b);

}  // namespace userprofile
