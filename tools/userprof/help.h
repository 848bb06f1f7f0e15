// The texts of --help.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace userprof {

std::string GlobalHelp();
// The help of one command, with an example; nullopt for an unknown one.
std::optional<std::string> CommandHelp(std::string_view command);

}  // namespace userprof
