// Reads of a profile file through the library's store, answered as
// GetPrivateProfileStringA and GetPrivateProfileIntA answer them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "registry/profile.h"
#include "registry/profile_store.h"

namespace userprofile {

// The value cut to size - 1 characters; "" for a missing file, section or
// key.
inline std::string ReadProfileString(std::string_view section,
                                     std::string_view key, std::size_t size,
                                     const std::string& file) {
  if (size == 0) return {};
  return std::string(ProfileSnapshot(file)
                         ->Find(section, key)
                         .value_or("")
                         .substr(0, size - 1));
}

// The value, or `fallback` when the key is missing or empty.
inline std::uint32_t ReadProfileInt(std::string_view section,
                                    std::string_view key, int fallback,
                                    const std::string& file) {
  return profile::ParseInt(
      ProfileSnapshot(file)->Find(section, key).value_or(""), fallback);
}

}  // namespace userprofile
