#include "registry/profile_store.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>
#include <utility>

#include "frame/failure.h"
#include "registry/profile.h"

namespace userprofile {
namespace {

// A profile file as this process knows it: kept parse and held update.
struct KnownFile {
  std::shared_ptr<profile::Document> doc;  // null: read the file
  FileVersion version;                     // the file's when `doc` was read
  bool settled = false;                    // the version alone proves `doc`
  int depth = 0;                           // nested ProfileUpdates
  LockHandle lock = kNoLock;               // the held update lock
  Status refused;                          // why no Set can succeed
  bool read_under_lock = false;            // `doc` is the update's
  bool dirty = false;                      // `doc` differs from the file
};

// A single write waits this long for another process's update.
constexpr unsigned kSingleWriteTimeoutMs = 10000;

// A host uses one registry: a few files are kept at most.
constexpr std::size_t kKnownFiles = 8;

std::map<std::string, KnownFile>& Files() {
  static std::map<std::string, KnownFile> files;
  return files;
}

KnownFile& Known(const std::string& file) {
  std::map<std::string, KnownFile>& files = Files();
  auto it = files.find(file);
  if (it != files.end()) return it->second;
  if (files.size() >= kKnownFiles) {
    std::erase_if(files, [](const auto& kept) { return kept.second.depth == 0; });
  }
  return files[file];
}

// The most a file system's time step can be, judged from one of its times
// in nanoseconds: whole seconds may mean a clock of one or two seconds
// (FAT); otherwise its trailing decimal zeros bound the step.
std::uint64_t GranularityOf(std::uint64_t t) {
  if (t % 1000000000ULL == 0) return 2000000000ULL;
  std::uint64_t step = 1;
  for (; t % 10 == 0; t /= 10) step *= 10;
  return step;
}

// True if a write after `now` must carry a time other than `t` (0: a time
// the file system does not keep).
bool ClearlyBefore(std::uint64_t t, std::uint64_t now) {
  return t != 0 && t < now && now - t > std::max(GranularityOf(t), kFileClockStep);
}

bool IsSettled(const FileLook& look) {
  return ClearlyBefore(look.version.written, look.seen) &&
         ClearlyBefore(look.version.changed, look.seen);
}

const std::shared_ptr<profile::Document>& EmptyDocument() {
  static const auto empty = std::make_shared<profile::Document>();
  return empty;
}

// The document of `file` now: the kept one if the file still has its
// settled version (or, until it settles, its bytes), else a new parse.
// nullptr for a missing or unreadable file.
std::shared_ptr<profile::Document> Load(const std::string& file, KnownFile& known) {
  // The version is taken before the read: a change in between gives the
  // next look another version.
  const std::optional<FileLook> look = Sys().VersionOf(file);
  if (known.doc && known.settled && look && look->version == known.version) {
    return known.doc;
  }
  std::string content;
  const Status read = Sys().ReadFile(file, content);
  if (!read) {
    // A missing registry is an empty one; any other failure is a cause.
    if (read.kind() != Failure::kNotFound) Record(read);
    known.doc.reset();
    return nullptr;
  }
  if (!known.doc || !known.doc->HasBytes(content)) {
    known.doc = std::make_shared<profile::Document>(std::move(content));
  }
  known.version = look ? look->version : FileVersion{};
  known.settled = look && IsSettled(*look);
  return known.doc;
}

std::shared_ptr<profile::Document> Current(const std::string& file) {
  KnownFile& known = Known(file);
  // Under this process's update the document read under the lock is the
  // truth (a hold without a lock holds nothing back).
  if (known.depth > 0 && known.lock != kNoLock) {
    if (!known.read_under_lock) {
      known.settled = false;  // read anew: the kept parse may be stale
      known.read_under_lock = true;
      if (!Load(file, known)) known.doc = std::make_shared<profile::Document>();
    }
    return known.doc;
  }
  return Load(file, known);
}

// True for a writer's copy of `base`: base ".~" digits "." digits.
bool IsCopyOf(std::string_view name, std::string_view base) {
  if (name.size() <= base.size() + 2 || name.substr(base.size(), 2) != ".~") {
    return false;
  }
  const std::string_view own = name.substr(0, base.size());
  if (kFoldedFileNames ? !profile::SameName(own, base) : own != base) return false;
  const std::string_view rest = name.substr(base.size() + 2);
  const std::size_t dot = rest.find('.');
  auto digits = [](std::string_view t) {
    return !t.empty() && t.find_first_not_of("0123456789") == std::string_view::npos;
  };
  return dot != std::string_view::npos && digits(rest.substr(0, dot)) &&
         digits(rest.substr(dot + 1));
}

void RemoveOrphanedCopies(const std::string& file) {
  const std::size_t slash = file.find_last_of(kSeparators);
  const std::string dir = slash == std::string::npos ? "." : file.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? file : file.substr(slash + 1);
  for (const std::string& name : Sys().ListDirectory(dir)) {
    if (IsCopyOf(name, base)) static_cast<void>(Sys().RemoveName(dir + name));
  }
}

// Writes the document to a new file beside `file`, then puts it in place.
bool Publish(const std::string& file, KnownFile& known) {
  static unsigned counter = 0;
  const std::string bytes = known.doc->Bytes();
  std::string copy;
  Status written;
  for (int attempt = 0; attempt < 100; ++attempt) {
    copy = file + ".~" + std::to_string(ProcessId()) + "." + std::to_string(counter++);
    written = Sys().WriteNewFile(copy, bytes, file);
    if (written.kind() != Failure::kExists) break;
  }
  if (written) {
    written = Sys().ReplaceFile(copy, file);
    if (!written) static_cast<void>(Sys().RemoveName(copy));
  }
  if (!written) return Record(written);
  const std::optional<FileLook> look = Sys().VersionOf(file);
  known.version = look ? look->version : FileVersion{};
  known.settled = look && IsSettled(*look);
  return true;
}

}  // namespace

std::shared_ptr<const profile::Document> ProfileSnapshot(const std::string& file) {
  std::shared_ptr<profile::Document> doc = Current(file);
  return doc ? doc : EmptyDocument();
}

bool WriteProfileValue(std::string_view section, std::string_view key,
                        std::string_view value, const std::string& file) {
  if (profile::BreaksLine(section) || profile::BreaksLine(key) ||
      profile::BreaksLine(value)) {
    return false;
  }
  ProfileUpdate update(file, kSingleWriteTimeoutMs);
  return update.held() && update.Set(section, key, value) && update.Commit();
}

ProfileUpdate::ProfileUpdate(std::string file, unsigned timeout_ms)
    : file_(std::move(file)) {
  KnownFile& known = Known(file_);
  if (known.depth > 0) {
    ++known.depth;
    held_ = true;
    return;
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  auto pause = std::chrono::microseconds(200);
  LockHandle lock = kNoLock;
  Status status = Sys().LockUpdate(file_, lock);
  while (status.kind() == Failure::kBusy &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::microseconds(20000));
    status = Sys().LockUpdate(file_, lock);
  }
  switch (status.kind()) {
    case Failure::kNone:
      known.lock = lock;
      RemoveOrphanedCopies(file_);
      break;
    case Failure::kBusy:
      SetFailure(Failure::kBusy, "the update lock of " + file_ +
                                     " was not had within " +
                                     std::to_string(timeout_ms / 1000) +
                                     " s: " + status.text());
      return;
    case Failure::kPermission:
    case Failure::kDamaged:
      // Nothing can change a file this process may never write: nothing to
      // serialize, so held without a lock, every Set refused.
      Record(status);
      known.refused = status;
      break;
    default:  // this time only: an input or output failure
      Record({Failure::kIo, status.text()});
      return;
  }
  known.depth = 1;
  known.read_under_lock = false;
  known.dirty = false;
  held_ = true;
}

ProfileUpdate::~ProfileUpdate() { End(false); }

std::shared_ptr<profile::Document> ProfileUpdate::Editable() {
  if (!held_) return nullptr;
  const Status& refused = Known(file_).refused;
  if (!refused) {
    Record(refused);
    return nullptr;
  }
  return Current(file_);
}

bool ProfileUpdate::Set(std::string_view section, std::string_view key,
                        std::string_view value) {
  const std::shared_ptr<profile::Document> doc = Editable();
  if (!doc) return false;
  const std::uint64_t version = doc->version();
  if (!doc->Set(section, key, value)) return false;
  Known(file_).dirty |= doc->version() != version;
  return true;
}

std::optional<std::size_t> ProfileUpdate::Remove(
    std::string_view section,
    const std::function<bool(std::string_view key)>& drop) {
  const std::shared_ptr<profile::Document> doc = Editable();
  if (!doc) return std::nullopt;
  const std::size_t removed = doc->RemoveKeys(section, drop);
  Known(file_).dirty |= removed > 0;
  return removed;
}

std::optional<std::size_t> RemoveProfileKeys(
    std::string_view section,
    const std::function<bool(std::string_view key)>& drop,
    const std::string& file) {
  ProfileUpdate update(file, kSingleWriteTimeoutMs);
  if (!update.held()) return std::nullopt;
  std::optional<std::size_t> removed = update.Remove(section, drop);
  if (!removed || !update.Commit()) return std::nullopt;
  return removed;
}

bool ProfileUpdate::Commit() { return End(true); }

bool ProfileUpdate::End(bool commit) {
  if (!held_) return false;
  held_ = false;
  KnownFile& known = Known(file_);
  bool committed = true;
  if (--known.depth > 0) return true;
  if (known.dirty) {
    committed = commit && Publish(file_, known);
    // Dropped edits live in the kept document: read the file anew.
    if (!committed) known.doc.reset();
  }
  // Released last: the file is replaced by then.
  if (known.lock != kNoLock) Sys().CloseExclusive(known.lock);
  known.lock = kNoLock;
  known.refused = Status();
  known.read_under_lock = false;
  known.dirty = false;
  return committed;
}

}  // namespace userprofile
