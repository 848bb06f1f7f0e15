// Where an administrator's tool aims the library, and what it sees there.
#include "registry/admin_listing.h"
#include "frame/failure.h"
#include "frame/frame.h"
#include "frame/named_modules.h"
#include "homedir/homedir.h"
#include "registry/registry.h"
#include "userprofile.h"

using namespace userprofile;

extern "C" USERPROFILE_EXPORT ModuleHandle
userprofile_module_at(const char* module_path) {
  const ExportCall call;
  if (module_path == nullptr || *module_path == '\0') {
    SetFailure(Failure::kInvalidArgument, "no module path given");
    return nullptr;
  }
  return AsHandle(NamedModule(module_path));
}

extern "C" USERPROFILE_EXPORT int userprofile_registry_path(ModuleHandle module,
                                                            char* out) {
  const ExportCall call;
  const std::optional<std::string> path = RegistryPath(module);
  if (out != nullptr) CopyOut(path.value_or(""), out);
  return path ? 1 : 0;
}

extern "C" USERPROFILE_EXPORT int userprofile_users_root(ModuleHandle module,
                                                         char* out) {
  const ExportCall call;
  const std::optional<std::string> path = UsersRootPath(module, out != nullptr);
  if (out != nullptr) CopyOut(path.value_or(""), out);
  return path ? 1 : 0;
}

extern "C" USERPROFILE_EXPORT int userprofile_list_users(
    ModuleHandle module, unsigned flags, userprofile_user_visitor visit,
    void* context) {
  const ExportCall call;
  RegistryScope scope;
  const std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return 0;
  const Listing listing =
      ListUsers(module, *registry, (flags & USERPROFILE_LIST_SIGN_INS) != 0);
  if (visit != nullptr) {
    Visit(listing,
          [&](const userprofile_registry_state* r,
              const userprofile_user_state* u) { visit(context, r, u); });
  }
  return 1;
}
