#include "frame/named_modules.h"

#include <deque>
#include <set>

namespace userprofile {
namespace {

// Each handle is the address of its path in a deque, which never moves
// its elements: a heap address, so never the address of a loaded module.
struct Named {
  std::deque<std::string> paths;
  std::set<const void*> handles;
};

Named& Table() {
  static Named* table = new Named;  // outlives every static destructor
  return *table;
}

}  // namespace

const void* NamedModule(const std::string& path) {
  Named& table = Table();
  for (const std::string& known : table.paths) {
    if (known == path) return &known;
  }
  const void* handle = &table.paths.emplace_back(path);
  table.handles.insert(handle);
  return handle;
}

const std::string* NamedModulePath(const void* module) {
  const Named& table = Table();
  if (table.handles.count(module) == 0) return nullptr;
  return static_cast<const std::string*>(module);
}

}  // namespace userprofile
