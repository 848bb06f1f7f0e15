// The path of a loaded module on POSIX systems, found through the loader.
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdlib>

#include "platform/posix.h"

namespace userprofile::posix {
namespace {

const std::string& MainProgramPath() {
  static const std::string path = [] {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return std::string();
    return std::string(buf, static_cast<std::size_t>(n));
  }();
  return path;
}

// The loader's counts of objects loaded and unloaded so far: while both
// stay the same, every address lies in the object it lay in before.
struct LoaderGeneration {
  unsigned long long adds = 0;
  unsigned long long subs = 0;
  bool known = false;
  bool operator==(const LoaderGeneration&) const = default;
};

int ReadGeneration(struct dl_phdr_info* info, std::size_t size, void* data) {
  auto* generation = static_cast<LoaderGeneration*>(data);
  if (size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs)) {
    generation->adds = info->dlpi_adds;
    generation->subs = info->dlpi_subs;
    generation->known = true;
  }
  return 1;  // the first object reported tells
}

struct ModuleSearch {
  std::uintptr_t address = 0;
  bool found = false;
  std::string name;  // copied while the loader holds the object
};

// Finds the loaded object whose segments hold the address. The first
// object reported, the main program, has no name.
int FindModule(struct dl_phdr_info* info, std::size_t, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    const std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (search->address >= start && search->address < start + ph.p_memsz) {
      search->found = true;
      if (info->dlpi_name != nullptr) search->name = info->dlpi_name;
      return 1;
    }
  }
  return 0;
}

}  // namespace

std::optional<std::string> ModulePath(const void* module) {
  // A host asks with the same handle at every call: the last answer
  // stands until the loader loads or unloads an object.
  static struct {
    const void* module = nullptr;
    LoaderGeneration generation;
    std::string path;
  } found;
  LoaderGeneration generation;
  std::string path;
  if (module == nullptr) {
    path = MainProgramPath();
  } else {
    ::dl_iterate_phdr(ReadGeneration, &generation);
    if (generation.known && found.module == module && found.generation == generation) {
      return found.path;
    }
    ModuleSearch search;
    search.address = reinterpret_cast<std::uintptr_t>(module);
    ::dl_iterate_phdr(FindModule, &search);
    if (!search.found) return std::nullopt;
    if (search.name.empty()) {
      path = MainProgramPath();
    } else if (search.name.front() == '/') {
      path = std::move(search.name);
    } else if (char* real = ::realpath(search.name.c_str(), nullptr)) {
      path = real;
      std::free(real);
    }
  }
  if (path.empty() || path.size() > kMaxPath) return std::nullopt;
  if (module != nullptr) found = {module, generation, path};
  return path;
}

}  // namespace userprofile::posix
