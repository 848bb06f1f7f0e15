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

struct ModuleSearch {
  std::uintptr_t address = 0;
  bool found = false;
  bool is_main = false;
  std::string name;  // copied while the loader holds the object
};

// Finds the loaded object whose segments hold the address. The first
// object reported is the main program.
int FindModule(struct dl_phdr_info* info, std::size_t, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    const std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (search->address >= start && search->address < start + ph.p_memsz) {
      search->found = true;
      search->is_main = info->dlpi_name == nullptr || *info->dlpi_name == '\0';
      if (!search->is_main) search->name = info->dlpi_name;
      return 1;
    }
  }
  return 0;
}

int ReadGeneration(struct dl_phdr_info* info, std::size_t size, void* data) {
  auto* generation = static_cast<LoaderGeneration*>(data);
  if (size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof(info->dlpi_subs)) {
    generation->adds = info->dlpi_adds;
    generation->subs = info->dlpi_subs;
    generation->known = true;
  }
  return 1;  // the first object reported tells
}

}  // namespace

std::optional<std::string> ModulePaths::Find(const void* module) {
  std::string path;
  if (module == nullptr) {
    path = MainProgramPath();
  } else {
    // A host asks with the same handle at every call: the answer stands
    // until the loader loads or unloads an object.
    LoaderGeneration generation;
    ::dl_iterate_phdr(ReadGeneration, &generation);
    if (generation.known && found_.module == module &&
        found_.generation == generation) {
      return found_.path;
    }
    ModuleSearch search;
    search.address = reinterpret_cast<std::uintptr_t>(module);
    ::dl_iterate_phdr(FindModule, &search);
    if (!search.found) return std::nullopt;
    if (search.is_main) {
      path = MainProgramPath();
    } else if (!search.name.empty() && search.name.front() == '/') {
      path = std::move(search.name);
    } else if (char* real = ::realpath(search.name.c_str(), nullptr)) {
      path = real;
      std::free(real);
    }
    if (!path.empty() && path.size() <= kMaxPath) {
      found_ = {module, generation, path};
    }
  }
  if (path.empty() || path.size() > kMaxPath) return std::nullopt;
  return path;
}

}  // namespace userprofile::posix
