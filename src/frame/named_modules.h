// Module handles that stand for a module file named by its path rather
// than for a loaded module: what the administrator's tool works through.
#pragma once

#include <string>

namespace userprofile {

// The handle for the module file at `path`: the same for the same path,
// valid until the process ends. The caller holds the library's lock.
const void* NamedModule(const std::string& path);

// The path a named handle stands for, or nullptr for any other handle.
// The path may be longer than any usable path: the caller decides.
const std::string* NamedModulePath(const void* module);

}  // namespace userprofile
