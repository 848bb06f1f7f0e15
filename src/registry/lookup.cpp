#include "frame/failure.h"
#include "frame/frame.h"
#include "registry/registry.h"
#include "userprofile.h"

using namespace userprofile;

extern "C" USERPROFILE_EXPORT int USERPROFILE_CALL DoesUserExist(
    ModuleHandle module, const char* name) {
  const userprofile::ExportCall call;
  if (name == nullptr || *name == '\0') {
    ReportCheckFailure(kCheckLookupEmptyName);
  }
  RegistryScope scope;
  std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return 0;
  const int found = FindUser(*registry, name ? name : "");
  // Inside another export a miss is an answer, not that export's failure.
  if (found == 0 && call.outermost()) {
    NoteFailure(Failure::kNotFound, "no user " + Quoted(name ? name : "") +
                                        " is registered in " + *registry);
  }
  return found;
}

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL GetDefaultUser(
    ModuleHandle module, char* out) {
  const userprofile::ExportCall call;
  if (out == nullptr) {
    ReportCheckFailure(kCheckDefaultNoOutput);
    return;
  }
  if (module == nullptr) ReportCheckFailure(kCheckDefaultNullModule);
  RegistryScope scope;
  std::optional<std::string> registry = RegistryPath(module);
  std::string name;
  if (registry) name = ReadDefaultUser(*registry);
  CopyOut(name, out);
  State().current_user = name;
}

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL SetDefaultUser(
    ModuleHandle module, const char* name) {
  const userprofile::ExportCall call;
  if (name == nullptr) {
    ReportCheckFailure(kCheckDefaultNoName);
    return;
  }
  std::optional<std::string> registry = RegistryPath(module);
  if (!registry) return;
  WriteRegistry(*registry, kDefaultSection, kDefaultKey, name);
  // Kept whole: a name too long for the slot stays invalid rather than
  // being cut into another user's name.
  State().current_user = name;
}
