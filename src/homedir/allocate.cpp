#include <cstring>
#include <utility>

#include "frame/failure.h"
#include "frame/frame.h"
#include "homedir/homedir.h"
#include "lock/lock.h"
#include "platform/names.h"
#include "userprofile.h"

namespace userprofile {
namespace {

// Where the candidate search goes once every variant of the derived name
// is taken. Named after the library; 8 characters like every HomeDirName.
constexpr std::string_view kFallbackName = "USERPROF";

// The base, a separator and a HomeDirName must fit the path limit.
constexpr std::size_t kMaxBase = kMaxPath - 1 - kHomeDirNameLength;

constexpr const char* kTooLongForHome =
    "the directory is too long for a home directory path within 127 "
    "characters";

}  // namespace

void TrimSpaces(std::string& text) {
  std::size_t end = text.find_last_not_of(' ');
  text.erase(end == std::string::npos ? 0 : end + 1);
  text.erase(0, text.find_first_not_of(' '));
}

namespace {

// True where names are UTF-8 and this one is: its characters are never
// cut, in its HomeDirName or by the candidate search.
bool WholeCharacters(std::string_view trimmed) {
  return kUtf8Names && IsMultibyteUtf8(trimmed);
}

// The bytes of the UTF-8 character whose lead byte is `c`.
std::size_t CharacterLength(unsigned char c) {
  if (c < 0x80) return 1;
  if (c >= 0xF0) return 4;
  return c >= 0xE0 ? 3 : 2;
}

// The HomeDirName of an already trimmed name; reports nothing.
std::string HomeDirNameOf(std::string_view trimmed) {
  std::string result;
  if (WholeCharacters(trimmed)) {
    // Whole characters while they fit; the digits fill the rest.
    for (std::size_t i = 0; i < trimmed.size();) {
      const std::size_t length =
          CharacterLength(static_cast<unsigned char>(trimmed[i]));
      if (trimmed[i] != ' ') {
        if (result.size() + length > kHomeDirNameLength) break;
        result.append(trimmed.substr(i, length));
      }
      i += length;
    }
  } else {
    for (char c : trimmed) {
      if (result.size() == kHomeDirNameLength) break;
      if (c != ' ') result += c;
    }
  }
  result.resize(kHomeDirNameLength, '0');
  return result;
}

}  // namespace

std::string ProperHomeDirName(std::string& name) {
  if (name.empty()) ReportCheckFailure(kCheckHomeNameEmpty);
  const std::size_t length = name.size();
  TrimSpaces(name);
  if (name.size() != length) ReportCheckFailure(kCheckHomeNameTrimmed);
  if (name.find_first_not_of(' ') == std::string::npos) {
    ReportCheckFailure(kCheckHomeNameNothingLeft);
  }
  return HomeDirNameOf(name);
}

Result<std::string> UsersRootPath(const void* module, bool output_present) {
  if (module == nullptr) ReportCheckFailure(kCheckRootNullModule);
  if (!output_present) {
    return Fault(kCheckRootNoOutput, Failure::kInvalidArgument,
                 "the output buffer is missing (NULL)");
  }
  Result<std::string> module_path = FetchModulePath(module);
  if (!module_path) return module_path.cause();
  PathParts parts = SplitPath(*module_path);
  // The separator before the directory's last component, past the
  // trailing one; the first character never counts.
  std::size_t cut = parts.dir.size() < 2
                        ? std::string::npos
                        : parts.dir.rfind(kSeparator, parts.dir.size() - 2);
  if (cut == 0 || cut == std::string::npos) {
    ReportCheckFailure(kCheckRootNoParent);
    cut = 0;
  }
  std::string root = parts.drive + parts.dir.substr(0, cut + 1) + "USER";
  if (root.size() > kMaxPath) {
    return Fault(kCheckRootTooLong, Failure::kInvalidArgument,
                 kTooLongForHome);
  }
  return root;
}

Result<std::string> AllocateHomeDir(const std::string& base,
                                    std::string& name, std::string* created) {
  if (created != nullptr) created->clear();
  if (base.size() > kMaxBase) {
    return Fault(kCheckBaseTooLong, Failure::kInvalidArgument,
                 kTooLongForHome);
  }
  // A name that would reach elsewhere is refused before anything is made.
  std::string trimmed = name;
  TrimSpaces(trimmed);
  const bool plain = IsPlainComponent(HomeDirNameOf(trimmed));
  // A base not created is reported and the search goes on; the cause
  // stays with the name it gives.
  FailureCause on_the_way;
  if (plain && !Sys().IsEnterableDirectory(base) &&
      !Record(Sys().MakeDirectory(base))) {
    on_the_way = Fault(kCheckBaseNotCreated, Failure::kIo,
                       "the users root cannot be created");
  }
  const bool whole_characters = WholeCharacters(trimmed);
  const std::string name8 = ProperHomeDirName(name);
  if (!plain) {
    return Fault(kCheckHomeNameNotPlain, Failure::kInvalidArgument,
                 "the name gives a home directory name that is not one plain "
                 "directory name");
  }
  const std::size_t first = base.size() + 1;  // the name's first character
  std::string path = base + kSeparator + name8;
  std::size_t pos = path.size() - 1;
  int digit = 0;
  bool fallback = false;
  for (;;) {
    // A free candidate (a home field) is created and taken. One another
    // process created first, one a file or link names, and one naming no
    // directory (unspellable here, or over the path limit) are passed
    // over: no two users share a home, and every home is a directory. A
    // creation failing for want of the base keeps the candidate for the
    // next repair to create.
    std::optional<std::string> on_disk =
        HomeDirOnDisk(base, std::string_view(path).substr(first));
    if (on_disk && base.size() + 1 + on_disk->size() > kMaxPath) {
      on_disk.reset();
    }
    const std::string dir = on_disk ? base + kSeparator + *on_disk : "";
    if (on_disk && !Sys().IsEnterableDirectory(dir)) {
      if (Record(Sys().MakeDirectory(dir))) {
        if (created != nullptr) *created = dir;
        break;
      }
      if (!Sys().NameTaken(dir)) break;
    }
    if (whole_characters &&
        (static_cast<unsigned char>(path[pos]) & 0x80) != 0) {
      // The digit series takes a multi-byte character whole, never cut.
      std::size_t begin = pos;
      while (begin > first &&
             (static_cast<unsigned char>(path[begin]) & 0xC0) == 0x80) {
        --begin;
      }
      for (std::size_t k = begin;
           k < path.size() &&
           (k == begin || (static_cast<unsigned char>(path[k]) & 0xC0) == 0x80);
           ++k) {
        path[k] = '0';
      }
    }
    path[pos] = static_cast<char>('0' + digit);
    if (++digit <= 9) continue;
    digit = 1;
    if (pos-- == first) {
      if (fallback) {
        return Fault(kCheckCandidatesExhausted, Failure::kExists,
                     "every home directory name for this name is taken");
      }
      fallback = true;
      path = base + kSeparator + std::string(kFallbackName);
      pos = path.size() - 1;
    }
  }
  return Result<std::string>(path.substr(path.size() - kHomeDirNameLength),
                             std::move(on_the_way));
}

void RemoveOwnHome(const std::string& created) {
  if (!created.empty()) static_cast<void>(Sys().RemoveName(created));
}

Result<std::string> CreateHomeDirInRoot(const void* module, std::string* name,
                                        std::string* created) {
  if (created != nullptr) created->clear();
  if (name == nullptr) {
    return Fault(kCheckRootNameMissing, Failure::kInvalidArgument,
                 "the name is missing (NULL)");
  }
  if (name->empty()) ReportCheckFailure(kCheckRootNameEmpty);
  if (module == nullptr) ReportCheckFailure(kCheckRootNullModuleAlloc);
  Result<std::string> root = UsersRootPath(module);
  if (!root) return root;
  // A home whose lock file's path lookups could not build would keep its
  // user from ever signing in: refused before anything is created.
  if (root->size() + 2 + kHomeDirNameLength + kLockFileName.size() > kMaxPath) {
    return Fault(kCheckRootTooLongForHome, Failure::kInvalidArgument,
                 kTooLongForHome);
  }
  return AllocateHomeDir(*root, *name, created);
}

}  // namespace userprofile

extern "C" USERPROFILE_EXPORT void USERPROFILE_CALL GetProperHomeDirName(
    char* name, char* out) {
  using namespace userprofile;
  ExportCall call;
  if (name == nullptr) {
    call.Fail(Fault(kCheckHomeNameMissing, Failure::kInvalidArgument,
                    "the name is missing (NULL)"));
    return;
  }
  std::string trimmed(name);
  std::string name8 = ProperHomeDirName(trimmed);
  WriteBackName(trimmed, name);
  if (out != nullptr) CopyOut(name8, out);
}
