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
  ListUsers(module, *registry, (flags & USERPROFILE_LIST_SIGN_INS) != 0,
            [&](const ListedRegistry& r, const ListedUser* u) {
              if (visit == nullptr) return;
              const userprofile_registry_state state{
                  r.path.c_str(), r.exists ? 1 : 0, r.count,
                  r.default_user.c_str()};
              if (u == nullptr) {
                visit(context, &state, nullptr);
                return;
              }
              const userprofile_user_state user{
                  u->number,
                  u->entry.c_str(),
                  u->usable ? 1 : 0,
                  u->usable ? u->name.c_str() : "",
                  u->usable ? u->dir_name.c_str() : "",
                  u->duplicate_of,
                  u->home.c_str(),
                  u->home_exists ? 1 : 0,
                  u->lock_exists ? 1 : 0,
                  u->signed_in ? (*u->signed_in ? 1 : 0) : -1};
              visit(context, &state, &user);
            });
  return 1;
}
