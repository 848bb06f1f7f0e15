// A repair told to its caller step by step, under one hold of the update
// lock, so that two repairs at once never both report (or back up) the
// same damage. Its dry run tells the same plan and touches nothing.
#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "registry/operations.h"
#include "registry/registry.h"
#include "userprofile.h"

using namespace userprofile;

extern "C" USERPROFILE_EXPORT int userprofile_repair(
    ModuleHandle module, const userprofile_repair_observer* observer) {
  const ExportCall call;
  RepairTold told;
  bool refused = false;
  bool finished = false;  // set once the update was held and ended
  told.refused = &refused;
  told.finished = &finished;
  if (observer != nullptr && observer->act != nullptr) {
    told.act = [observer](const userprofile_repair_action& action) {
      observer->act(observer->context, &action);
    };
  }
  if (observer != nullptr && observer->keep != nullptr) {
    told.keep = [observer](const std::string& registry) {
      return observer->keep(observer->context, registry.c_str()) != 0;
    };
  }
  const FailureCause cause = Repair(module, &told);
  if (refused) return 0;
  if (cause.failed()) SetFailure(cause.kind, cause.text);
  // Without a path or the update lock nothing was repaired.
  return finished ? 1 : 0;
}

extern "C" USERPROFILE_EXPORT int userprofile_plan_repair(
    ModuleHandle module, userprofile_repair_visitor visit, void* context) {
  const ExportCall call;
  RegistryScope scope;
  const std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return 0;
  const RepairPlan plan =
      PlanRepair(module, *registry, Sys().IsNormalFile(*registry));
  CarryOut(module, *registry, plan, true,
           [&](const userprofile_repair_action& action) {
             if (visit != nullptr) visit(context, &action);
           });
  return 1;
}

extern "C" USERPROFILE_EXPORT int userprofile_unregistered_homes(
    ModuleHandle module, void (*visit)(void* context, const char* home),
    void* context) {
  const ExportCall call;
  RegistryScope scope;
  const std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return -1;
  const Result<std::string> root = UsersRootPath(module);
  if (!root) return -1;
  // One listing of the users root, sorted, against one read of the
  // registry: a name costs a search, whatever the number of users.
  std::vector<std::string> names = Sys().ListDirectory(*root);
  const auto before = [](const std::string& a, const std::string& b) {
    return AsFileName(a) < AsFileName(b);
  };
  std::sort(names.begin(), names.end(), before);
  std::vector<char> named(names.size(), 0);
  const int count = ReadCount(*registry);
  for (const int i : HeldEntryNumbers(*registry, count < 0 ? INT_MAX : count)) {
    const std::string entry = ReadEntry(*registry, i);
    if (entry.find(',') == std::string::npos || !IsValidEntry(entry)) continue;
    // The home field, and the directory it names where that differs (a
    // Windows host's characters as this system stores them).
    const std::string field = entry.substr(entry.find(',') + 1);
    for (const std::string& dir : {field, HomeDirOnDiskOrField(*root, field)}) {
      auto [at, end] = std::equal_range(names.begin(), names.end(), dir, before);
      for (; at != end; ++at)
        named[static_cast<std::size_t>(at - names.begin())] = 1;
    }
  }
  int unregistered = 0;
  for (std::size_t k = 0; k < names.size(); ++k) {
    if (named[k]) continue;
    const std::string home = *root + kSeparator + names[k];
    if (!Sys().IsPlainDirectory(home)) continue;
    ++unregistered;
    if (visit != nullptr) visit(context, home.c_str());
  }
  return unregistered;
}
